// The one file module of the server: see files.h.
#include "base/files.h"
#include "common/md5.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace dvs {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;
// Files are read in pieces of this size, so that digesting takes a quarter megabyte
// however large the file is.
constexpr size_t kPiece = 256 * 1024;

}  // namespace

bool DigestFile(int fd, FileDigest &digest, std::string &error)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> sha256(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!sha256 || EVP_DigestInit_ex(sha256.get(), EVP_sha256(), nullptr) != 1) {
        ERR_clear_error();
        error = "OpenSSL cannot digest";
        return false;
    }
    Md5Context md5;
    Md5Init(&md5);
    std::vector<uint8_t> piece(kPiece);
    digest.size = 0;
    digest.crc = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
    for (;;) {
        ssize_t got = pread(fd, piece.data(), piece.size(), static_cast<off_t>(digest.size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        digest.size += static_cast<uint64_t>(got);
        if (digest.size > kMaxFileSize) {
            error = "larger than 4 GiB";
            return false;
        }
        if (EVP_DigestUpdate(sha256.get(), piece.data(), static_cast<size_t>(got)) != 1) {
            ERR_clear_error();
            error = "OpenSSL cannot digest";
            return false;
        }
        Md5Update(&md5, piece.data(), static_cast<size_t>(got));
        digest.crc = static_cast<uint32_t>(crc32(digest.crc, piece.data(), static_cast<uInt>(got)));
    }
    Md5Final(&md5, digest.md5.data());
    if (EVP_DigestFinal_ex(sha256.get(), digest.sha256.data(), nullptr) != 1) {
        ERR_clear_error();
        error = "OpenSSL cannot digest";
        return false;
    }
    return true;
}

bool DigestFile(const fs::path &path, FileDigest &digest, std::string &error)
{
    // Not waiting on a FIFO or device that a manifest might name.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = DigestFile(fd, digest, error);
    close(fd);
    return ok;
}

}  // namespace dvs
