#include "ContentRule.h"

namespace quilblock {

const char* actionName(ActionType type)
{
    switch (type) {
    case ActionType::Block:
        return "block";
    case ActionType::IgnorePreviousRules:
        return "ignore-previous-rules";
    case ActionType::CssDisplayNone:
        return "css-display-none";
    }
    return "block";
}

const char* resourceTypeName(int bitIndex)
{
    static constexpr const char* names[kResourceTypeCount] = {
        "document",
        "image",
        "style-sheet",
        "script",
        "font",
        "media",
        "fetch",
        "websocket",
        "ping",
        "other",
        "csp-report",
        "svg-document",
        "popup",
    };
    return bitIndex >= 0 && bitIndex < kResourceTypeCount ? names[bitIndex] : "";
}

void appendJsonString(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

static void appendArray(std::string& out, const char* key, const std::vector<std::string>& values)
{
    if (values.empty())
        return;
    out += ",\"";
    out += key;
    out += "\":[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        appendJsonString(out, values[i]);
    }
    out += ']';
}

void appendJson(std::string& out, const ContentRule& rule)
{
    const Trigger& t = rule.trigger;
    out += "{\"trigger\":{\"url-filter\":";
    appendJsonString(out, t.urlFilter);
    if (t.caseSensitive)
        out += ",\"url-filter-is-case-sensitive\":true";
    if (t.resourceTypes) {
        out += ",\"resource-type\":[";
        bool first = true;
        for (int i = 0; i < kResourceTypeCount; ++i) {
            if (!(t.resourceTypes & (1u << i)))
                continue;
            out += first ? "\"" : ",\"";
            out += resourceTypeName(i);
            out += '"';
            first = false;
        }
        out += ']';
    }
    if (t.loadType != LoadType::Any)
        out += t.loadType == LoadType::FirstParty ? ",\"load-type\":[\"first-party\"]"
                                                  : ",\"load-type\":[\"third-party\"]";
    if (t.loadContext != LoadContext::Any)
        out += t.loadContext == LoadContext::TopFrame ? ",\"load-context\":[\"top-frame\"]"
                                                      : ",\"load-context\":[\"child-frame\"]";
    appendArray(out, "if-domain", t.ifDomain);
    appendArray(out, "unless-domain", t.unlessDomain);
    appendArray(out, "if-top-url", t.ifTopUrl);
    appendArray(out, "unless-top-url", t.unlessTopUrl);
    out += "},\"action\":{\"type\":\"";
    out += actionName(rule.action);
    out += '"';
    if (rule.action == ActionType::CssDisplayNone) {
        out += ",\"selector\":";
        appendJsonString(out, rule.selector);
    }
    out += "}}";
}

std::string toJson(const std::vector<ContentRule>& rules)
{
    std::string out;
    out.reserve(rules.size() * 160 + 16);
    out += "[\n";
    for (size_t i = 0; i < rules.size(); ++i) {
        appendJson(out, rules[i]);
        out += i + 1 < rules.size() ? ",\n" : "\n";
    }
    out += "]\n";
    return out;
}

} // namespace quilblock
