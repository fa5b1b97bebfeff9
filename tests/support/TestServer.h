// A local HTTP server for tests, on 127.0.0.1 and a free port, answering from a table
// of routes and recording every request it sees.
#pragma once

#include <libsoup/soup.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillmere::test {

struct SeenRequest {
    std::string method;
    std::string host; // from the request target or the Host header
    std::string path; // without the query
    std::string query; // raw query text, empty when none
    std::map<std::string, std::string> headers;
    std::string body;
};

struct Response {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
    std::map<std::string, std::string> headers;
    int delayMs = 0; // answer only after this long
};

class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + path.
    std::string url(const std::string& path = "/") const;

    void route(const std::string& path, Response response);
    void route(const std::string& path, std::function<Response(const SeenRequest&)> handler);
    // Routes for requests on another host: as a proxy, the server answers for any name.
    void route(const std::string& host, const std::string& path, Response response);
    // Shorthand: an HTML page.
    void page(const std::string& path, const std::string& html)
    {
        route(path, Response {200, "text/html; charset=utf-8", html, {}});
    }

    // A WebSocket endpoint at `path` that answers each text frame with the same text
    // and each binary frame with the same bytes; the text "close" makes it close the
    // connection with code 1000. Frames it received are kept, text as is, binary as
    // "[binary N bytes]".
    void echoWebSocket(const std::string& path);
    const std::vector<std::string>& socketFrames() const { return socketFrames_; }

    const std::vector<SeenRequest>& requests() const { return requests_; }
    // Requests whose path is `path` (on any host).
    std::vector<SeenRequest> requestsFor(const std::string& path) const;
    // Whether a request for host + path arrived (for proxied requests).
    bool saw(const std::string& host, const std::string& path) const;
    bool sawPath(const std::string& path) const { return !requestsFor(path).empty(); }

private:
    static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer self);
    static void openSocket(
        SoupServer*, SoupServerMessage*, const char* path, SoupWebsocketConnection* connection, gpointer self);

    SoupServer* server_;
    int port_ = 0;
    std::map<std::string, std::function<Response(const SeenRequest&)>> routes_;
    std::vector<SeenRequest> requests_;
    std::vector<std::string> socketFrames_;
    std::vector<SoupWebsocketConnection*> sockets_; // owned
};

} // namespace quillmere::test
