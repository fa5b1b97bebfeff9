// Where the program is installed. The "bundle" is the install directory: the directory
// two levels above the running executable (<bundle>/bin/quillmere); resources live in
// <bundle>/share/quillmere/. A build-tree run finds the build directory as its bundle.
#pragma once

#include <string>

namespace quillmere {

// The application id: the D-Bus name, the desktop entry's name and the log domain.
inline constexpr const char* kApplicationId = "com.brenhollow.quillmere";

std::string bundleDirectory();
std::string bundleResourcesDirectory();
// Where the web process extension is: <bundle>/lib/quillmere/web-process-extensions. The
// build puts it there in the build tree too.
std::string webProcessExtensionsDirectory();

// Points the bundle elsewhere: for tests, which run from the build tree but must not
// pick up the build's full rules document, and for a relaunched copy.
void setBundleDirectory(const std::string& directory);

} // namespace quillmere
