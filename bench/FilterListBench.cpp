// The cost of the filter lists, in the real program started in-process with a bundle that
// carries what an install carries (the build's rules in parts, the store the build compiled,
// the starter list, the rules helper):
//   first launch   from the window shown to the shipped list attached (fresh profile);
//   full compile   every part compiled at once by the helpers, as a changed engine makes
//                  the program do: wall time, peak memory of the largest helper and of the
//                  browser's process;
//   refresh        fresh lists from a local server end to end (download, convert in the
//                  helper, compile, swap into the tabs), then the same check answered 304;
//   converter      EasyList and EasyPrivacy converted in this process.
//
// Run it through tests/isolate.sh (its own display, session bus and home):
//   tests/isolate.sh build/bench/filter_list_bench
#include "BenchLoop.h"
#include "InProcessBrowser.h"
#include "FilterConverter.h"
#include "adblock/FilterListUpdater.h"
#include "adblock/QuilBlock.h"
#include "browser/BrowserWindowController.h"

#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

const std::string kBuilt = QUILLMERE_BUILD_DIR "/share/quillmere/";

std::string readFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

long peakKiB(const char* who)
{
    rusage usage;
    getrusage(std::string(who) == "self" ? RUSAGE_SELF : RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

// The lists, served with an ETag that the second request for each repeats.
void serveList(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer)
{
    static const std::string easylist = readFile(QUILBLOCK_EASYLIST), easyprivacy = readFile(QUILBLOCK_EASYPRIVACY);
    const std::string& body = std::string(path) == "/easylist.txt" ? easylist : easyprivacy;
    const char* asked =
        soup_message_headers_get_one(soup_server_message_get_request_headers(message), "If-None-Match");
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "ETag", "\"bench\"");
    if (asked && std::string(asked) == "\"bench\"") {
        soup_server_message_set_status(message, 304, nullptr);
        return;
    }
    soup_server_message_set_status(message, 200, nullptr);
    soup_server_message_set_response(message, "text/plain", SOUP_MEMORY_COPY, body.data(), body.size());
}

} // namespace

int main()
{
    const int port = serveOnOwnThread(serveList);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    UserDefaults::standard().setString(kFilterListURLsKey, base + "/easylist.txt;" + base + "/easyprivacy.txt");

    double started = 0;
    InProcessBrowser program("about:blank", [&](const std::string& bundle) {
        const std::string resources = bundle + "/share/quillmere/";
        g_mkdir_with_parents((resources + QuilBlock::kShippedStoreName).c_str(), 0700);
        for (const auto& part : QuilBlock::partFiles(kBuilt + QuilBlock::kRulesFileName))
            symlink(part.c_str(), (resources + part.substr(part.rfind('/') + 1)).c_str());
        symlink((kBuilt + QuilBlock::kStarterFileName).c_str(), (resources + QuilBlock::kStarterFileName).c_str());
        GDir* store = g_dir_open((kBuilt + QuilBlock::kShippedStoreName).c_str(), 0, nullptr);
        while (const char* name = g_dir_read_name(store))
            symlink((kBuilt + QuilBlock::kShippedStoreName + "/" + name).c_str(),
                (resources + QuilBlock::kShippedStoreName + "/" + name).c_str());
        g_dir_close(store);
        g_mkdir_with_parents((bundle + "/libexec/quillmere").c_str(), 0700);
        symlink(QUILLMERE_RULES_COMPILER, (bundle + "/libexec/quillmere/quillmere-rules-compiler").c_str());
        started = nowSeconds();
    });
    BrowserWindowController& browser = program.browser();
    const double shown = nowSeconds();
    if (!runUntil([&] { return browser.compiledRuleList() != nullptr; }, 30)) {
        fprintf(stderr, "the shipped list never arrived\n");
        return 1;
    }
    runUntil([] { return false; }, 0.01); // the attach runs on the next turn of the main loop
    printf("first launch: window shown %.0f ms after start; shipped list (%zu parts) attached %.0f ms after "
           "the window was shown\n",
        (shown - started) * 1000, browser.compiledRuleList()->partCount(), (nowSeconds() - shown) * 1000);

    // The full compile, as after an engine change: every part at once, each in a helper.
    char* store = g_dir_make_tmp("quillmere-bench-store-XXXXXX", nullptr);
    std::optional<std::string> failure;
    double compileStart = nowSeconds();
    QuilBlock::compileRules(store, kBuilt + QuilBlock::kRulesFileName,
        [&](QuilBlock::RuleList list, std::string why) { failure = list ? "" : why; });
    if (!runUntil([&] { return failure.has_value(); }, 300) || !failure->empty()) {
        fprintf(stderr, "the compile failed: %s\n", failure.value_or("no answer").c_str());
        return 1;
    }
    printf("full compile: %.2f s for %zu parts in parallel; peak memory %.0f MiB in the largest helper, "
           "%.0f MiB in the browser's process\n",
        nowSeconds() - compileStart, QuilBlock::partFiles(kBuilt + QuilBlock::kRulesFileName).size(),
        peakKiB("children") / 1024.0, peakKiB("self") / 1024.0);
    g_free(store);

    // Refresh: download, convert, compile, swap; then the conditional check.
    FilterListUpdater& updater = *browser.filterListUpdater();
    int checks = 0;
    updater.signalChecked().connect([&] { ++checks; });
    for (const char* round : {"refresh (200, new lists)", "refresh (304, unchanged)"}) {
        const QuilBlock::RuleSet* before = browser.compiledRuleList();
        const int checksBefore = checks;
        const double start = nowSeconds();
        updater.updateNow();
        if (!runUntil([&] { return checks > checksBefore; }, 300)) {
            fprintf(stderr, "%s never ended\n", round);
            return 1;
        }
        printf("%s: %.2f s end to end; %s\n", round, nowSeconds() - start,
            browser.compiledRuleList() != before ? "new list swapped in" : "list kept");
    }

    // The converter alone.
    for (int run = 0; run < 3; ++run) {
        const std::string easylist = readFile(QUILBLOCK_EASYLIST), easyprivacy = readFile(QUILBLOCK_EASYPRIVACY);
        const double start = nowSeconds();
        quilblock::FilterConverter converter;
        converter.addList(easylist);
        converter.addList(easyprivacy);
        const auto rules = converter.convert();
        printf("converter: %zu rules in %.2f s (goal < 1 s)\n", rules.size(), nowSeconds() - start);
    }
    return 0;
}
