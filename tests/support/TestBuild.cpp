#include "support/TestBuild.h"

#include "update/BuildSeams.h"

#include <glib.h>
#include <sodium.h>

#include <array>
#include <csignal>
#include <string>

namespace quillmere::test {

namespace {

struct TestKey {
    std::array<std::uint8_t, 32> seed {};
    std::array<std::uint8_t, 64> secret {};
    Updater::PublicKey publicKey {};

    TestKey()
    {
        const std::string text = "quillmere test key, tests only!!";
        std::copy(text.begin(), text.end(), seed.begin());
        crypto_sign_seed_keypair(publicKey.data(), secret.data(), seed.data());
    }
};

const TestKey& testKey()
{
    static const TestKey key;
    return key;
}

} // namespace

std::span<const std::uint8_t, 64> testReleaseSecretKey()
{
    return testKey().secret;
}

std::span<const std::uint8_t, 32> testReleaseSeed()
{
    return testKey().seed;
}

} // namespace quillmere::test

namespace quillmere::Updater {

const PublicKey& releasePublicKey()
{
    return test::testKey().publicKey;
}

void faultPoint(const char* step)
{
    // Ends the process the way a crash or a power cut would: no clean-up runs.
    if (g_strcmp0(g_getenv(test::kFaultVariable), step) == 0)
        raise(SIGKILL);
}

bool forceRenameFallback()
{
    return g_getenv(test::kRenameSwapVariable) != nullptr;
}

unsigned relaunchTimeoutMs()
{
    const char* value = g_getenv(test::kRelaunchTimeoutVariable);
    return value ? unsigned(g_ascii_strtoull(value, nullptr, 10)) : 30000;
}

} // namespace quillmere::Updater
