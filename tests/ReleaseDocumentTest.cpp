#include "support/UpdateArchives.h"

#include "update/ReleaseDocument.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace quillmere;
using namespace quillmere::test;
using namespace quillmere::Updater;

TEST(ReleaseDocument, ReadsTheBuildAsAnIntegerValuedNumberAndTheOtherMembersAsStrings)
{
    const std::pair<const char*, std::string> cases[] = {
        {R"({"build": 3, "version": "1.3", "notes": "Fixes", "sha256": "ab", "signature": "cd"})", "3|1.3|Fixes|ab|cd"},
        {R"({"build": 3.0, "version": "1", "notes": 7, "sha256": 1})", "3|1|||"},
        {R"({"build": -9223372036854775808, "version": ""})", "-9223372036854775808||||"},
        {R"({"build": 9223372036854775807, "version": "x"})", "9223372036854775807|x|||"},
        {R"({"build": 9223372036854775808, "version": "x"})", "bad"}, {R"({"build": 1e30, "version": "1"})", "bad"},
        {R"({"build": 3.5, "version": "1"})", "bad"}, {R"({"build": "3", "version": "1.3"})", "bad"},
        {R"({"build": 3, "version": 13})", "bad"}, {R"({"version": "1"})", "bad"}, {"[]", "bad"}, {"{}", "bad"},
        {"", "bad"}, {"<html>", "bad"}};
    for (const auto& [body, expected] : cases) {
        const auto document = parseVersionDocument(body);
        EXPECT_EQ(document ? std::to_string(document->build) + "|" + document->version + "|" + document->notes + "|"
                    + document->sha256 + "|" + document->signature
                           : "bad",
            expected)
            << body;
    }
}

TEST(ReleaseDocument, OnlyTheReleaseKeysSignatureOverEveryMemberIsValid)
{
    const std::string archive = "the archive";
    const auto signedDocument = *parseVersionDocument(signedRelease(3, "1.3", "Fixes\nand more", archive));
    EXPECT_EQ(signedDocument.sha256, sha256Of(archive));
    EXPECT_EQ(signedText(signedDocument), "quillmere-update\n3\n1.3\n" + sha256Of(archive) + "\nFixes\nand more");
    EXPECT_EQ(checkSignature(signedDocument, releasePublicKey()), SignatureCheck::Valid);

    auto changed = [&](auto change) {
        VersionDocument document = signedDocument;
        change(document);
        return checkSignature(document, releasePublicKey());
    };
    EXPECT_EQ(changed([](auto& d) { d.build = 4; }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([](auto& d) { d.version = "1.4"; }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([](auto& d) { d.notes = "Fixes"; }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([&](auto& d) { d.sha256 = sha256Of("another archive"); }), SignatureCheck::Invalid);
    // The same digest in capitals is not what was signed, and is no other spelling either.
    EXPECT_EQ(changed([](auto& d) { d.sha256 = std::string(64, 'A'); }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([](auto& d) { d.signature = "not base64"; }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([](auto& d) { d.signature = "AAAA"; }), SignatureCheck::Invalid);
    EXPECT_EQ(changed([](auto& d) { d.signature.clear(); }), SignatureCheck::Unsigned);
    EXPECT_EQ(changed([](auto& d) { d.sha256.clear(); }), SignatureCheck::Unsigned);

    // Any other key's signature, however well formed.
    std::array<std::uint8_t, 32> publicKey;
    std::array<std::uint8_t, 64> otherKey;
    crypto_sign_keypair(publicKey.data(), otherKey.data());
    const auto other = *parseVersionDocument(signedRelease(3, "1.3", "Fixes\nand more", archive, otherKey));
    EXPECT_EQ(checkSignature(other, releasePublicKey()), SignatureCheck::Invalid);
    EXPECT_EQ(checkSignature(other, publicKey), SignatureCheck::Valid);
}
