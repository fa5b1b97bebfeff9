// The rule-list loader: hands the window a compiled content-blocking rule list. It
// reuses the list the engine keeps in its store across launches, then the list the build
// compiled with this same engine (shipped as a store beside the rules), and otherwise
// finds quilblock_rules.json (and its further parts), reads it and has the engine compile
// it; while that takes seconds, a small starter list of the most frequent hosts blocks.
// It blocks nothing itself; the window attaches the list to its web views.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::QuilBlock {

inline constexpr const char* kRuleListIdentifier = "quilblock-main-v4";
inline constexpr const char* kStarterIdentifier = "quilblock-starter";
inline constexpr const char* kRulesFileName = "quilblock_rules.json";
inline constexpr const char* kStarterFileName = "quilblock_starter.json";
// The build's compiled store, in the bundle's resources.
inline constexpr const char* kShippedStoreName = "content-filters";

// The engine takes at most 150,000 rules a list, so the rules come in parts: part 1 under
// `base`, part N under `base`-partN; quilblock_rules.json, quilblock_rules-N.json on disk.
std::string partIdentifier(const std::string& base, size_t index);
std::string partFileName(const std::string& firstPart, size_t index);

// A compiled list of one or more parts (reference-counted engine objects), attached to
// and removed from a content manager together.
class RuleSet {
public:
    explicit RuleSet(std::vector<WebKitUserContentFilter*> adoptedParts);
    ~RuleSet();
    RuleSet(const RuleSet&) = delete;
    RuleSet& operator=(const RuleSet&) = delete;

    void attachTo(WebKitUserContentManager* manager) const;
    void detachFrom(WebKitUserContentManager* manager) const;
    size_t partCount() const { return parts_.size(); }
    const char* identifier() const;

private:
    std::vector<WebKitUserContentFilter*> parts_; // owned
};
using RuleList = std::shared_ptr<const RuleSet>;

// Receives the compiled list, or null when blocking is unavailable for this run.
using Completion = std::function<void(RuleList)>;

// Called when no compiled list can be used, with the step that compiles the rules file;
// the caller runs it when it suits (compiling takes seconds of a core).
using LookupMiss = std::function<void(std::function<void()> compile)>;

// Receives the starter list, compiled in a fraction of a second, when the full list has
// to be compiled first; the completion follows with the full list.
using Starter = std::function<void(RuleList)>;

// Looks the list up and, when neither the store nor the shipped store has one, compiles
// the starter list and then the rules file (at once, or when `onLookupMiss` says so). The
// completion runs exactly once.
void loadAndCompile(Completion completion, LookupMiss onLookupMiss = {}, Starter onStarter = {});

// The compiled list, or null and the engine's (or the helper's) complaint.
using Compiled = std::function<void(RuleList list, std::string failure)>;

// Compiles the rules files (`firstPart` and the parts beside it) into the store at
// `directory` under the list's identifiers, each part in a helper process of its own when
// the helper is there. An unreadable file goes to `unreadable` when given, else to `done`.
void compileRules(const std::string& directory, const std::string& firstPart, Compiled done,
    std::function<void(const std::string& file)> unreadable = {});

// The rules files of a list: the first part, then its siblings while they exist.
std::vector<std::string> partFiles(const std::string& firstPart);

RuleList makeList(std::vector<WebKitUserContentFilter*> adoptedParts);

// <bundle>/libexec/quillmere/quillmere-rules-compiler
std::string compilerPath();

// Runs the rules helper with `arguments`, in a process that ends with ours; `done` gets
// whether it succeeded and what it printed. False when it could not be started.
using HelperDone = std::function<void(bool succeeded, std::string output)>;
bool runHelper(const std::vector<std::string>& arguments, GCancellable* cancellable, HelperDone done);

// The first candidate rules file that exists, if any: in the bundle's resources, in
// the working directory, then under ~/Quillmere.
std::optional<std::string> locateRulesFile();

// Where the engine keeps compiled lists: <user data dir>/quillmere/content-filters.
std::string storeDirectory();

} // namespace quillmere::QuilBlock
