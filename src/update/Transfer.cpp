#include "Transfer.h"

#include "platform/GObjectPtr.h"

#include <libsoup/soup.h>

#include <memory>

namespace quillmere::Updater {

namespace {

constexpr int kMaxRedirects = 5;
constexpr gsize kPieceSize = 64 * 1024;

SoupSession* session()
{
    // One session for the process, with no cache: every check asks the host. A transfer
    // that stalls for 60 s fails.
    static const auto shared = adopt(soup_session_new_with_options("timeout", 60, nullptr));
    return shared.get();
}

struct Transfer {
    std::string name;
    std::uint64_t cap;
    BodySink sink;
    TransferDone done;
    GObjectPtr<SoupMessage> message;
    GObjectPtr<GInputStream> body;
    std::uint64_t received = 0;
    int redirects = 0;
};

using TransferPtr = std::shared_ptr<Transfer>;

// A transfer travels through the C callbacks as a heap-held shared pointer.
gpointer carry(TransferPtr transfer)
{
    return new TransferPtr(std::move(transfer));
}

TransferPtr unpack(gpointer data)
{
    std::unique_ptr<TransferPtr> holder(static_cast<TransferPtr*>(data));
    return std::move(*holder);
}

void finish(const TransferPtr& transfer, std::optional<std::string> problem)
{
    transfer->body.reset();
    transfer->message.reset();
    transfer->done(std::move(problem));
}

void send(const TransferPtr& transfer, const std::string& address);

void readPiece(const TransferPtr& transfer)
{
    g_input_stream_read_bytes_async(
        transfer->body.get(), kPieceSize, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            TransferPtr transfer = unpack(data);
            g_autoptr(GError) error = nullptr;
            g_autoptr(GBytes) piece = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
            if (!piece) {
                finish(transfer, std::string(error->message));
                return;
            }
            const gsize size = g_bytes_get_size(piece);
            if (size == 0) {
                finish(transfer, std::nullopt);
                return;
            }
            transfer->received += size;
            if (transfer->received > transfer->cap) {
                finish(transfer, transfer->name + " is larger than " + byteCountText(transfer->cap));
                return;
            }
            transfer->sink(piece, [transfer](std::optional<std::string> problem) {
                if (problem)
                    finish(transfer, std::move(problem));
                else
                    readPiece(transfer);
            });
        },
        carry(transfer));
}

void answered(const TransferPtr& transfer)
{
    SoupMessage* message = transfer->message.get();
    const guint status = soup_message_get_status(message);
    SoupMessageHeaders* headers = soup_message_get_response_headers(message);
    if (SOUP_STATUS_IS_REDIRECTION(status)) {
        const char* location = soup_message_headers_get_one(headers, "Location");
        g_autoptr(GUri) target = location
            ? g_uri_parse_relative(soup_message_get_uri(message), location, GUriFlags(SOUP_HTTP_URI_FLAGS), nullptr)
            : nullptr;
        if (target) {
            g_autofree char* address = g_uri_to_string(target);
            // The signature protects the content, but a redirect must not hand the
            // transfer to an unencrypted address that anyone on the way can answer.
            if (g_strcmp0(g_uri_get_scheme(target), "https") != 0) {
                finish(transfer, std::string("Refused a redirect to ") + address + ": only https is followed");
                return;
            }
            if (++transfer->redirects > kMaxRedirects) {
                finish(transfer, "Too many redirects");
                return;
            }
            send(transfer, address);
            return;
        }
    }
    if (status != SOUP_STATUS_OK) {
        const char* reason = soup_message_get_reason_phrase(message);
        finish(transfer,
            "The update host answered " + std::to_string(status)
                + (reason && *reason ? std::string(" ") + reason : ""));
        return;
    }
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH
        && std::uint64_t(soup_message_headers_get_content_length(headers)) > transfer->cap) {
        finish(transfer, transfer->name + " is larger than " + byteCountText(transfer->cap));
        return;
    }
    readPiece(transfer);
}

void send(const TransferPtr& transfer, const std::string& address)
{
    transfer->message = adopt(soup_message_new("GET", address.c_str()));
    if (!transfer->message) {
        finish(transfer, "Bad address " + address);
        return;
    }
    // Redirects are looked at here, one by one.
    soup_message_add_flags(transfer->message.get(), SOUP_MESSAGE_NO_REDIRECT);
    soup_session_send_async(
        session(), transfer->message.get(), G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            TransferPtr transfer = unpack(data);
            g_autoptr(GError) error = nullptr;
            transfer->body = adopt(soup_session_send_finish(SOUP_SESSION(source), result, &error));
            if (!transfer->body) {
                finish(transfer, std::string(error->message));
                return;
            }
            answered(transfer);
        },
        carry(transfer));
}

} // namespace

void fetch(const std::string& address, const std::string& name, std::uint64_t cap, BodySink sink, TransferDone done)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->name = name;
    transfer->cap = cap;
    transfer->sink = std::move(sink);
    transfer->done = std::move(done);
    send(transfer, address);
}

std::string byteCountText(std::uint64_t bytes)
{
    if (bytes % (1 << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1 << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace quillmere::Updater
