// quillmere-rules-compiler: compiles a content-blocker rules document into the engine's
// rule-list store, in a process of its own. The engine parses the document's JSON on
// the calling thread (most of a second for the shipped list) and needs a few hundred
// MiB while it compiles; done here, neither touches the browser's window.
//
// usage: quillmere-rules-compiler STORE-DIRECTORY IDENTIFIER RULES-FILE
// Exits 0 once the compiled list is stored; otherwise prints the engine's message to
// standard output and exits 1.
#include <webkit/webkit.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    bool done = false;
    bool stored = false;
    std::string message;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s STORE-DIRECTORY IDENTIFIER RULES-FILE\n", argv[0]);
        return 2;
    }
    gchar* contents = nullptr;
    gsize length = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_file_get_contents(argv[3], &contents, &length, &error)) {
        printf("%s", error->message);
        return 1;
    }
    g_autoptr(GBytes) source = g_bytes_new_take(contents, length);
    g_autoptr(WebKitUserContentFilterStore) store = webkit_user_content_filter_store_new(argv[1]);
    Outcome outcome;
    webkit_user_content_filter_store_save(
        store, argv[2], source, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            auto* outcome = static_cast<Outcome*>(data);
            g_autoptr(GError) error = nullptr;
            g_autoptr(WebKitUserContentFilter) list =
                webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            outcome->stored = list != nullptr;
            if (!list)
                outcome->message = error ? error->message : "unknown error";
            outcome->done = true;
        },
        &outcome);
    while (!outcome.done)
        g_main_context_iteration(nullptr, TRUE);
    if (!outcome.stored) {
        printf("%s", outcome.message.c_str());
        return 1;
    }
    return 0;
}
