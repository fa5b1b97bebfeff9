// Where a download goes on disk: a name made safe from whatever the server suggested,
// numbered so that nothing already there is overwritten, and reserved at once so that
// two downloads of the same name at the same time never end up in one file.
#pragma once

#include <optional>
#include <string>

namespace quillmere {

constexpr std::size_t kMaxFileNameBytes = 255;

// `suggested` as a plain file name: no path separators, no control characters, no
// leading dots or spaces, no invalid UTF-8, at most 255 bytes (cut at a character
// boundary, keeping the extension where it fits); "download" when nothing is left.
std::string safeFileName(const std::string& suggested);

// "report.pdf" numbered n: "report (n).pdf"; n = 0 is the name itself. A name that
// would grow past 255 bytes gives up bytes of its stem, never of the number.
std::string numberedFileName(const std::string& name, int number);

// Creates an empty file in `directory` (made when missing) under the first numbered
// form of `name` that does not exist yet, and answers its path; nothing when the
// directory cannot be written.
std::optional<std::string> reserveDownloadPath(const std::string& directory, const std::string& name);

// Whether a file of this name and content type would run rather than open: programs,
// scripts and desktop entries are only ever shown in their folder.
bool runsWhenOpened(const std::string& name, const std::string& contentType);

} // namespace quillmere
