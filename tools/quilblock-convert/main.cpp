// quilblock-convert: Adblock Plus filter lists to the WebKit content-blocker rule list
// Quillmere ships. Run at build time.
#include "FilterConverter.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// WebKit refuses a list with more rules than this.
constexpr size_t kWebKitRuleLimit = 150000;

int usage()
{
    std::cerr << "usage: quilblock-convert [--native-has] -o OUT.json LIST.txt [LIST.txt ...]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string output;
    std::vector<std::string> inputs;
    quilblock::ConversionOptions options;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-o") && i + 1 < argc)
            output = argv[++i];
        else if (!std::strcmp(argv[i], "--native-has"))
            options.nativeHasSelector = true;
        else if (argv[i][0] == '-')
            return usage();
        else
            inputs.emplace_back(argv[i]);
    }
    if (output.empty() || inputs.empty())
        return usage();

    const auto start = std::chrono::steady_clock::now();
    quilblock::FilterConverter converter(options);
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cerr << "quilblock-convert: cannot read " << path << "\n";
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        converter.addList(std::move(text).str());
    }
    const auto rules = converter.convert();
    const std::string json = quilblock::toJson(rules);

    // Write beside the target and rename, so an interrupted build never leaves half a list.
    const std::string temporary = output + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(json.data(), static_cast<std::streamsize>(json.size()));
        if (!out.flush()) {
            std::cerr << "quilblock-convert: cannot write " << temporary << "\n";
            return 1;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, output, error);
    if (error) {
        std::cerr << "quilblock-convert: cannot write " << output << ": " << error.message() << "\n";
        return 1;
    }
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);

    std::cout << quilblock::formatSummary(converter.stats());
    std::printf("converted %zu list(s) in %.0f ms -> %s (%.1f MiB)\n", inputs.size(), elapsed.count(), output.c_str(),
        json.size() / 1048576.0);
    if (rules.size() > kWebKitRuleLimit) {
        std::cerr << "quilblock-convert: " << rules.size() << " rules, WebKit accepts at most " << kWebKitRuleLimit
                  << "\n";
        return 1;
    }
    return 0;
}
