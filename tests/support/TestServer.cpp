#include "support/TestServer.h"

#include <stdexcept>

namespace quillmere::test {

TestServer::TestServer()
    : server_(soup_server_new(nullptr, nullptr))
{
    GError* error = nullptr;
    if (!soup_server_listen_local(server_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot listen: " + message);
    }
    GSList* uris = soup_server_get_uris(server_);
    port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    soup_server_add_handler(server_, nullptr, &TestServer::handle, this, nullptr);
}

TestServer::~TestServer()
{
    for (SoupWebsocketConnection* connection : sockets_) {
        g_signal_handlers_disconnect_by_data(connection, this);
        g_object_unref(connection);
    }
    soup_server_disconnect(server_);
    g_object_unref(server_);
}

std::string TestServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestServer::route(const std::string& path, Response response)
{
    routes_[path] = [response](const SeenRequest&) { return response; };
}

void TestServer::route(const std::string& path, std::function<Response(const SeenRequest&)> handler)
{
    routes_[path] = std::move(handler);
}

void TestServer::route(const std::string& host, const std::string& path, Response response)
{
    routes_[host + path] = [response](const SeenRequest&) { return response; };
}

void TestServer::echoWebSocket(const std::string& path)
{
    soup_server_add_websocket_handler(server_, path.c_str(), nullptr, nullptr, &TestServer::openSocket, this, nullptr);
}

void TestServer::openSocket(
    SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* connection, gpointer data)
{
    auto* self = static_cast<TestServer*>(data);
    // The server drops its reference once this returns; the connection is ours.
    self->sockets_.push_back(static_cast<SoupWebsocketConnection*>(g_object_ref(connection)));
    g_signal_connect(connection, "message",
        G_CALLBACK(+[](SoupWebsocketConnection* socket, gint type, GBytes* message, gpointer data) {
            auto* self = static_cast<TestServer*>(data);
            gsize size = 0;
            const char* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
            if (type == SOUP_WEBSOCKET_DATA_TEXT) {
                const std::string text(bytes ? bytes : "", size);
                self->socketFrames_.push_back(text);
                if (text == "close")
                    soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
                else
                    soup_websocket_connection_send_text(socket, text.c_str());
            } else {
                self->socketFrames_.push_back("[binary " + std::to_string(size) + " bytes]");
                soup_websocket_connection_send_binary(socket, bytes, size);
            }
        }),
        self);
}

bool TestServer::saw(const std::string& host, const std::string& path) const
{
    for (const auto& request : requests_)
        if (request.host == host && request.path == path)
            return true;
    return false;
}

std::vector<SeenRequest> TestServer::requestsFor(const std::string& path) const
{
    std::vector<SeenRequest> matching;
    for (const auto& request : requests_)
        if (request.path == path)
            matching.push_back(request);
    return matching;
}

void TestServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer self)
{
    auto* server = static_cast<TestServer*>(self);
    SeenRequest seen;
    seen.method = soup_server_message_get_method(message);
    seen.path = path;
    GUri* uri = soup_server_message_get_uri(message);
    if (const char* query = g_uri_get_query(uri))
        seen.query = query;
    if (const char* host = g_uri_get_host(uri))
        seen.host = host;
    SoupMessageHeadersIter iter;
    const char* name;
    const char* value;
    soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(message));
    while (soup_message_headers_iter_next(&iter, &name, &value))
        seen.headers[name] = value;
    SoupMessageBody* body = soup_server_message_get_request_body(message);
    if (body && body->length)
        seen.body.assign(body->data, body->length);
    server->requests_.push_back(seen);

    Response response {404, "text/plain", "not found", {}};
    if (auto found = server->routes_.find(seen.host + seen.path); found != server->routes_.end())
        response = found->second(seen);
    else if (auto plain = server->routes_.find(seen.path); plain != server->routes_.end())
        response = plain->second(seen);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    for (const auto& [key, headerValue] : response.headers)
        soup_message_headers_replace(headers, key.c_str(), headerValue.c_str());
    soup_server_message_set_status(message, response.status, nullptr);
    soup_server_message_set_response(
        message, response.contentType.c_str(), SOUP_MEMORY_COPY, response.body.data(), response.body.size());
    if (response.delayMs > 0) {
        soup_server_message_pause(message);
        g_timeout_add(
            response.delayMs,
            [](gpointer data) {
                auto* paused = static_cast<SoupServerMessage*>(data);
                soup_server_message_unpause(paused);
                g_object_unref(paused);
                return G_SOURCE_REMOVE;
            },
            g_object_ref(message));
    }
}

} // namespace quillmere::test
