#include "RuleParts.h"

#include "FilterSyntax.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quilblock {

namespace {

size_t exceptionCount(const std::vector<ContentRule>& rules)
{
    return static_cast<size_t>(std::count_if(
        rules.begin(), rules.end(), [](const ContentRule& r) { return r.action == ActionType::IgnorePreviousRules; }));
}

bool isHostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// The host of a "||host..." pattern in lower case, empty when the pattern is not one.
std::string anchoredHost(std::string_view pattern)
{
    if (!pattern.starts_with("||"))
        return {};
    pattern.remove_prefix(2);
    std::string host;
    for (char c : pattern) {
        char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (!isHostChar(lower))
            break;
        host += lower;
    }
    return host;
}

template<typename F> void forEachLine(const std::string& text, F&& f)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line = trim(std::string_view(text).substr(start, end - start));
        if (!line.empty() && line[0] != '!' && line[0] != '[')
            f(line);
        start = end + 1;
    }
}

} // namespace

size_t partsNeeded(const std::vector<ContentRule>& rules, size_t atLeast, size_t limit)
{
    const size_t exceptions = exceptionCount(rules);
    if (exceptions >= limit)
        return 0;
    const size_t others = rules.size() - exceptions;
    const size_t room = limit - exceptions;
    return std::max<size_t>({atLeast, 1, (others + room - 1) / room});
}

std::vector<std::vector<ContentRule>> splitRules(std::vector<ContentRule> rules, size_t parts)
{
    parts = std::max<size_t>(parts, 1);
    std::vector<std::vector<ContentRule>> out(parts);
    const size_t exceptions = exceptionCount(rules);
    for (auto& part : out)
        part.reserve(exceptions + (rules.size() - exceptions) / parts + 1);
    size_t next = 0;
    for (auto& rule : rules) {
        if (rule.action == ActionType::IgnorePreviousRules) {
            for (auto& part : out)
                part.push_back(rule);
        } else {
            out[next].push_back(std::move(rule));
            next = (next + 1) % parts;
        }
    }
    return out;
}

std::string partPath(const std::string& firstPart, size_t index)
{
    if (index == 0)
        return firstPart;
    const std::string stem = firstPart.ends_with(".json") ? firstPart.substr(0, firstPart.size() - 5) : firstPart;
    return stem + "-" + std::to_string(index + 1) + ".json";
}

RuleDocuments makeDocuments(std::vector<ContentRule> rules, size_t atLeastParts, size_t limit)
{
    RuleDocuments out;
    out.rules = rules.size();
    if (rules.empty()) {
        out.failure = "the lists gave no rules";
        return out;
    }
    const size_t parts = partsNeeded(rules, atLeastParts, limit);
    if (parts == 0) {
        out.failure = "the exceptions alone reach the limit of " + std::to_string(limit) + " rules a list";
        return out;
    }
    for (const auto& part : splitRules(std::move(rules), parts)) {
        if (part.size() > limit) {
            out.failure = "a part has " + std::to_string(part.size()) + " rules, WebKit accepts at most "
                + std::to_string(limit);
            out.parts.clear();
            return out;
        }
        out.written += part.size();
        out.parts.push_back(toJson(part));
    }
    return out;
}

std::string writeDocuments(const std::string& firstPart, const std::vector<std::string>& parts,
    const std::vector<std::pair<std::string, std::string>>& others)
{
    std::vector<std::pair<std::string, const std::string*>> files;
    for (size_t i = 0; i < parts.size(); ++i)
        files.emplace_back(partPath(firstPart, i), &parts[i]);
    for (const auto& [path, text] : others)
        files.emplace_back(path, &text);
    for (const auto& [path, text] : files) {
        std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
        out.write(text->data(), static_cast<std::streamsize>(text->size()));
        if (!out.flush())
            return "cannot write " + path + ".tmp";
    }
    for (const auto& [path, text] : files) {
        std::error_code error;
        std::filesystem::rename(path + ".tmp", path, error);
        if (error)
            return "cannot write " + path + ": " + error.message();
    }
    std::error_code error;
    for (size_t i = parts.size(); std::filesystem::exists(partPath(firstPart, i), error); ++i)
        std::filesystem::remove(partPath(firstPart, i), error);
    return {};
}

std::string starterFilters(const std::vector<std::string>& lists, size_t hosts)
{
    // Filters naming each host, counted for the host and every parent domain.
    std::unordered_map<std::string, size_t> named;
    std::unordered_set<std::string> plain; // hosts with a "||host^" block of their own
    for (const auto& text : lists)
        forEachLine(text, [&](std::string_view line) {
            size_t length = 0;
            if (line.starts_with("@@") || cosmeticSeparator(line, length) != std::string_view::npos)
                return;
            const std::string host = anchoredHost(line);
            if (host.empty() || host.find('.') == std::string::npos)
                return;
            if (line == "||" + host + "^")
                plain.insert(host);
            for (size_t dot = 0; dot != std::string::npos; dot = host.find('.', dot + 1)) {
                std::string_view suffix = std::string_view(host).substr(dot == 0 ? 0 : dot + 1);
                if (suffix.find('.') == std::string_view::npos)
                    break;
                ++named[std::string(suffix)];
            }
        });
    std::vector<std::pair<size_t, std::string>> ranked;
    ranked.reserve(plain.size());
    for (const auto& host : plain)
        ranked.emplace_back(named[host], host);
    std::sort(ranked.begin(), ranked.end(),
        [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    if (ranked.size() > hosts)
        ranked.resize(hosts);

    std::unordered_set<std::string> chosen;
    std::string out = "[Adblock Plus 2.0]\n! Starter list: the most frequent hosts of the full lists\n";
    for (const auto& [count, host] : ranked) {
        chosen.insert(host);
        out += "||" + host + "^\n";
    }
    // An exception can only undo a starter block when its pattern may match on one of the
    // chosen hosts: any exception not anchored to a host, or anchored at or under one.
    auto reaches = [&](const std::string& host) {
        for (size_t dot = 0; dot != std::string::npos; dot = host.find('.', dot + 1))
            if (chosen.count(host.substr(dot == 0 ? 0 : dot + 1)))
                return true;
        return false;
    };
    for (const auto& text : lists)
        forEachLine(text, [&](std::string_view line) {
            size_t length = 0;
            if (!line.starts_with("@@") || cosmeticSeparator(line, length) != std::string_view::npos)
                return;
            const std::string host = anchoredHost(line.substr(2));
            if (host.empty() || reaches(host)) {
                out += line;
                out += '\n';
            }
        });
    return out;
}

} // namespace quilblock
