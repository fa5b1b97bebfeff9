// quillmere-rules-compiler: compiles a content-blocker rules document into the engine's
// rule-list store, in a process of its own. The engine parses the document's JSON on
// the calling thread (most of a second for the shipped list) and needs a few hundred
// MiB while it compiles; done here, neither touches the browser's window.
//
// It also converts fetched filter lists, the same way the build converts the shipped ones:
// a big list's conversion takes most of a second and a few hundred MiB as well.
//
// usage: quillmere-rules-compiler STORE-DIRECTORY IDENTIFIER RULES-FILE
//        quillmere-rules-compiler --lists OUT.json CURRENT.json LIST.txt...
// The first compiles RULES-FILE into the store; the second converts the lists into OUT.json
// (and OUT-2.json ... when split), refusing lists that give fewer than half the rules of
// the list in use (CURRENT.json and its parts), and prints the number of rules. Each exits 0
// once done; otherwise it prints why to standard output and exits 1.
#include "FilterConverter.h"
#include "RuleParts.h"

#include <webkit/webkit.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
    bool done = false;
    bool stored = false;
    std::string message;
};

// Rules of a document written one rule a line, as the converter writes them.
size_t rulesIn(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    size_t rules = 0;
    for (std::string line; std::getline(in, line);)
        rules += line.starts_with("{");
    return rules;
}

int convertLists(int argc, char** argv)
{
    const std::string output = argv[2], current = argv[3];
    quilblock::FilterConverter converter;
    for (int i = 4; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::ostringstream text;
        if (!(text << in.rdbuf())) {
            printf("cannot read %s", argv[i]);
            return 1;
        }
        converter.addList(std::move(text).str());
    }
    auto documents = quilblock::makeDocuments(converter.convert(), 2);
    if (!documents.failure.empty()) {
        printf("%s", documents.failure.c_str());
        return 1;
    }
    size_t inUse = 0;
    for (size_t i = 0; g_file_test(quilblock::partPath(current, i).c_str(), G_FILE_TEST_EXISTS); ++i)
        inUse += rulesIn(quilblock::partPath(current, i));
    if (documents.written * 2 < inUse) {
        printf("the lists give %zu rules, fewer than half of the %zu in use", documents.written, inUse);
        return 1;
    }
    const std::string failure = quilblock::writeDocuments(output, documents.parts);
    if (!failure.empty()) {
        printf("%s", failure.c_str());
        return 1;
    }
    printf("%zu", documents.rules);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::string(argv[1]) == "--lists")
        return convertLists(argc, argv);
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
