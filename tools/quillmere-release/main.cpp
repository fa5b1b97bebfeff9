// quillmere-release: makes what the update host serves.
//
//   quillmere-release keygen SECRET-FILE
//       Makes a release key pair: the secret seed goes to SECRET-FILE (mode 0600, keep it
//       out of the repository), the public key is printed for update/ReleaseBuild.cpp.
//   quillmere-release pack BUNDLE-DIR ARCHIVE
//       Packs an installed bundle as latest.zip, under the folder "quillmere/".
//   quillmere-release sign SECRET-FILE BUILD VERSION NOTES ARCHIVE VERSION-JSON
//       Writes the version document for ARCHIVE: its SHA-256 digest and the signature
//       over build, version, digest and notes.
#include "update/ReleaseDocument.h"

#include <archive.h>
#include <archive_entry.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace quillmere::Updater;

namespace {

int usage()
{
    std::cerr << "usage: quillmere-release keygen SECRET-FILE\n"
                 "       quillmere-release pack BUNDLE-DIR ARCHIVE\n"
                 "       quillmere-release sign SECRET-FILE BUILD VERSION NOTES ARCHIVE VERSION-JSON\n";
    return 2;
}

std::string base64(const unsigned char* bytes, size_t size)
{
    std::vector<char> text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    return text.data();
}

int keygen(const std::string& secretFile)
{
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey;
    randombytes_buf(seed.data(), seed.size());
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
    if (fs::exists(secretFile)) {
        std::cerr << secretFile << " exists; not overwriting a key\n";
        return 1;
    }
    {
        std::ofstream out(secretFile);
        fs::permissions(secretFile, fs::perms::owner_read | fs::perms::owner_write);
        out << base64(seed.data(), seed.size()) << "\n";
        if (!out) {
            std::cerr << "cannot write " << secretFile << "\n";
            return 1;
        }
    }
    std::printf("public key (Base64): %s\nfor update/ReleaseBuild.cpp:\n   ",
        base64(publicKey.data(), publicKey.size()).c_str());
    for (unsigned char byte : publicKey)
        std::printf(" 0x%02x,", byte);
    std::printf("\n");
    return 0;
}

bool readSecret(const std::string& secretFile, std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES>& secretKey)
{
    std::ifstream in(secretFile);
    std::string text;
    std::getline(in, text);
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    size_t length = 0;
    if (sodium_base642bin(seed.data(), seed.size(), text.data(), text.size(), nullptr, &length, nullptr,
            sodium_base64_VARIANT_ORIGINAL)
            != 0
        || length != seed.size())
        return false;
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey;
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
    return true;
}

int sign(const std::vector<std::string>& arguments)
{
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secretKey;
    if (!readSecret(arguments[0], secretKey)) {
        std::cerr << "cannot read a key from " << arguments[0] << "\n";
        return 1;
    }
    VersionDocument document {};
    try {
        document.build = std::stoll(arguments[1]);
    } catch (const std::exception&) {
        std::cerr << "the build must be a whole number\n";
        return 1;
    }
    document.version = arguments[2];
    document.notes = arguments[3];
    std::ifstream archive(arguments[4], std::ios::binary);
    if (!archive) {
        std::cerr << "cannot read " << arguments[4] << "\n";
        return 1;
    }
    Sha256 digest;
    std::vector<char> buffer(1 << 16);
    while (archive.read(buffer.data(), buffer.size()) || archive.gcount() > 0)
        digest.update(std::string_view(buffer.data(), archive.gcount()));
    document.sha256 = digest.hex();
    std::ofstream out(arguments[5]);
    out << signDocument(document, secretKey);
    sodium_memzero(secretKey.data(), secretKey.size());
    return out ? 0 : 1;
}

struct WriterDeleter {
    void operator()(archive* writer) const { archive_write_free(writer); }
};

int pack(const fs::path& bundle, const std::string& output)
{
    std::unique_ptr<archive, WriterDeleter> writer(archive_write_new());
    archive_write_set_format_zip(writer.get());
    if (archive_write_open_filename(writer.get(), output.c_str()) != ARCHIVE_OK) {
        std::cerr << archive_error_string(writer.get()) << "\n";
        return 1;
    }
    std::vector<fs::path> paths {bundle};
    for (const auto& entry : fs::recursive_directory_iterator(bundle))
        paths.push_back(entry.path());
    for (const auto& path : paths) {
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))) {
            std::cerr << path << ": only files and folders can go into an update\n";
            return 1;
        }
        const fs::path name = fs::path("quillmere") / fs::relative(path, bundle);
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_copy_pathname(entry.get(), (name.lexically_normal().string()).c_str());
        archive_entry_copy_stat(entry.get(), &status);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            std::cerr << path << ": " << archive_error_string(writer.get()) << "\n";
            return 1;
        }
        if (S_ISREG(status.st_mode)) {
            std::ifstream in(path, std::ios::binary);
            std::vector<char> buffer(1 << 16);
            while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0)
                archive_write_data(writer.get(), buffer.data(), in.gcount());
        }
    }
    return archive_write_close(writer.get()) == ARCHIVE_OK ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (sodium_init() < 0)
        return 1;
    const std::vector<std::string> arguments(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "keygen" && arguments.size() == 1)
        return keygen(arguments[0]);
    if (command == "pack" && arguments.size() == 2)
        return pack(arguments[0], arguments[1]);
    if (command == "sign" && arguments.size() == 6)
        return sign(arguments);
    return usage();
}
