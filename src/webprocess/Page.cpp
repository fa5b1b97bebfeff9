#include "Page.h"

#include <algorithm>

namespace quillmere::webprocess {

namespace {

// Per document: the captured requests kept for a resend, by number and by size.
constexpr std::size_t kKeptRequestBytes = 32 * 1024 * 1024;

GQuark pageQuark()
{
    static const GQuark quark = g_quark_from_static_string("quillmere-page");
    return quark;
}

std::string upperCase(std::string text)
{
    for (char& c : text)
        c = g_ascii_toupper(c);
    return text;
}

GObjectPtr<JSCValue> stringValue(JSCContext* context, const std::string& text)
{
    auto bytes = adoptBytes(g_bytes_new(text.data(), text.size()));
    return adopt(jsc_value_new_string_from_bytes(context, bytes.get()));
}

} // namespace

// In the order of kMessageChannels. The developer tools get many small messages; the
// picture-in-picture stream a few large ones (a newer frame replaces a waiting one);
// the counts are one small message per frame at most.
const Page::Limits Page::kLimits[kMessageChannelCount] = {
    {32, 1024 * 1024, kKeptConsoleLines, 16 * 1024 * 1024},
    {2, 4 * 1024 * 1024, 16, 8 * 1024 * 1024},
    {8, 64 * 1024, 4096, 1024 * 1024},
};

void Document::remember(std::string id, CapturedRequest request)
{
    const std::size_t size = request.method.size() + request.url.size() + request.body.size();
    if (size > kMaxMessageBytes)
        return;
    if (auto old = requests.find(id); old != requests.end()) {
        requestBytes -= old->second.method.size() + old->second.url.size() + old->second.body.size();
        requests.erase(old);
    }
    requestOrder.push_back(id);
    requestBytes += size;
    requests.emplace(std::move(id), std::move(request));
    // Ids of replaced requests stay in the order until their turn; they find nothing.
    while (!requestOrder.empty() && (requests.size() > kKeptNetworkEntries || requestBytes > kKeptRequestBytes)) {
        if (auto oldest = requests.find(requestOrder.front()); oldest != requests.end()) {
            requestBytes -= oldest->second.method.size() + oldest->second.url.size() + oldest->second.body.size();
            requests.erase(oldest);
        }
        requestOrder.pop_front();
    }
}

Page::Page(WebKitWebPage* page)
    : page_(page)
{
}

Page& Page::of(WebKitWebPage* page)
{
    if (auto* held = static_cast<std::shared_ptr<Page>*>(g_object_get_qdata(G_OBJECT(page), pageQuark())))
        return **held;
    auto* held = new std::shared_ptr<Page>(std::make_shared<Page>(page));
    g_object_set_qdata_full(
        G_OBJECT(page), pageQuark(), held, [](gpointer data) { delete static_cast<std::shared_ptr<Page>*>(data); });
    g_signal_connect(page, "user-message-received",
        G_CALLBACK(
            +[](WebKitWebPage*, WebKitUserMessage* message, Page* self) { return gboolean(self->receive(message)); }),
        held->get());
    return **held;
}

std::shared_ptr<Document> Page::documentFor(WebKitFrame* frame, bool pageWorld)
{
    const std::uint64_t id = webkit_frame_get_id(frame);
    auto& current = documents_[id];
    if (current && !(pageWorld ? current->pageWorldInstalled : current->privateWorldInstalled))
        return current;

    // Frames that are gone leave their documents behind; they go when the next one comes.
    std::erase_if(documents_, [&](const auto& entry) { return entry.first != id && !entry.second->frame; });
    current = std::make_shared<Document>();
    current->page = weak_from_this();
    current->frame = frame;
    current->frameId = id;
    current->mainFrame = webkit_frame_is_main_frame(frame);
    if (current->mainFrame)
        capturing_ = false;
    return current;
}

void Page::post(std::size_t channel, const Document& from, std::string json)
{
    if (json.size() > kMaxMessageBytes || channel >= kMessageChannelCount)
        return;
    enqueue(channel, {std::move(json), from.frameId, from.mainFrame, Kind::Plain});
}

void Page::postFrame(const Document& from, std::string json)
{
    if (json.size() > kMaxMessageBytes)
        return;
    const std::size_t channel = *messageChannelIndex(kPiPChannel);
    Outbox& box = outboxes_[channel];
    std::erase_if(box.waiting, [&](const Waiting& waiting) {
        if (waiting.kind != Kind::Frame)
            return false;
        box.waitingBytes -= waiting.json.size();
        return true;
    });
    enqueue(channel, {std::move(json), from.frameId, from.mainFrame, Kind::Frame});
}

void Page::postFailedLoads(const Document& from)
{
    const std::size_t channel = *messageChannelIndex(kBlockCountChannel);
    Outbox& box = outboxes_[channel];
    std::erase_if(box.waiting, [&](const Waiting& waiting) {
        if (waiting.frameId != from.frameId)
            return false;
        box.waitingBytes -= waiting.json.size();
        return true;
    });
    enqueue(
        channel, {"{\"count\":" + std::to_string(from.failedLoads) + "}", from.frameId, from.mainFrame, Kind::Count});
}

void Page::enqueue(std::size_t channel, Waiting message)
{
    Outbox& box = outboxes_[channel];
    const Limits& limits = kLimits[channel];
    box.waitingBytes += message.json.size();
    box.waiting.push_back(std::move(message));
    while (box.waiting.size() > 1
        && (box.waiting.size() > limits.waitingMessages || box.waitingBytes > limits.waitingBytes)) {
        box.waitingBytes -= box.waiting.front().json.size();
        box.waiting.pop_front();
    }
    pump(channel);
}

void Page::pump(std::size_t channel)
{
    Outbox& box = outboxes_[channel];
    const Limits& limits = kLimits[channel];
    while (!box.waiting.empty() && box.inFlight < limits.inFlightMessages
        && (box.inFlight == 0 || box.inFlightBytes + box.waiting.front().json.size() <= limits.inFlightBytes)) {
        Waiting next = std::move(box.waiting.front());
        box.waiting.pop_front();
        const std::size_t bytes = next.json.size();
        box.waitingBytes -= bytes;
        box.inFlight += 1;
        box.inFlightBytes += bytes;

        struct Answer {
            std::weak_ptr<Page> page;
            std::size_t channel;
            std::size_t bytes;
        };
        GVariant* parameters = g_variant_new(kFrameMessageFormat, next.frameId, next.mainFrame, next.json.c_str());
        webkit_web_page_send_message_to_view(
            page_, webkit_user_message_new(kMessageChannels[channel], parameters), nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Answer> answer(static_cast<Answer*>(data));
                GErrorPtr error;
                GError* failure = nullptr;
                // An answer or an error (the view went away): either way the slot is free.
                auto reply =
                    adopt(webkit_web_page_send_message_to_view_finish(WEBKIT_WEB_PAGE(source), result, &failure));
                error.reset(failure);
                if (auto page = answer->page.lock())
                    page->answered(answer->channel, answer->bytes);
            },
            new Answer {weak_from_this(), channel, bytes});
    }
}

void Page::answered(std::size_t channel, std::size_t bytes)
{
    Outbox& box = outboxes_[channel];
    box.inFlight -= std::min<std::size_t>(box.inFlight, 1);
    box.inFlightBytes -= std::min(box.inFlightBytes, bytes);
    pump(channel);
}

bool Page::receive(WebKitUserMessage* message)
{
    const char* name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (g_strcmp0(name, kCaptureMessage) == 0) {
        if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
            gboolean on = FALSE;
            g_variant_get(parameters, "(b)", &on);
            capturing_ = on;
        }
        return true;
    }
    if (g_strcmp0(name, kResendMessage) == 0) {
        if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ts)"))) {
            guint64 frame = 0;
            const char* id = nullptr;
            g_variant_get(parameters, "(t&s)", &frame, &id);
            resend(frame, id);
        }
        return true;
    }
    return false;
}

// The request goes out from the frame that made it, through the page's own fetch there
// (so that the instrumentation captures it again, like any fetch of the page), with the
// strings handed over as values: nothing of them is ever read as code.
void Page::resend(std::uint64_t frameId, const std::string& id)
{
    const auto found = documents_.find(frameId);
    if (found == documents_.end())
        return;
    const Document& document = *found->second;
    const auto request = document.requests.find(id);
    auto frame = document.frame.peek();
    if (request == document.requests.end() || !frame)
        return;
    const CapturedRequest& captured = request->second;

    auto context = adopt(webkit_frame_get_js_context(frame.get()));
    auto fetch = adopt(jsc_context_get_value(context.get(), "fetch"));
    if (!jsc_value_is_function(fetch.get()))
        return;
    auto init = adopt(jsc_value_new_object(context.get(), nullptr, nullptr));
    jsc_value_object_set_property(init.get(), "method", stringValue(context.get(), captured.method).get());
    if (upperCase(captured.method) != "GET" && !captured.body.empty())
        jsc_value_object_set_property(init.get(), "body", stringValue(context.get(), captured.body).get());
    auto url = stringValue(context.get(), captured.url);
    auto result =
        adopt(jsc_value_function_call(fetch.get(), JSC_TYPE_VALUE, url.get(), JSC_TYPE_VALUE, init.get(), G_TYPE_NONE));
    jsc_context_clear_exception(context.get());
}

} // namespace quillmere::webprocess
