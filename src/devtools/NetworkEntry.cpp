#include "devtools/NetworkEntry.h"

#include "platform/JsonText.h"

#include <glib.h>

namespace quillmere {

std::string NetworkEntry::detailText() const
{
    return "URL: " + url + "\nMethod: " + method + "\nHeaders: " + headers + "\nBody: " + body + "\nStatus: " + status
        + "\nResponse: " + responsePreview;
}

std::string resendStatement(const NetworkEntry& entry)
{
    std::string upper = entry.method;
    for (char& c : upper)
        c = g_ascii_toupper(c);
    const bool withBody = upper != "GET" && !entry.body.empty();

    std::string statement = "fetch(" + jsonStringLiteral(entry.url) + ", { method: " + jsonStringLiteral(entry.method);
    if (withBody)
        statement += ", body: " + jsonStringLiteral(entry.body);
    statement += " })";
    return statement;
}

void NetworkLog::insert(NetworkEntry entry)
{
    newest_[entry.id] = entries_.size();
    entries_.push_back(std::make_shared<NetworkEntry>(std::move(entry)));
}

std::optional<size_t> NetworkLog::find(const std::string& id) const
{
    const auto found = newest_.find(id);
    if (found == newest_.end())
        return std::nullopt;
    return entries_.size() - 1 - found->second;
}

void NetworkLog::clear()
{
    entries_.clear();
    newest_.clear();
}

} // namespace quillmere
