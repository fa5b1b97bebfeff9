// Random identifiers (tabs, staging directories).
#pragma once

#include "platform/GObjectPtr.h"

#include <glib.h>

#include <string>

namespace quillmere {

// A random version-4 UUID in lower-case text form.
inline std::string newUUID()
{
    GCharPtr uuid(g_uuid_string_random());
    return uuid.get();
}

} // namespace quillmere
