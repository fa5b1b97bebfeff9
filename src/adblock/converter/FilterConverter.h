// Adblock Plus filter lists (EasyList dialect, with the uBlock Origin extensions those lists use)
// to one WebKit content-blocker rule list.
//
// What cannot be expressed exactly is skipped and counted by reason. Where only part of a
// filter's reach can be expressed, the converter keeps the part that blocks or hides less,
// never more, and counts that as a note.
#pragma once

#include "ContentRule.h"

#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quilblock {

struct ConversionOptions {
    // WebKit handles :has() natively, but it is costly on big pages and ABP treats it as
    // procedural; off by default.
    bool nativeHasSelector = false;
    // Generic element-hiding selectors per css-display-none rule.
    size_t genericSelectorsPerRule = 500;
};

struct ConversionStats {
    size_t filtersRead = 0; // lines that are filters: no comments, headers, blanks
    std::map<std::string, size_t> writtenByKind; // by action type
    std::map<std::string, size_t> writtenByOrigin;
    std::map<std::string, size_t> skipped; // filters left out, by reason
    std::map<std::string, size_t> narrowed; // filters kept with less reach, by reason
    size_t rulesWritten = 0;
};

class FilterConverter {
public:
    explicit FilterConverter(ConversionOptions options = {});

    // Lists are read in order; "!#if" blocks are evaluated with every condition false
    // (we are neither uBlock Origin nor Safari).
    void addList(std::string text);

    // Converts everything added so far. Rule order: blocks, the top-level-document and popup
    // release, document and popup blocks, element hiding, exceptions, then $important blocks.
    std::vector<ContentRule> convert();

    const ConversionStats& stats() const { return stats_; }

private:
    struct Impl;
    ConversionOptions options_;
    std::deque<std::string> texts_;
    std::vector<std::string_view> lines_;
    ConversionStats stats_;
};

// Human-readable summary of a conversion, as the tool prints it.
std::string formatSummary(const ConversionStats& stats);

} // namespace quilblock
