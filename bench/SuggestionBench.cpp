// Address-field suggestions against a large history. The real program runs in-process
// with 100,000 visits (to 25,000 pages over the last 180 days) in its profile database;
// text is typed into the address field one character at a time, and for each keystroke
// the benchmark measures the time until the list under the field shows the lines for
// the text typed so far. Words that match almost every page, a few pages and none are
// typed; the goal is every keystroke within 50 ms.
//
// Run it through tests/isolate.sh (its own display, session bus and home), e.g.
//   tests/isolate.sh build/bench/suggestion_bench [visits]
#include "BenchLoop.h"
#include "InProcessBrowser.h"
#include "browser/WebViewFactory.h"
#include "history/AddressSuggestions.h"
#include "history/HistoryStore.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

constexpr std::int64_t kDay = 24LL * 3600 * 1000000;

// `visits` visits to `visits` / 4 pages, the busiest pages visited most, spread over
// 180 days; ranks worked out as the program does.
void fillHistory(ProfileDatabase& database, int visits)
{
    const int pages = std::max(visits / 4, 1);
    database.write([visits, pages](SqliteConnection& db) {
        const std::int64_t now = HistoryStore::now();
        auto page = db.prepare("INSERT INTO history_urls (id, url, title, visit_count, last_visit) VALUES (?1, ?2, ?3, "
                               "0, 0)");
        for (int i = 1; i <= pages; ++i) {
            const std::string site = "site" + std::to_string(i % 997) + ".example";
            page.bind(1, static_cast<std::int64_t>(i))
                .bind(2,
                    "https://" + site + "/articles/" + std::to_string(i) + "/story-about-topic-"
                        + std::to_string(i % 89))
                .bind(3, "Story " + std::to_string(i) + " about topic " + std::to_string(i % 89) + " on " + site);
            page.run();
            page.reset();
        }
        auto visit = db.prepare("INSERT INTO history_visits (url_id, time) VALUES (?1, ?2)");
        GRand* random = g_rand_new_with_seed(14);
        for (int i = 0; i < visits; ++i) {
            // Skewed towards the first pages, as real browsing is.
            const double pick = g_rand_double(random);
            const std::int64_t id = 1 + static_cast<std::int64_t>(pick * pick * pages) % pages;
            visit.bind(1, id).bind(2, now - static_cast<std::int64_t>(g_rand_double(random) * 180 * kDay));
            visit.run();
            visit.reset();
        }
        g_rand_free(random);
        db.exec("UPDATE history_urls SET visit_count = (SELECT count(*) FROM history_visits WHERE url_id = "
                "history_urls.id), last_visit = (SELECT coalesce(max(time), 0) FROM history_visits WHERE url_id = "
                "history_urls.id), search_text = lower(url || ' ' || title)");
        db.prepare("UPDATE history_urls SET score = (SELECT coalesce(sum(1.0 / (1.0 + max(?1 - time, 0) / "
                   "604800000000.0)), 0) FROM history_visits WHERE url_id = history_urls.id)")
            .bind(1, now)
            .run();
    });
    database.flush();
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    CUSTOM_UA = kFirefoxUserAgent;
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr, nullptr);
    const int visits = argc > 1 ? atoi(argv[1]) : 100000;

    InProcessBrowser program("about:blank");
    BrowserWindowController& browser = program.browser();
    runUntil([&] { return browser.window().get_mapped(); }, 30);
    const double filling = nowSeconds();
    fillHistory(browser.profileDatabase(), visits);
    printf("history: %d visits filled in %.1f s\n", visits, nowSeconds() - filling);

    Gtk::Entry& field = browser.addressField();
    AddressSuggestions& suggestions = browser.suggestions();
    field.grab_focus();
    // Almost every page, a few hundred, a handful, one, none; and several words.
    const std::vector<std::string> typed = {
        "story", "site42", "topic 7", "story 12345 about", "nothing-like-this", "https", "example articles story"};
    std::vector<double> latencies;
    printf("%-26s %8s %8s %8s\n", "typed", "median", "worst", "lines");
    for (const auto& text : typed) {
        std::vector<double> these;
        for (size_t length = 1; length <= text.size(); ++length) {
            const std::string prefix = text.substr(0, length);
            const double start = nowSeconds();
            field.set_text(prefix);
            field.set_position(-1);
            if (prefix.back() == ' ') // the list is for the trimmed text
                continue;
            if (!runUntil([&] { return suggestions.query() == prefix; }, 5)) {
                printf("no suggestions for \"%s\"\n", prefix.c_str());
                return 1;
            }
            these.push_back((nowSeconds() - start) * 1000);
        }
        printf("%-26s %6.1f ms %5.1f ms %8zu\n", text.c_str(), percentile(these, 0.5), percentile(these, 1.0),
            suggestions.lines().size());
        latencies.insert(latencies.end(), these.begin(), these.end());
    }
    printf("\nkeystroke to suggestions over %zu keystrokes at %d visits: median %.1f ms, 95th percentile %.1f ms, "
           "worst %.1f ms (goal <= 50 ms)\n",
        latencies.size(), visits, percentile(latencies, 0.5), percentile(latencies, 0.95), percentile(latencies, 1.0));
    return 0;
}
