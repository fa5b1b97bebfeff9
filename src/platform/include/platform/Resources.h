// Texts compiled into the binary as GResources: the stylesheet and internal pages. (The
// page scripts are compiled into the web process extension.)
#pragma once

#include <string>

namespace quillmere {

inline constexpr const char* kResourcePrefix = "/com/brenhollow/quillmere/";

// Makes the built-in resources visible to GLib and GTK; safe to call again.
void registerResources();

// The resource at kResourcePrefix + `name`; aborts when it is missing, since that is
// a build fault, not something a user can cause.
std::string resourceText(const std::string& name);

} // namespace quillmere
