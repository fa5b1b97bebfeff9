// Turns a byte stream into UTF-8 text chunk by chunk. A chunk may end inside a
// multi-byte character; that tail waits for the next chunk instead of spoiling the
// chunk it ends. Bytes that can never be part of valid UTF-8 are dropped.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

class Utf8StreamDecoder {
public:
    // The valid text that `bytes` completes.
    std::string feed(std::string_view bytes);
    // Bytes held back, waiting for the rest of their character.
    const std::string& pending() const { return pending_; }

private:
    std::string pending_;
};

} // namespace quillmere
