#include "update/ReleaseDocument.h"

#include "platform/Base64.h"
#include "platform/Numbers.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quillmere::Updater {

namespace {

std::optional<std::int64_t> integerValue(const nlohmann::json& value)
{
    // An unsigned number is also "integer" to the parser, so it is looked at first.
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float())
        return exactInt64(value.get<double>());
    return std::nullopt;
}

std::string stringMember(const nlohmann::json& document, const char* name)
{
    const auto member = document.find(name);
    return member != document.end() && member->is_string() ? member->get<std::string>() : std::string();
}

bool isDigest(const std::string& text)
{
    return text.size() == 2 * crypto_hash_sha256_BYTES
        && std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void initialiseSodium()
{
    // Idempotent and thread-safe; fails only where the system has no randomness source,
    // which signing and checking do not need.
    static const int ready = sodium_init();
    (void)ready;
}

} // namespace

std::optional<VersionDocument> parseVersionDocument(const std::string& body)
{
    if (body.empty())
        return std::nullopt;
    const auto document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object() || document.empty())
        return std::nullopt;
    const auto build = document.find("build");
    if (build == document.end())
        return std::nullopt;
    const auto number = integerValue(*build);
    if (!number)
        return std::nullopt;
    const auto version = document.find("version");
    if (version == document.end() || !version->is_string())
        return std::nullopt;
    return VersionDocument {*number, version->get<std::string>(), stringMember(document, "notes"),
        stringMember(document, "sha256"), stringMember(document, "signature")};
}

std::string signedText(const VersionDocument& document)
{
    return "quillmere-update\n" + std::to_string(document.build) + "\n" + document.version + "\n" + document.sha256
        + "\n" + document.notes;
}

SignatureCheck checkSignature(const VersionDocument& document, const PublicKey& key)
{
    if (document.sha256.empty() || document.signature.empty())
        return SignatureCheck::Unsigned;
    // The digest is compared as text later on, so only its one spelling is accepted.
    const auto signature = decodeBase64(document.signature);
    if (!isDigest(document.sha256) || !signature || signature->size() != crypto_sign_BYTES)
        return SignatureCheck::Invalid;
    initialiseSodium();
    const std::string text = signedText(document);
    const bool valid = crypto_sign_verify_detached(signature->data(),
                           reinterpret_cast<const unsigned char*>(text.data()), text.size(), key.data())
        == 0;
    return valid ? SignatureCheck::Valid : SignatureCheck::Invalid;
}

std::string signDocument(VersionDocument document, std::span<const std::uint8_t, 64> secretKey)
{
    initialiseSodium();
    const std::string text = signedText(document);
    std::array<unsigned char, crypto_sign_BYTES> signature;
    crypto_sign_detached(
        signature.data(), nullptr, reinterpret_cast<const unsigned char*>(text.data()), text.size(), secretKey.data());
    std::array<char, sodium_base64_ENCODED_LEN(crypto_sign_BYTES, sodium_base64_VARIANT_ORIGINAL)> encoded;
    sodium_bin2base64(
        encoded.data(), encoded.size(), signature.data(), signature.size(), sodium_base64_VARIANT_ORIGINAL);
    nlohmann::json json {{"build", document.build}, {"version", document.version}, {"notes", document.notes},
        {"sha256", document.sha256}, {"signature", encoded.data()}};
    return json.dump(2) + "\n";
}

Sha256::Sha256()
{
    initialiseSodium();
    crypto_hash_sha256_init(&state_);
}

void Sha256::update(std::span<const std::uint8_t> bytes)
{
    crypto_hash_sha256_update(&state_, bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes)
{
    update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string Sha256::hex()
{
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest;
    crypto_hash_sha256_final(&state_, digest.data());
    std::array<char, 2 * crypto_hash_sha256_BYTES + 1> text;
    sodium_bin2hex(text.data(), text.size(), digest.data(), digest.size());
    return text.data();
}

} // namespace quillmere::Updater
