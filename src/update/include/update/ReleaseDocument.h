// The update host's version document and what ties it to a release: the SHA-256 digest
// of latest.zip and an Ed25519 signature by the release key over the text
//   "quillmere-update\n" build "\n" version "\n" sha256 "\n" notes
// The updater checks the signature before it believes anything the document says; the
// release tool (tools/quillmere-release) writes documents the same way.
#pragma once

#include "update/BuildSeams.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <sodium.h>

namespace quillmere::Updater {

struct VersionDocument {
    std::int64_t build;
    std::string version;
    std::string notes;
    std::string sha256; // as written: 64 hexadecimal digits in a good document
    std::string signature; // Base64 of the 64-byte signature
};

// Reads a version document: the build (an integer-valued number within 64 bits), the
// version (a string), the notes (a string, or empty), and "sha256" and "signature"
// (strings, empty when absent or not strings). None for a bad document.
std::optional<VersionDocument> parseVersionDocument(const std::string& body);

// The text the signature covers.
std::string signedText(const VersionDocument& document);

enum class SignatureCheck {
    Valid,
    Unsigned, // "sha256" or "signature" missing
    Invalid, // present, but not a good digest, or not the key's signature over the document
};
SignatureCheck checkSignature(const VersionDocument& document, const PublicKey& key);

// The document as JSON text, its signature made with `secretKey` (libsodium's 64-byte
// form). For the release tool and the tests.
std::string signDocument(VersionDocument document, std::span<const std::uint8_t, 64> secretKey);

// SHA-256, fed in pieces.
class Sha256 {
public:
    Sha256();
    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view bytes);
    // Lower-case hexadecimal; ends the digest.
    std::string hex();

private:
    crypto_hash_sha256_state state_;
};

} // namespace quillmere::Updater
