// What checking and unpacking an update costs. Builds a 50 MiB update archive (a
// program-sized file of random bytes, which does not compress, plus a few hundred small
// files), then measures, best of three runs: the SHA-256 digest fed in 64 KiB pieces as
// the download arrives, the signature check of the version document, and the unpacking
// with every file and folder flushed to disk.
//
//   build/bench/update_bench [MiB]
#include "BenchLoop.h"
#include "update/ReleaseDocument.h"
#include "update/Unpacker.h"

#include <archive.h>
#include <archive_entry.h>
#include <glib.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;
namespace fs = std::filesystem;

namespace {

void addFile(archive* writer, const std::string& name, const std::string& content, unsigned mode)
{
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_copy_pathname(entry.get(), name.c_str());
    archive_entry_set_mode(entry.get(), AE_IFREG | mode);
    archive_entry_set_size(entry.get(), la_int64_t(content.size()));
    archive_write_header(writer, entry.get());
    archive_write_data(writer, content.data(), content.size());
}

double best(int runs, const std::function<void()>& work)
{
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        const double start = nowSeconds();
        work();
        fastest = std::min(fastest, nowSeconds() - start);
    }
    return fastest;
}

} // namespace

int main(int argc, char* argv[])
{
    const size_t mebibytes = argc > 1 ? std::stoul(argv[1]) : 50;
    if (sodium_init() < 0)
        return 1;
    g_autofree char* made = g_dir_make_tmp("quillmere-update-bench-XXXXXX", nullptr);
    if (!made)
        return 1;
    const fs::path dir = made;
    const fs::path zip = dir / "latest.zip";
    {
        std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), archive_write_free);
        archive_write_set_format_zip(writer.get());
        archive_write_open_filename(writer.get(), zip.c_str());
        std::string program((mebibytes << 20) - 300 * 4096, '\0');
        randombytes_buf(program.data(), program.size());
        addFile(writer.get(), "quillmere/bin/quillmere", program, 0755);
        for (int i = 0; i < 300; ++i) {
            std::string small(4096, '\0');
            randombytes_buf(small.data(), small.size());
            addFile(writer.get(), "quillmere/share/quillmere/file-" + std::to_string(i), small, 0644);
        }
    }
    std::string archiveBytes;
    {
        std::ifstream in(zip, std::ios::binary);
        archiveBytes.assign(std::istreambuf_iterator<char>(in), {});
    }

    std::string digest;
    const double hashing = best(3, [&] {
        Updater::Sha256 sha;
        for (size_t at = 0; at < archiveBytes.size(); at += 64 * 1024)
            sha.update(std::string_view(archiveBytes).substr(at, 64 * 1024));
        digest = sha.hex();
    });

    std::array<std::uint8_t, 32> publicKey;
    std::array<std::uint8_t, 64> secretKey;
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    const auto document =
        *Updater::parseVersionDocument(Updater::signDocument({3, "1.3", "Notes of a release", digest, ""}, secretKey));
    const double checking = best(3, [&] {
        for (int i = 0; i < 1000; ++i)
            Updater::checkSignature(document, publicKey);
    });

    int run = 0;
    std::string problem;
    const double unpacking = best(3, [&] {
        const fs::path target = dir / ("target-" + std::to_string(run++));
        fs::create_directory(target);
        problem = Updater::unpackBundle(zip, target).value_or("");
    });

    std::printf("archive: %.1f MiB, 301 files\n", archiveBytes.size() / 1048576.0);
    std::printf(
        "SHA-256 in 64 KiB pieces: %.0f ms (%.0f MiB/s)\n", hashing * 1000, archiveBytes.size() / 1048576.0 / hashing);
    std::printf("signature check of version.json: %.1f us\n", checking * 1000);
    std::printf("unpack with every file and folder flushed: %.0f ms%s%s\n", unpacking * 1000,
        problem.empty() ? "" : " -- failed: ", problem.c_str());
    fs::remove_all(dir);
    return problem.empty() ? 0 : 1;
}
