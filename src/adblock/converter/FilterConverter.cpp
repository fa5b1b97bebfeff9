#include "FilterConverter.h"

#include "FilterSyntax.h"
#include "UrlPattern.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace quilblock {

namespace {

struct WebKitType {
    ResourceType type;
    uint32_t carries; // the ABP types loads of this WebKit type can be
};
// Measured on WebKitGTK 2.50: beacons arrive as "other", <object>/<embed> loads as image or
// document. A WebKit type goes into a rule only when everything it carries is wanted.
// "document" stands for child frames here; top-level ones are released separately.
constexpr std::array<WebKitType, 12> kWebKitTypes {{
    {RtImage, TImage},
    {RtStyleSheet, TStylesheet},
    {RtScript, TScript},
    {RtFont, TFont},
    {RtMedia, TMedia},
    {RtFetch, TXhr},
    {RtWebSocket, TWebsocket},
    {RtPing, TPing},
    {RtOther, TOther | TPing},
    {RtCspReport, TOther | TPing},
    {RtSvgDocument, TSubdocument | TImage},
    {RtDocument, TSubdocument},
}};

constexpr uint32_t expressibleTypes()
{
    uint32_t all = 0;
    for (const auto& t : kWebKitTypes)
        all |= t.carries;
    return all;
}
constexpr uint32_t kExpressible = expressibleTypes();

uint16_t webkitTypes(uint32_t wanted, bool withDocument, uint32_t* covered = nullptr)
{
    uint16_t out = 0;
    uint32_t got = 0;
    for (const auto& t : kWebKitTypes) {
        if ((t.carries & ~wanted) != 0 || (!withDocument && t.type == RtDocument))
            continue;
        out |= t.type;
        got |= t.carries;
    }
    if (covered)
        *covered = got;
    return out;
}

// Top-url patterns for pages on these domains. An entity ("name.*") becomes "name." followed by
// anything: only used to leave pages out, where reaching too far hides less, never more.
// Regex domains have no name and are left to the caller.
std::vector<std::string> pagesOf(const std::vector<Domain>& domains)
{
    std::vector<std::string> out;
    for (const auto& d : domains) {
        if (d.name.empty())
            continue;
        std::string re = siteUrlFilter(d.name, true);
        if (d.entity) {
            re.resize(re.size() - kSeparatorClass.size());
            re += "\\.";
        }
        out.push_back(std::move(re));
    }
    return out;
}

std::vector<std::string> withSubdomains(const std::vector<std::string>& names)
{
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const auto& n : names)
        out.push_back("*" + n);
    return out;
}

// Open-addressing set of lines; std::unordered_set spends most of its time in cache misses here.
class LineSet {
public:
    explicit LineSet(size_t expected)
    {
        size_t size = 16;
        while (size < expected * 2)
            size <<= 1;
        slots_.resize(size);
    }
    bool insert(std::string_view line)
    {
        uint64_t h = 14695981039346656037ull;
        for (char c : line)
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        h |= 1; // 0 marks an empty slot
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.hash == 0) {
                slot = {h, line};
                return true;
            }
            if (slot.hash == h && slot.line == line)
                return false;
        }
    }

private:
    struct Slot {
        uint64_t hash = 0;
        std::string_view line;
    };
    std::vector<Slot> slots_;
};

} // namespace

// ---------------------------------------------------------------------------------------------

struct FilterConverter::Impl {
    enum Section { Blocks, DocumentBlocks, Hiding, Exceptions, Important, SectionCount };

    Impl(const ConversionOptions& options, ConversionStats& stats)
        : options(options)
        , stats(stats)
    {
    }

    const ConversionOptions& options;
    ConversionStats& stats;
    std::array<std::vector<ContentRule>, SectionCount> sections;
    std::array<std::vector<const char*>, SectionCount> sectionOrigins;

    // Gathered before anything is emitted.
    std::unordered_set<std::string> badfiltered;
    std::vector<std::string> genericHidingExcluded; // top-url patterns from $generichide exceptions
    std::unordered_map<std::string_view, std::vector<Domain>> hideExceptions;
    std::unordered_set<std::string_view> hideExceptedEverywhere;

    void skip(const std::string& reason) { ++stats.skipped[reason]; }
    void narrow(const std::string& reason) { ++stats.narrowed[reason]; }

    void emit(Section section, ContentRule rule, const char* origin)
    {
        sections[section].push_back(std::move(rule));
        sectionOrigins[section].push_back(origin);
    }

    struct DomainPlan {
        std::vector<std::string> ifDomain;
        std::vector<std::string> unlessDomain;
        std::vector<std::string> excludedBelow; // excluded subdomains of included domains
        std::string skip;
    };

    DomainPlan planDomains(const std::vector<Domain>& domains, bool exception)
    {
        DomainPlan plan;
        std::vector<std::string> inc, exc;
        bool hadInclude = false, droppedInclude = false, droppedExclude = false;
        for (const auto& d : domains) {
            if (d.negated && d.entity) {
                // Leaving the exclusion out would block more; on an exception it only allows more.
                if (!exception) {
                    plan.skip = "entity or regex domain (name.*) excluded";
                    return plan;
                }
                droppedExclude = true;
            } else if (d.negated) {
                exc.push_back(d.name);
            } else {
                hadInclude = true;
                if (d.entity)
                    droppedInclude = true;
                else
                    inc.push_back(d.name);
            }
        }
        std::erase_if(inc, [&](const std::string& d) {
            return std::any_of(exc.begin(), exc.end(), [&](const std::string& e) { return coveredBy(d, e); });
        });
        if (hadInclude && inc.empty()) {
            bool onlyEntities =
                std::none_of(domains.begin(), domains.end(), [](const Domain& d) { return !d.negated && !d.entity; });
            plan.skip = onlyEntities ? "only entity or regex domains (name.*)" : "every domain excluded";
            return plan;
        }
        if (droppedInclude)
            narrow("entity or regex domain (name.*) dropped from list");
        if (droppedExclude)
            narrow("exception: entity or regex domain exclusion dropped");
        if (!inc.empty()) {
            for (const auto& e : exc) {
                if (std::any_of(inc.begin(), inc.end(), [&](const std::string& d) { return isUnder(e, d); }))
                    plan.excludedBelow.push_back(e);
            }
            plan.ifDomain = withSubdomains(inc);
        } else {
            plan.unlessDomain = withSubdomains(exc);
        }
        return plan;
    }

    void gather(const std::vector<std::string_view>& lines, bool nativeHas)
    {
        for (auto line : lines) {
            size_t len = 0;
            size_t at = cosmeticSeparator(line, len);
            if (at != std::string_view::npos) {
                auto c = parseCosmetic(line, at, len, nativeHas);
                if (c.kind != CosmeticKind::HideException)
                    continue;
                auto domains = parseDomains(c.domains, ',');
                if (!domains)
                    continue;
                std::vector<Domain> positive;
                for (auto& d : *domains) {
                    if (!d.negated)
                        positive.push_back(std::move(d));
                }
                // "~a.example#@#sel" (everywhere but a.example) counts as everywhere: hides less.
                if (positive.empty())
                    hideExceptedEverywhere.insert(c.selector);
                else {
                    auto& list = hideExceptions[c.selector];
                    list.insert(list.end(), positive.begin(), positive.end());
                }
                continue;
            }
            if (line.find("badfilter") != std::string_view::npos) {
                auto f = parseNetwork(line);
                if (f.badfilter)
                    badfiltered.insert(withoutBadfilter(line));
            }
            if (line.starts_with("@@") && line.find("hide") != std::string_view::npos) {
                auto f = parseNetwork(line);
                if (f.generichide && f.skip.empty() && !f.badfilter) {
                    if (auto pages = genericHidingExceptionPages(f))
                        genericHidingExcluded.insert(genericHidingExcluded.end(), pages->begin(), pages->end());
                }
            }
        }
        std::sort(genericHidingExcluded.begin(), genericHidingExcluded.end());
        genericHidingExcluded.erase(
            std::unique(genericHidingExcluded.begin(), genericHidingExcluded.end()), genericHidingExcluded.end());
    }

    // Pages a "@@...$generichide" exception names, as top-url patterns: its address pattern,
    // or its $domain list when the pattern is empty. Nothing when it says more than that.
    static std::optional<std::vector<std::string>> genericHidingExceptionPages(const NetworkFilter& f)
    {
        if (!f.exception || f.include || f.exclude || f.party || f.matchCase || f.important)
            return std::nullopt;
        const bool anyAddress = f.pattern.empty() || f.pattern == "*";
        if (f.hasDomains) {
            if (!anyAddress || f.domains.empty())
                return std::nullopt;
            for (const auto& d : f.domains) {
                if (d.negated || d.name.empty())
                    return std::nullopt;
            }
            return pagesOf(f.domains);
        }
        if (anyAddress)
            return std::vector<std::string> {".*"};
        auto pattern =
            f.regex ? translateRegexFilter(f.pattern.substr(1, f.pattern.size() - 2)) : translateAbpPattern(f.pattern);
        if (!pattern.ok())
            return std::nullopt;
        return pattern.urlFilters;
    }

    // ---- network

    void convertNetwork(std::string_view line)
    {
        NetworkFilter f = parseNetwork(line);
        if (!f.skip.empty())
            return skip(f.skip);
        if (f.badfilter) {
            ++stats.narrowed["$badfilter applied (no rule of its own)"];
            return;
        }
        if (!badfiltered.empty() && badfiltered.contains(std::string(line)))
            return skip("cancelled by $badfilter");
        if (f.generichide) {
            if (!f.exception)
                return skip("$generichide on a blocking filter");
            if (!genericHidingExceptionPages(f))
                return skip("$generichide exception limited by type, party or both address and $domain");
            ++stats.narrowed["$generichide exceptions folded into generic hiding"];
            return;
        }
        if (f.important && f.exception)
            return skip("$important on an exception");

        PatternTranslation pattern =
            f.regex ? translateRegexFilter(f.pattern.substr(1, f.pattern.size() - 2)) : translateAbpPattern(f.pattern);
        if (!pattern.ok())
            return skip(pattern.skipReason);

        DomainPlan plan = planDomains(f.domains, f.exception);
        if (!plan.skip.empty())
            return skip(plan.skip);
        if (f.exception && !plan.excludedBelow.empty()) {
            narrow("exception also applies on its excluded subdomains");
            plan.excludedBelow.clear();
        }

        uint32_t types = f.include ? f.include : kDefaultTypes;
        types &= ~f.exclude;
        if (types == 0)
            return skip("no resource type left");

        Trigger base;
        base.caseSensitive = f.matchCase;
        base.ifDomain = plan.ifDomain;
        base.unlessDomain = plan.unlessDomain;
        if (f.party == 1)
            base.loadType = LoadType::FirstParty;
        else if (f.party == 3)
            base.loadType = LoadType::ThirdParty;

        const ActionType action = f.exception ? ActionType::IgnorePreviousRules : ActionType::Block;
        // Exceptions and $important blocks come after the release of top-level documents,
        // so they must never name "document" without a load context.
        const bool explicitTypes = f.exception || f.important;
        const Section mainSection = f.exception ? Exceptions : (f.important ? Important : Blocks);
        const Section documentSection = f.exception ? Exceptions : (f.important ? Important : DocumentBlocks);
        const char* origin =
            f.exception ? "network exception" : (f.important ? "network block, $important" : "network block");

        size_t emitted = 0;
        std::string partSkip;
        auto emitAll = [&](Section section, const Trigger& shape, const char* what) {
            for (const auto& filter : pattern.urlFilters) {
                ContentRule rule;
                rule.trigger = shape;
                rule.trigger.urlFilter = filter;
                rule.action = action;
                emit(section, rule, what);
                ++emitted;
                if (!plan.excludedBelow.empty()) {
                    // A block limited to a domain but not some of its subdomains: release it
                    // there right away, before later blocks it must not undo.
                    rule.action = ActionType::IgnorePreviousRules;
                    rule.trigger.ifDomain = withSubdomains(plan.excludedBelow);
                    emit(section, std::move(rule), "network block, domain exclusion");
                }
            }
        };

        const uint32_t main = types & kDefaultTypes;
        if (main) {
            // Blocks without a type option leave resource-type out: top-level pages and popups
            // are released after all blocks of this kind.
            const bool everyType = !explicitTypes && (main & kExpressible) == kExpressible;
            const bool frames = explicitTypes && (main & TSubdocument);
            uint32_t covered = kExpressible;
            Trigger shape = base;
            if (!everyType)
                shape.resourceTypes = webkitTypes(main, !explicitTypes, &covered);
            if (everyType || shape.resourceTypes)
                emitAll(mainSection, shape, origin);
            if (frames) {
                Trigger childFrames = base;
                childFrames.resourceTypes = RtDocument;
                childFrames.loadContext = LoadContext::ChildFrame;
                emitAll(mainSection, childFrames, origin);
                covered |= TSubdocument;
            }
            if (!everyType && !shape.resourceTypes && !frames)
                partSkip = "type without an exact WebKit counterpart ($object, $webrtc, $other)";
            else if (f.include & main & ~covered)
                partSkip = "type without an exact WebKit counterpart dropped ($object, $webrtc, $other)";
        }
        if (types & TDocument) {
            if (f.exception) {
                // The page is allow-listed: nothing on it is blocked or hidden.
                if (!plan.ifDomain.empty() || !plan.unlessDomain.empty() || f.party)
                    partSkip = "$document exception limited by $domain or party";
                else {
                    ContentRule rule;
                    rule.trigger.urlFilter = ".*";
                    rule.trigger.caseSensitive = f.matchCase;
                    rule.trigger.ifTopUrl = pattern.urlFilters;
                    rule.action = action;
                    emit(Exceptions, std::move(rule), "network exception, $document");
                    ++emitted;
                }
            } else {
                Trigger pages = base;
                pages.resourceTypes = RtDocument;
                pages.loadContext = LoadContext::TopFrame;
                emitAll(documentSection, pages, "network block, $document");
            }
        }
        if (types & TPopup) {
            Trigger popups = base;
            popups.resourceTypes = RtPopup;
            emitAll(documentSection, popups, f.exception ? "network exception" : "network block, $popup");
        }
        if (emitted == 0)
            skip(partSkip);
        else if (!partSkip.empty())
            narrow(partSkip);
    }

    // ---- element hiding

    struct HideRule {
        std::string_view selector;
        std::vector<Domain> domains;
    };
    std::vector<HideRule> hides;

    void convertCosmetic(std::string_view line, size_t at, size_t len)
    {
        auto c = parseCosmetic(line, at, len, options.nativeHasSelector);
        if (c.kind == CosmeticKind::Skip)
            return skip(c.skip);
        auto domains = parseDomains(c.domains, ',');
        if (!domains)
            return skip("invalid domain in element hiding");
        if (c.kind == CosmeticKind::HideException) {
            ++stats.narrowed["#@# exceptions folded into element hiding"];
            return;
        }
        hides.push_back({c.selector, std::move(*domains)});
    }

    void emitHiding()
    {
        std::vector<std::string_view> generic;
        std::unordered_set<std::string_view> genericSeen;

        for (auto& h : hides) {
            if (hideExceptedEverywhere.contains(h.selector)) {
                skip("disabled by #@# exception");
                continue;
            }
            std::vector<Domain> exclusions;
            bool hasInclude = false;
            for (const auto& d : h.domains) {
                if (d.negated)
                    exclusions.push_back(d);
                else
                    hasInclude = true;
            }
            if (auto it = hideExceptions.find(h.selector); it != hideExceptions.end()) {
                for (auto d : it->second) {
                    d.negated = true;
                    exclusions.push_back(std::move(d));
                }
            }

            if (!hasInclude) {
                if (exclusions.empty()) {
                    if (genericSeen.insert(h.selector).second)
                        generic.push_back(h.selector);
                    else
                        skip("duplicate");
                    continue;
                }
                if (std::any_of(exclusions.begin(), exclusions.end(), [](const Domain& d) { return d.name.empty(); })) {
                    skip("element hiding excepted by a regex domain");
                    continue;
                }
                std::vector<std::string> unless = pagesOf(exclusions);
                unless.insert(unless.end(), genericHidingExcluded.begin(), genericHidingExcluded.end());
                std::sort(unless.begin(), unless.end());
                unless.erase(std::unique(unless.begin(), unless.end()), unless.end());
                ContentRule rule;
                rule.trigger.urlFilter = ".*";
                rule.trigger.unlessTopUrl = std::move(unless);
                rule.action = ActionType::CssDisplayNone;
                rule.selector = std::string(h.selector);
                emit(Hiding, std::move(rule), "element hiding, generic with exceptions");
                continue;
            }

            // Domain-specific: drop what an exclusion covers; a domain with an excluded
            // subdomain keeps only its own name, as if-domain cannot leave a subdomain out.
            auto excludes = [](const Domain& e, std::string_view d) {
                if (e.name.empty())
                    return true; // a regex domain may cover anything
                if (!e.entity)
                    return coveredBy(d, e.name);
                std::string label = e.name + ".";
                return d.starts_with(label) || d.find("." + label) != std::string_view::npos;
            };
            std::vector<std::string> ifDomain;
            bool droppedEntity = false, narrowedParent = false;
            for (const auto& d : h.domains) {
                if (d.negated)
                    continue;
                if (d.entity) {
                    droppedEntity = true;
                    continue;
                }
                bool covered = false, hasExcludedBelow = false;
                for (const auto& e : exclusions) {
                    if (excludes(e, d.name))
                        covered = true;
                    else if (!e.entity && isUnder(e.name, d.name))
                        hasExcludedBelow = true;
                }
                if (covered)
                    continue;
                if (hasExcludedBelow) {
                    narrowedParent = true;
                    ifDomain.push_back(d.name);
                } else {
                    ifDomain.push_back("*" + d.name);
                }
            }
            if (ifDomain.empty()) {
                skip(droppedEntity ? "only entity or regex domains (name.*)" : "disabled by #@# exception");
                continue;
            }
            if (droppedEntity)
                narrow("entity or regex domain (name.*) dropped from list");
            if (narrowedParent)
                narrow("element hiding kept on the parent domain only, a subdomain is excepted");
            ContentRule rule;
            rule.trigger.urlFilter = ".*";
            rule.trigger.ifDomain = std::move(ifDomain);
            rule.action = ActionType::CssDisplayNone;
            rule.selector = std::string(h.selector);
            emit(Hiding, std::move(rule), "element hiding, domain-specific");
        }

        // Generic selectors, batched; a selector list is one CSS rule to WebKit.
        const size_t batch = std::max<size_t>(1, options.genericSelectorsPerRule);
        for (size_t i = 0; i < generic.size(); i += batch) {
            ContentRule rule;
            rule.trigger.urlFilter = ".*";
            rule.trigger.unlessTopUrl = genericHidingExcluded;
            rule.action = ActionType::CssDisplayNone;
            for (size_t j = i; j < std::min(generic.size(), i + batch); ++j) {
                if (j > i)
                    rule.selector += ", ";
                rule.selector += generic[j];
            }
            emit(Hiding, std::move(rule), "element hiding, generic (batched)");
        }
    }

    std::vector<ContentRule> assemble()
    {
        // Undo every block above for top-level pages and popups: ABP filters without
        // $document/$popup never apply to those, while a WebKit rule without resource-type does.
        ContentRule pages;
        pages.trigger.urlFilter = ".*";
        pages.trigger.resourceTypes = RtDocument;
        pages.trigger.loadContext = LoadContext::TopFrame;
        pages.action = ActionType::IgnorePreviousRules;
        ContentRule popups = pages;
        popups.trigger.resourceTypes = RtPopup;
        popups.trigger.loadContext = LoadContext::Any;

        size_t total = 2;
        for (const auto& s : sections)
            total += s.size();
        auto count = [&](Section s) {
            for (const char* origin : sectionOrigins[s])
                ++stats.writtenByOrigin[origin];
        };
        count(Blocks);
        // The blocks are most of the list; extend their vector rather than move them.
        std::vector<ContentRule> out = std::move(sections[Blocks]);
        out.reserve(total);
        auto append = [&](Section s) {
            count(s);
            std::move(sections[s].begin(), sections[s].end(), std::back_inserter(out));
        };
        out.push_back(std::move(pages));
        out.push_back(std::move(popups));
        stats.writtenByOrigin["release of top-level pages and popups"] += 2;
        append(DocumentBlocks);
        append(Hiding);
        append(Exceptions);
        append(Important);
        for (const auto& r : out)
            ++stats.writtenByKind[actionName(r.action)];
        stats.rulesWritten = out.size();
        return out;
    }
};

FilterConverter::FilterConverter(ConversionOptions options)
    : options_(options)
{
}

void FilterConverter::addList(std::string text)
{
    texts_.push_back(std::move(text));
    std::string_view all = texts_.back();
    // One entry per open "!#if": whether lines are taken.
    std::vector<bool> active;
    auto taking = [&] { return std::all_of(active.begin(), active.end(), [](bool b) { return b; }); };
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos)
            end = all.size();
        std::string_view line = trim(all.substr(start, end - start));
        start = end + 1;
        if (line.starts_with("!#if ")) {
            active.push_back(evaluateCondition(line.substr(5)));
            continue;
        }
        if (line.starts_with("!#else")) {
            if (!active.empty())
                active.back() = !active.back();
            continue;
        }
        if (line.starts_with("!#endif")) {
            if (!active.empty())
                active.pop_back();
            continue;
        }
        if (line.empty() || line.starts_with('!') || line.starts_with('['))
            continue;
        ++stats_.filtersRead;
        if (!taking()) {
            ++stats_.skipped["inside an inactive !#if block"];
            continue;
        }
        lines_.push_back(line);
    }
}

std::vector<ContentRule> FilterConverter::convert()
{
    Impl impl(options_, stats_);
    impl.gather(lines_, options_.nativeHasSelector);
    impl.sections[Impl::Blocks].reserve(lines_.size());
    // The lists overlap a little; a repeated filter adds nothing.
    LineSet seen(lines_.size());
    for (auto line : lines_) {
        if (!seen.insert(line)) {
            impl.skip("duplicate");
            continue;
        }
        size_t len = 0;
        size_t at = cosmeticSeparator(line, len);
        if (at != std::string_view::npos) {
            impl.convertCosmetic(line, at, len);
        } else if (line.find("$$") != std::string_view::npos || line.find("$@$") != std::string_view::npos) {
            impl.skip("HTML filtering");
        } else {
            impl.convertNetwork(line);
        }
    }
    impl.emitHiding();
    return impl.assemble();
}

std::string formatSummary(const ConversionStats& stats)
{
    auto byCount = [](const std::map<std::string, size_t>& m) {
        std::vector<std::pair<std::string, size_t>> v(m.begin(), m.end());
        std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        return v;
    };
    auto total = [](const std::map<std::string, size_t>& m) {
        size_t n = 0;
        for (const auto& [k, v] : m)
            n += v;
        return n;
    };
    std::string out;
    char buf[512];
    auto line = [&](const char* fmt, const std::string& key, size_t n) {
        std::snprintf(buf, sizeof buf, fmt, n, key.c_str());
        out += buf;
    };
    line("%8zu filters read%s\n", "", stats.filtersRead);
    line("%8zu rules written%s\n", "", stats.rulesWritten);
    for (const auto& [k, v] : byCount(stats.writtenByKind))
        line("  %8zu %s\n", k, v);
    out += "  by origin:\n";
    for (const auto& [k, v] : byCount(stats.writtenByOrigin))
        line("  %8zu %s\n", k, v);
    line("%8zu filters skipped%s\n", "", total(stats.skipped));
    for (const auto& [k, v] : byCount(stats.skipped))
        line("  %8zu %s\n", k, v);
    line("%8zu filters folded into other rules or kept with less reach%s\n", "", total(stats.narrowed));
    for (const auto& [k, v] : byCount(stats.narrowed))
        line("  %8zu %s\n", k, v);
    return out;
}

} // namespace quilblock
