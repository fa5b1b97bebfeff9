// The shipped program's side of the updater's build seams (see update/BuildSeams.h).
#include "update/BuildSeams.h"

namespace quillmere::Updater {

const PublicKey& releasePublicKey()
{
    // Made by `quillmere-release keygen`; the secret half never enters the repository.
    // Base64: JsdtwOD44LDN+E/Y3sS8XgiW9D/Fcu1RucefqrpsUVQ=
    static constexpr PublicKey key {0x26, 0xc7, 0x6d, 0xc0, 0xe0, 0xf8, 0xe0, 0xb0, 0xcd, 0xf8, 0x4f, 0xd8, 0xde, 0xc4,
        0xbc, 0x5e, 0x08, 0x96, 0xf4, 0x3f, 0xc5, 0x72, 0xed, 0x51, 0xb9, 0xc7, 0x9f, 0xaa, 0xba, 0x6c, 0x51, 0x54};
    return key;
}

void faultPoint(const char*)
{
}

bool forceRenameFallback()
{
    return false;
}

unsigned relaunchTimeoutMs()
{
    return 30000;
}

} // namespace quillmere::Updater
