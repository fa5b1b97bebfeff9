#include "FilterSyntax.h"

#include "Punycode.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quilblock {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

namespace {

class ConditionParser {
public:
    explicit ConditionParser(std::string_view s)
        : s_(s)
    {
    }
    bool parse() { return orExpr(); }

private:
    void skipSpace()
    {
        while (i_ < s_.size() && s_[i_] == ' ')
            ++i_;
    }
    bool orExpr()
    {
        bool v = andExpr();
        for (skipSpace(); s_.substr(i_).starts_with("||"); skipSpace()) {
            i_ += 2;
            v = andExpr() || v;
        }
        return v;
    }
    bool andExpr()
    {
        bool v = unary();
        for (skipSpace(); s_.substr(i_).starts_with("&&"); skipSpace()) {
            i_ += 2;
            v = unary() && v;
        }
        return v;
    }
    bool unary()
    {
        skipSpace();
        if (i_ >= s_.size())
            return false;
        if (s_[i_] == '!') {
            ++i_;
            return !unary();
        }
        if (s_[i_] == '(') {
            ++i_;
            bool v = orExpr();
            skipSpace();
            if (i_ < s_.size() && s_[i_] == ')')
                ++i_;
            return v;
        }
        while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_'))
            ++i_;
        return false;
    }

    std::string_view s_;
    size_t i_ = 0;
};

struct TypeOption {
    std::string_view name;
    uint32_t bits;
};
constexpr std::array<TypeOption, 20> kTypeOptions {{
    {"script", TScript},
    {"image", TImage},
    {"stylesheet", TStylesheet},
    {"css", TStylesheet},
    {"object", TObject},
    {"object-subrequest", TObject},
    {"xmlhttprequest", TXhr},
    {"xhr", TXhr},
    {"subdocument", TSubdocument},
    {"frame", TSubdocument},
    {"ping", TPing},
    {"beacon", TPing},
    {"websocket", TWebsocket},
    {"webrtc", TWebrtc},
    {"media", TMedia},
    {"font", TFont},
    {"other", TOther},
    {"document", TDocument},
    {"doc", TDocument},
    {"popup", TPopup},
}};

// Options whose effect a content blocker cannot reproduce. Of the page-level exceptions,
// $genericblock would need an unless condition on every generic block (most of the list) and
// $specifichide/$elemhide would have to carve sites out of if-domain lists that can only name
// whole subtrees; $generichide is kept (see FilterConverter).
constexpr std::array<std::string_view, 40> kUnsupportedOptions {{
    "csp",
    "redirect",
    "redirect-rule",
    "rewrite",
    "removeparam",
    "queryprune",
    "sitekey",
    "header",
    "method",
    "to",
    "denyallow",
    "permissions",
    "replace",
    "urlskip",
    "uritransform",
    "urltransform",
    "empty",
    "mp4",
    "cname",
    "inline-script",
    "inline-font",
    "strict1p",
    "strict3p",
    "strict-first-party",
    "strict-third-party",
    "ipaddress",
    "popunder",
    "all",
    "reason",
    "jsonprune",
    "xmlprune",
    "hls",
    "network",
    "app",
    "extension",
    "content",
    "stealth",
    "cookie",
    "genericblock",
    "specifichide",
}};

bool isOptionNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

bool looksLikeOptions(std::string_view o)
{
    size_t j = !o.empty() && o[0] == '~' ? 1 : 0;
    size_t start = j;
    while (j < o.size() && isOptionNameChar(o[j]))
        ++j;
    return j > start && (j == o.size() || o[j] == ',' || o[j] == '=');
}

} // namespace

bool evaluateCondition(std::string_view expression)
{
    return ConditionParser(expression).parse();
}

// ---------------------------------------------------------------------------------------------
// Domains

bool isUnder(std::string_view sub, std::string_view parent)
{
    return sub.size() > parent.size() && sub.ends_with(parent) && sub[sub.size() - parent.size() - 1] == '.';
}

bool coveredBy(std::string_view d, std::string_view by)
{
    return d == by || isUnder(d, by);
}

std::optional<std::vector<Domain>> parseDomains(std::string_view list, char separator)
{
    std::vector<Domain> out;
    for (size_t start = 0; start <= list.size();) {
        const size_t end = std::min(list.find(separator, start), list.size());
        std::string_view item = trim(list.substr(start, end - start));
        start = end + 1;
        if (item.empty())
            continue;
        Domain d;
        if (item.front() == '~') {
            d.negated = true;
            item.remove_prefix(1);
        }
        if (item.size() >= 2 && item.front() == '/' && item.back() == '/') {
            d.entity = true;
        } else if (item.size() > 2 && item.front() == '[' && item.back() == ']') {
            // IPv6 literal; WebKit compares it as written.
            for (char c : item)
                d.name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (d.name.find_first_not_of("[]0123456789abcdef:.") != std::string::npos)
                return std::nullopt;
        } else {
            if (item.ends_with(".*")) {
                d.entity = true;
                item.remove_suffix(2);
            }
            if (item == "*")
                continue; // everywhere: no restriction
            auto ascii = hostToAscii(item);
            if (!ascii || ascii->empty() || ascii->front() == '.' || ascii->back() == '.'
                || ascii->find("..") != std::string::npos)
                return std::nullopt;
            d.name = std::move(*ascii);
        }
        out.push_back(std::move(d));
    }
    return out;
}
// ---------------------------------------------------------------------------------------------
// Network filters

NetworkFilter parseNetwork(std::string_view line)
{
    NetworkFilter f;
    std::string_view s = line;
    if (s.starts_with("@@")) {
        f.exception = true;
        s.remove_prefix(2);
    }
    std::string_view options;
    size_t dollar = s.rfind('$');
    if (dollar != std::string_view::npos && looksLikeOptions(s.substr(dollar + 1))) {
        options = s.substr(dollar + 1);
        s = s.substr(0, dollar);
    }
    f.pattern = s;
    f.regex = s.size() >= 2 && s.front() == '/' && s.back() == '/';

    size_t start = 0;
    while (start < options.size()) {
        size_t end = options.find(',', start);
        if (end == std::string_view::npos)
            end = options.size();
        std::string_view opt = options.substr(start, end - start);
        start = end + 1;
        bool neg = opt.starts_with('~');
        if (neg)
            opt.remove_prefix(1);
        std::string_view name = opt, value;
        bool hasValue = false;
        if (size_t eq = opt.find('='); eq != std::string_view::npos) {
            name = opt.substr(0, eq);
            value = opt.substr(eq + 1);
            hasValue = true;
        }
        auto reject = [&](std::string reason) {
            if (f.skip.empty())
                f.skip = std::move(reason);
        };
        if (std::find(kUnsupportedOptions.begin(), kUnsupportedOptions.end(), name) != kUnsupportedOptions.end()) {
            reject("unsupported option $" + std::string(name));
            continue;
        }
        auto type =
            std::find_if(kTypeOptions.begin(), kTypeOptions.end(), [&](const TypeOption& t) { return t.name == name; });
        if (type != kTypeOptions.end() && !hasValue) {
            (neg ? f.exclude : f.include) |= type->bits;
        } else if ((name == "third-party" || name == "3p") && !hasValue) {
            f.party = neg ? 1 : 3;
        } else if ((name == "first-party" || name == "1p") && !hasValue) {
            f.party = neg ? 3 : 1;
        } else if ((name == "domain" || name == "from") && hasValue && !neg) {
            auto domains = parseDomains(value, '|');
            if (!domains)
                reject("invalid domain in $domain");
            else
                f.domains = std::move(*domains);
            f.hasDomains = true;
        } else if (name == "match-case" && !hasValue) {
            f.matchCase = !neg;
        } else if (name == "important" && !hasValue && !neg) {
            f.important = true;
        } else if (name == "badfilter" && !hasValue && !neg) {
            f.badfilter = true;
        } else if ((name == "generichide" || name == "ghide") && !hasValue && !neg) {
            f.generichide = true;
        } else if ((name == "elemhide" || name == "ehide" || name == "shide") && !hasValue) {
            reject("unsupported option $" + std::string(name));
        } else {
            reject("unknown option $" + std::string(name));
        }
    }
    return f;
}

std::string withoutBadfilter(std::string_view line)
{
    size_t dollar = line.rfind('$');
    std::string head(line.substr(0, dollar));
    std::string_view options = line.substr(dollar + 1);
    std::string kept;
    size_t start = 0;
    while (start <= options.size()) {
        size_t end = options.find(',', start);
        if (end == std::string_view::npos)
            end = options.size();
        std::string_view opt = options.substr(start, end - start);
        if (opt != "badfilter") {
            if (!kept.empty())
                kept += ',';
            kept += opt;
        }
        start = end + 1;
    }
    return kept.empty() ? head : head + "$" + kept;
}
// ---------------------------------------------------------------------------------------------
// Element hiding

// Pseudo-classes only content scripts implement; WebKit drops a rule whose selector holds one.
// :has() is native to WebKit, but left out unless ConversionOptions::nativeHasSelector.
constexpr std::array<std::string_view, 27> kProceduralMarkers {{
    ":-abp-",
    ":has-text(",
    ":xpath(",
    ":upward(",
    ":remove(",
    ":remove-attr(",
    ":remove-class(",
    ":style(",
    ":matches-css",
    ":min-text-length(",
    ":watch-attr(",
    ":watch-attrs(",
    ":nth-ancestor(",
    ":matches-path(",
    ":matches-attr(",
    ":matches-prop(",
    ":matches-media(",
    ":contains(",
    ":if(",
    ":if-not(",
    ":others(",
    ":shadow(",
    ":spath(",
    ":properties(",
    ":matches-property(",
    ":is-visible(",
    ":has(",
}};

size_t cosmeticSeparator(std::string_view line, size_t& length)
{
    size_t hash = line.find('#');
    while (hash != std::string_view::npos) {
        std::string_view prefix = line.substr(0, hash);
        if (prefix.find_first_of("/|$^@\"!") != std::string_view::npos)
            return std::string_view::npos;
        std::string_view rest = line.substr(hash);
        static constexpr std::array<std::string_view, 10> separators {{
            "##",
            "#@#",
            "#?#",
            "#@?#",
            "#$#",
            "#@$#",
            "#$?#",
            "#@$?#",
            "#%#",
            "#@%#",
        }};
        for (auto sep : separators) {
            if (rest.starts_with(sep)) {
                length = sep.size();
                return hash;
            }
        }
        hash = line.find('#', hash + 1);
    }
    return std::string_view::npos;
}

CosmeticFilter parseCosmetic(std::string_view line, size_t at, size_t length, bool nativeHas)
{
    CosmeticFilter c;
    c.domains = line.substr(0, at);
    std::string_view sep = line.substr(at, length);
    std::string_view body = trim(line.substr(at + length));
    if (sep == "#?#" || sep == "#@?#") {
        c.skip = "procedural element hiding";
    } else if (sep == "#$#" || sep == "#@$#" || sep == "#$?#" || sep == "#@$?#") {
        c.skip = "CSS injection";
    } else if (sep == "#%#" || sep == "#@%#") {
        c.skip = "scriptlet";
    } else if (body.starts_with("+js(")) {
        c.skip = "scriptlet";
    } else if (body.starts_with("^")) {
        c.skip = "HTML filtering";
    } else if (body.empty() || body.find_first_of("{}") != std::string_view::npos) {
        c.skip = "CSS injection";
    } else {
        for (auto marker : kProceduralMarkers) {
            if (marker == ":has(" && nativeHas)
                continue;
            if (body.find(marker) != std::string_view::npos) {
                c.skip = marker == ":style(" || marker == ":remove(" ? "CSS injection" : "procedural element hiding";
                break;
            }
        }
    }
    if (c.skip.empty()) {
        c.kind = sep == "#@#" ? CosmeticKind::HideException : CosmeticKind::Hide;
        c.selector = body;
    }
    return c;
}

} // namespace quilblock
