// The rule-list loader: hands the window a compiled content-blocking rule list. It
// reuses the list the engine keeps in its store across launches, and otherwise finds
// quilblock_rules.json, reads it and has the engine compile it. It blocks nothing
// itself; the window attaches the list to its web views.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere::QuilBlock {

inline constexpr const char* kRuleListIdentifier = "quilblock-main-v4";
inline constexpr const char* kRulesFileName = "quilblock_rules.json";

// A compiled rule list: a reference-counted engine object (boxed, not a GObject).
using RuleList = std::shared_ptr<WebKitUserContentFilter>;
inline RuleList adoptRuleList(WebKitUserContentFilter* list)
{
    return RuleList(list, [](WebKitUserContentFilter* l) {
        if (l)
            webkit_user_content_filter_unref(l);
    });
}

// Receives the compiled list, or null when blocking is unavailable for this run.
using Completion = std::function<void(RuleList)>;

// Called when the store holds no list, with the step that compiles the rules file;
// the caller runs it when it suits (compiling takes seconds of a core).
using LookupMiss = std::function<void(std::function<void()> compile)>;

// Looks the list up and, when the store has none, compiles the rules file (at once,
// or when `onLookupMiss` says so). The completion runs exactly once.
void loadAndCompile(Completion completion, LookupMiss onLookupMiss = {});

// The first candidate rules file that exists, if any: in the bundle's resources, in
// the working directory, then under ~/Quillmere.
std::optional<std::string> locateRulesFile();

// Where the engine keeps compiled lists: <user data dir>/quillmere/content-filters.
std::string storeDirectory();

} // namespace quillmere::QuilBlock
