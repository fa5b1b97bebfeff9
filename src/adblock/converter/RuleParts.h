// Splitting a rule list into parts the engine compiles one by one, and the small starter
// list of the most frequent ad and tracker hosts that blocks while the full list compiles.
#pragma once

#include "ContentRule.h"

#include <cstddef>
#include <string>
#include <vector>

namespace quilblock {

// WebKit refuses a list with more rules than this ("Too many rules in JSON array").
inline constexpr size_t kWebKitRuleLimit = 150000;

// How many parts `rules` needs so that none exceeds `limit`, and at least `atLeast`.
// Zero when no split can do it (the exceptions alone reach the limit).
size_t partsNeeded(const std::vector<ContentRule>& rules, size_t atLeast, size_t limit = kWebKitRuleLimit);

// Deals the blocking and hiding rules out in turn, in their order, and repeats every
// ignore-previous-rules rule in every part at its place: an exception only undoes the
// rules before it in its own list, so each part needs all those that may follow its rules.
std::vector<std::vector<ContentRule>> splitRules(std::vector<ContentRule> rules, size_t parts);

// OUT.json for the first part, OUT-N.json for part N.
std::string partPath(const std::string& firstPart, size_t index);

// The rules as documents: parts within the limit (at least `atLeastParts`), or why not.
struct RuleDocuments {
    std::vector<std::string> parts;
    size_t rules = 0; // distinct rules
    size_t written = 0; // across the parts, the exceptions counted in every part
    std::string failure; // set when a check failed: nothing may be written then
};
RuleDocuments makeDocuments(std::vector<ContentRule> rules, size_t atLeastParts, size_t limit = kWebKitRuleLimit);

// Writes each document beside its path, renames them all into place, then removes the
// further parts an earlier, larger split left. Answers what failed, empty when all went.
std::string writeDocuments(const std::string& firstPart, const std::vector<std::string>& parts,
    const std::vector<std::pair<std::string, std::string>>& others = {});

// Adblock Plus text of the starter list: the `hosts` hosts with a plain "||host^" block
// that the most filters of `lists` name (the host or under it), and the exceptions that
// can reach them.
std::string starterFilters(const std::vector<std::string>& lists, size_t hosts);

} // namespace quilblock
