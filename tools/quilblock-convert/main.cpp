// quilblock-convert: Adblock Plus filter lists to the WebKit content-blocker rule lists
// Quillmere ships. Run at build time.
//
// The rules go into OUT.json and, when split, OUT-2.json, OUT-3.json ...: each part within
// the engine's limit, compiled by the engine separately (in parallel). Nothing is written
// until every check has passed, so a failed run leaves the previous output as it was and
// the build never takes a half-made list for an up-to-date one.
#include "FilterConverter.h"
#include "RuleParts.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::cerr << "usage: quilblock-convert [--native-has] [--parts N] [--limit RULES] [--starter OUT.json] "
                 "-o OUT.json LIST.txt [LIST.txt ...]\n";
    return 2;
}

// The most frequent hosts the starter list blocks.
constexpr size_t kStarterHosts = 2000;

} // namespace

int main(int argc, char** argv)
{
    std::string output;
    std::string starterOutput;
    std::vector<std::string> inputs;
    size_t atLeastParts = 1;
    size_t limit = quilblock::kWebKitRuleLimit;
    quilblock::ConversionOptions options;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-o") && i + 1 < argc)
            output = argv[++i];
        else if (!std::strcmp(argv[i], "--starter") && i + 1 < argc)
            starterOutput = argv[++i];
        else if (!std::strcmp(argv[i], "--parts") && i + 1 < argc)
            atLeastParts = std::strtoul(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--limit") && i + 1 < argc)
            limit = std::strtoul(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--native-has"))
            options.nativeHasSelector = true;
        else if (argv[i][0] == '-')
            return usage();
        else
            inputs.emplace_back(argv[i]);
    }
    if (output.empty() || inputs.empty() || limit == 0)
        return usage();

    const auto start = std::chrono::steady_clock::now();
    quilblock::FilterConverter converter(options);
    std::vector<std::string> texts;
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cerr << "quilblock-convert: cannot read " << path << "\n";
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        texts.push_back(std::move(text).str());
        converter.addList(texts.back());
    }
    auto documents = quilblock::makeDocuments(converter.convert(), atLeastParts, limit);
    std::cout << quilblock::formatSummary(converter.stats());
    if (!documents.failure.empty()) {
        std::cerr << "quilblock-convert: " << documents.failure << "\n";
        return 1;
    }
    std::vector<std::pair<std::string, std::string>> others;
    size_t starterRules = 0;
    if (!starterOutput.empty()) {
        quilblock::FilterConverter starterConverter(options);
        starterConverter.addList(quilblock::starterFilters(texts, kStarterHosts));
        auto starter = quilblock::makeDocuments(starterConverter.convert(), 1, limit);
        if (!starter.failure.empty() || starter.parts.size() != 1) {
            std::cerr << "quilblock-convert: the starter list: " << starter.failure << "\n";
            return 1;
        }
        starterRules = starter.rules;
        others.emplace_back(starterOutput, std::move(starter.parts.front()));
    }

    // Every check has passed.
    const std::string failure = quilblock::writeDocuments(output, documents.parts, others);
    if (!failure.empty()) {
        std::cerr << "quilblock-convert: " << failure << "\n";
        return 1;
    }
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    size_t bytes = 0;
    for (const auto& part : documents.parts)
        bytes += part.size();
    std::printf("converted %zu list(s) in %.0f ms -> %s: %zu rules in %zu part(s), %zu with repeated exceptions "
                "(%.1f MiB)\n",
        inputs.size(), elapsed.count(), output.c_str(), documents.rules, documents.parts.size(), documents.written,
        bytes / 1048576.0);
    if (!starterOutput.empty())
        std::printf("starter list: %zu rules -> %s\n", starterRules, starterOutput.c_str());
    return 0;
}
