#include "UrlPattern.h"

#include "Punycode.h"

#include <optional>

namespace quilblock {

namespace {

constexpr size_t kMaxAlternatives = 32;
constexpr unsigned kMaxRepeat = 32;

bool isRegexMeta(char c)
{
    switch (c) {
    case '\\':
    case '.':
    case '*':
    case '+':
    case '?':
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
    case '|':
    case '^':
    case '$':
        return true;
    default:
        return false;
    }
}

bool isAsciiPunct(char c)
{
    return (c >= 0x21 && c <= 0x2f) || (c >= 0x3a && c <= 0x40) || (c >= 0x5b && c <= 0x60) || (c >= 0x7b && c <= 0x7e);
}

bool isHostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
        || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

void appendLiteral(std::string& out, char c)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
        // Addresses reach WebKit percent-encoded, upper-case hex.
        out += '%';
        out += hex[u >> 4];
        out += hex[u & 0xf];
    } else {
        if (isRegexMeta(c))
            out += '\\';
        out += c;
    }
}

bool endsWith(const std::string& s, std::string_view tail)
{
    return s.size() >= tail.size() && std::string_view(s).substr(s.size() - tail.size()) == tail;
}

// Leading and trailing ".*" add nothing to an unanchored search and cost compile time.
std::string trimWildcards(std::string re)
{
    while (re.size() > 2 && re.starts_with(".*"))
        re.erase(0, 2);
    if (re.size() > 3 && re.starts_with("^.*"))
        re.erase(0, 3);
    if (endsWith(re, ".*$"))
        re.erase(re.size() - 3);
    while (re.size() > 2 && endsWith(re, ".*") && !endsWith(re, "\\.*"))
        re.erase(re.size() - 2);
    return re.empty() ? std::string(".*") : re;
}

PatternTranslation fail(std::string reason)
{
    PatternTranslation t;
    t.skipReason = std::move(reason);
    return t;
}

} // namespace

PatternTranslation translateAbpPattern(std::string_view p)
{
    bool hostAnchor = false, startAnchor = false, endAnchor = false;
    if (p.starts_with("||")) {
        hostAnchor = true;
        p.remove_prefix(2);
    } else if (p.starts_with("|")) {
        startAnchor = true;
        p.remove_prefix(1);
    }
    if (!p.empty() && p.back() == '|') {
        endAnchor = true;
        p.remove_suffix(1);
    }
    for (char c : p) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return fail("whitespace in pattern");
    }

    std::string re;
    re.reserve(p.size() + 48);
    size_t i = 0;
    size_t hostEnd = std::string_view::npos;
    if (hostAnchor) {
        re += kHostAnchor;
        size_t end = 0;
        bool ascii = true;
        while (end < p.size() && isHostChar(p[end])) {
            if (static_cast<unsigned char>(p[end]) >= 0x80)
                ascii = false;
            ++end;
        }
        std::string_view host = p.substr(0, end);
        if (!ascii) {
            // Only whole labels can be punycoded.
            bool complete = end < p.size() ? (p[end] == '^' || p[end] == '/' || p[end] == ':') : endAnchor;
            auto converted = complete ? hostToAscii(host) : std::nullopt;
            if (!converted)
                return fail("non-ASCII host in pattern");
            for (char c : *converted)
                appendLiteral(re, c);
        } else {
            for (char c : host)
                appendLiteral(re, c);
        }
        i = end;
        if (end > 0)
            hostEnd = end;
    } else if (startAnchor) {
        re += '^';
    }

    std::vector<std::string> alternatives;
    for (; i < p.size(); ++i) {
        char c = p[i];
        if (c == '*') {
            if (!endsWith(re, ".*") || endsWith(re, "\\.*"))
                re += ".*";
        } else if (c == '^') {
            size_t rest = p.find_first_not_of('*', i + 1);
            bool trailing = rest == std::string_view::npos;
            if (!trailing || i == hostEnd) {
                // A separator right after the host is never the end of an http(s) address:
                // WebKit always has at least "/" there.
                re += kSeparatorClass;
                continue;
            }
            // "^" at the end also matches the end of the address. The subset has no
            // alternation, so this becomes two filters; dropping the "^" would match more.
            bool starsAfter = i + 1 < p.size();
            alternatives.push_back(re + std::string(kSeparatorClass) + (endAnchor && !starsAfter ? "$" : ""));
            alternatives.push_back(re + "$");
            break;
        } else {
            appendLiteral(re, c);
        }
    }
    if (alternatives.empty()) {
        if (endAnchor)
            re += '$';
        alternatives.push_back(std::move(re));
    }

    PatternTranslation out;
    for (auto& alt : alternatives) {
        std::string filter = trimWildcards(std::move(alt));
        if (!isWebKitUrlFilter(filter))
            return fail("pattern not expressible");
        out.urlFilters.push_back(std::move(filter));
    }
    return out;
}

std::string siteUrlFilter(std::string_view asciiHost, bool withSubdomains)
{
    std::string re = withSubdomains ? std::string(kHostAnchor) : std::string(kAnyScheme);
    for (char c : asciiHost)
        appendLiteral(re, c);
    re += kSeparatorClass;
    return re;
}

namespace {

// Expands a JavaScript regular expression into alternatives in WebKit's subset.
class RegexExpander {
public:
    explicit RegexExpander(std::string_view source)
        : s_(source)
    {
    }

    PatternTranslation run()
    {
        auto alts = alternation();
        if (!alts)
            return fail(error_);
        if (i_ != s_.size())
            return fail("regex: unbalanced parenthesis");
        PatternTranslation out;
        for (auto& alt : *alts) {
            std::string filter = trimWildcards(std::move(alt));
            if (!isWebKitUrlFilter(filter))
                return fail("regex: anchor or construct outside WebKit's subset");
            out.urlFilters.push_back(std::move(filter));
        }
        return out;
    }

private:
    using Alts = std::vector<std::string>;

    std::optional<Alts> error(std::string reason)
    {
        if (error_.empty())
            error_ = std::move(reason);
        return std::nullopt;
    }

    bool more() const { return i_ < s_.size(); }
    char peek() const { return s_[i_]; }

    std::optional<Alts> alternation()
    {
        auto first = sequence();
        if (!first)
            return std::nullopt;
        Alts all = std::move(*first);
        while (more() && peek() == '|') {
            ++i_;
            auto next = sequence();
            if (!next)
                return std::nullopt;
            all.insert(all.end(), next->begin(), next->end());
            if (all.size() > kMaxAlternatives)
                return error("regex: too many alternatives");
        }
        return all;
    }

    // An atom is either one unit that can carry a quantifier as-is, or a group with
    // several alternatives that has to be multiplied out.
    struct Atom {
        Alts alternatives; // what the atom matches, inlined
        std::string unit; // quantifiable text when there is a single alternative
        bool anchor = false;
    };

    std::optional<Alts> sequence()
    {
        Alts result {std::string()};
        while (more() && peek() != '|' && peek() != ')') {
            auto atom = parseAtom();
            if (!atom)
                return std::nullopt;
            auto quantified = applyQuantifier(*atom);
            if (!quantified)
                return std::nullopt;
            Alts next;
            if (result.size() * quantified->size() > kMaxAlternatives)
                return error("regex: too many alternatives");
            for (auto& r : result) {
                for (auto& q : *quantified)
                    next.push_back(r + q);
            }
            result = std::move(next);
        }
        return result;
    }

    std::optional<Atom> parseAtom()
    {
        char c = peek();
        Atom atom;
        if (c == '(') {
            ++i_;
            if (more() && peek() == '?') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == ':')
                    i_ += 2;
                else
                    return atomError("regex: lookaround or named group");
            }
            auto inner = alternation();
            if (!inner)
                return std::nullopt;
            if (!more() || peek() != ')')
                return atomError("regex: unbalanced parenthesis");
            ++i_;
            atom.alternatives = std::move(*inner);
            if (atom.alternatives.size() == 1)
                atom.unit = atom.alternatives[0].empty() ? std::string() : "(" + atom.alternatives[0] + ")";
            return atom;
        }
        if (c == '[')
            return parseClass();
        if (c == '\\')
            return parseEscape();
        ++i_;
        switch (c) {
        case '^':
        case '$':
            atom.anchor = true;
            atom.unit = std::string(1, c);
            break;
        case '.':
            atom.unit = ".";
            break;
        case '*':
        case '+':
        case '?':
        case '{':
            return atomError("regex: quantifier without operand");
        default:
            if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20)
                return atomError("regex: non-ASCII or control character");
            appendLiteral(atom.unit, c);
        }
        atom.alternatives = {atom.unit};
        return atom;
    }

    std::optional<Atom> atomError(std::string reason)
    {
        error(std::move(reason));
        return std::nullopt;
    }

    std::optional<Atom> parseEscape()
    {
        if (i_ + 1 >= s_.size())
            return atomError("regex: trailing backslash");
        char e = s_[i_ + 1];
        i_ += 2;
        Atom atom;
        switch (e) {
        case 'd':
            atom.unit = "[0-9]";
            break;
        case 'D':
            atom.unit = "[^0-9]";
            break;
        case 'w':
            atom.unit = "[A-Za-z0-9_]";
            break;
        case 'W':
            atom.unit = "[^A-Za-z0-9_]";
            break;
        default:
            if (!isAsciiPunct(e))
                return atomError(std::string("regex: escape \\") + e);
            appendLiteral(atom.unit, e);
        }
        atom.alternatives = {atom.unit};
        return atom;
    }

    std::optional<Atom> parseClass()
    {
        ++i_; // '['
        std::string body = "[";
        if (more() && peek() == '^') {
            body += '^';
            ++i_;
        }
        bool empty = true;
        while (more() && (peek() != ']' || empty)) {
            char c = peek();
            if (c == ']') {
                // A "]" right after "[" is a literal in JavaScript.
                body += "\\]";
            } else if (c == '\\') {
                if (i_ + 1 >= s_.size())
                    return atomError("regex: trailing backslash");
                char e = s_[i_ + 1];
                ++i_;
                if (e == 'd')
                    body += "0-9";
                else if (e == 'w')
                    body += "A-Za-z0-9_";
                else if (isAsciiPunct(e))
                    body += std::string("\\") + e;
                else
                    return atomError(std::string("regex: escape \\") + e + " in class");
            } else if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20) {
                return atomError("regex: non-ASCII or control character");
            } else if (c == '[') {
                body += "\\[";
            } else {
                body += c;
            }
            empty = false;
            ++i_;
        }
        if (!more())
            return atomError("regex: unterminated class");
        ++i_;
        body += ']';
        Atom atom;
        atom.unit = body;
        atom.alternatives = {body};
        return atom;
    }

    // A bound of kUnbounded stands for "{n,}".
    static constexpr unsigned kUnbounded = ~0u;

    bool parseCount(unsigned& min, unsigned& max)
    {
        // At "{": digits [, [digits]] }
        size_t j = i_ + 1;
        auto number = [&](unsigned& value) {
            size_t start = j;
            value = 0;
            while (j < s_.size() && s_[j] >= '0' && s_[j] <= '9' && j - start < 6)
                value = value * 10 + (s_[j++] - '0');
            return j > start;
        };
        if (!number(min))
            return false;
        max = min;
        if (j < s_.size() && s_[j] == ',') {
            ++j;
            unsigned m;
            max = number(m) ? m : kUnbounded;
        }
        if (j >= s_.size() || s_[j] != '}')
            return false;
        i_ = j + 1;
        return true;
    }

    std::optional<Alts> applyQuantifier(const Atom& atom)
    {
        if (!more())
            return atom.alternatives;
        char q = peek();
        if (q != '?' && q != '*' && q != '+' && q != '{')
            return atom.alternatives;
        if (atom.anchor)
            return error("regex: quantified anchor");

        unsigned min = 0, max = kUnbounded;
        if (q == '{') {
            if (!parseCount(min, max))
                return error("regex: malformed repetition");
        } else {
            ++i_;
            min = q == '+' ? 1 : 0;
            if (q == '?')
                max = 1;
        }
        if (more() && peek() == '?')
            ++i_; // lazy and greedy match the same addresses
        if (max < min)
            return error("regex: malformed repetition");

        if (atom.alternatives.size() == 1 && atom.unit.empty())
            return Alts {std::string()};

        if (atom.alternatives.size() > 1) {
            // Several alternatives repeat exactly only a fixed, small number of times.
            if (max != min && !(min == 0 && max == 1))
                return error("regex: repeated alternation");
            Alts result {std::string()};
            if (min == 0 && max == 1) {
                result = atom.alternatives;
                result.push_back(std::string());
                return result;
            }
            for (unsigned k = 0; k < min; ++k) {
                Alts next;
                for (auto& r : result) {
                    for (auto& a : atom.alternatives)
                        next.push_back(r + a);
                }
                if (next.size() > kMaxAlternatives)
                    return error("regex: too many alternatives");
                result = std::move(next);
            }
            return result;
        }

        const std::string& unit = atom.unit;
        if (min > kMaxRepeat || (max != kUnbounded && max > kMaxRepeat))
            return error("regex: repetition count too large");
        std::string out;
        if (max == kUnbounded) {
            for (unsigned k = 1; k < min; ++k)
                out += unit;
            out += unit + (min == 0 ? "*" : "+");
        } else {
            for (unsigned k = 0; k < min; ++k)
                out += unit;
            for (unsigned k = min; k < max; ++k)
                out += unit + "?";
        }
        return Alts {out};
    }

    std::string_view s_;
    size_t i_ = 0;
    std::string error_;
};

} // namespace

PatternTranslation translateRegexFilter(std::string_view regex)
{
    if (regex.empty())
        return fail("regex: empty");
    return RegexExpander(regex).run();
}

bool isWebKitUrlFilter(std::string_view s)
{
    if (s.empty())
        return false;
    // One entry per open group: whether it holds anything yet.
    std::vector<bool> groups;
    bool canQuantify = false;
    auto produced = [&] {
        canQuantify = true;
        if (!groups.empty())
            groups.back() = true;
    };
    size_t i = s[0] == '^' ? 1 : 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c < 0x20 || c >= 0x7f)
            return false;
        switch (c) {
        case '\\':
            if (i + 1 >= s.size() || !isAsciiPunct(s[i + 1]))
                return false;
            ++i;
            produced();
            break;
        case '[': {
            ++i;
            if (i < s.size() && s[i] == '^')
                ++i;
            size_t members = 0;
            for (; i < s.size() && s[i] != ']'; ++i, ++members) {
                char d = s[i];
                if (d < 0x20 || d >= 0x7f || d == '[')
                    return false;
                if (d == '\\') {
                    if (i + 1 >= s.size() || !isAsciiPunct(s[i + 1]))
                        return false;
                    ++i;
                }
            }
            if (i >= s.size() || members == 0)
                return false;
            produced();
            break;
        }
        case '(':
            groups.push_back(false);
            canQuantify = false;
            break;
        case ')':
            if (groups.empty() || !groups.back())
                return false;
            groups.pop_back();
            produced();
            break;
        case '?':
        case '*':
        case '+':
            if (!canQuantify)
                return false;
            canQuantify = false;
            break;
        case '$':
            if (i + 1 != s.size() || !groups.empty())
                return false;
            canQuantify = false;
            break;
        case '^':
        case '|':
        case '{':
        case '}':
        case ']':
            return false;
        default:
            produced();
        }
    }
    return groups.empty();
}

} // namespace quilblock
