// The outcome of one update check, and the build number it is measured against.
#pragma once

#include <string>
#include <variant>

namespace quillmere {

// This program's own build number; the update host's version document is compared
// with it.
inline constexpr int currentBuild = 2;

struct UpdateStatus {
    struct UpdateAvailable {
        std::string version;
        std::string notes;
    };
    struct Error {
        std::string message;
    };
    struct UpToDate { };

    std::variant<UpdateAvailable, Error, UpToDate> value;
};

} // namespace quillmere
