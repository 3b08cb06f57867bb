// The one file module of the server: see files.h.
#include "base/files.h"
#include "common/md5.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
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

bool ReadSmallFile(const fs::path &path, size_t limit, std::vector<uint8_t> &data, std::string &error)
{
    data.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = "not a regular file";
        return false;
    }
    uint8_t piece[4096];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = std::strerror(errno);
            ok = false;
        }
        if (got <= 0)
            break;
        data.insert(data.end(), piece, piece + got);
        if (data.size() > limit) {
            error = "more than " + std::to_string(limit) + " bytes";
            ok = false;
            break;
        }
    }
    close(fd);
    if (!ok)
        data.clear();
    return ok;
}

bool WriteAll(int fd, const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = write(fd, at, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        at += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

FileReplacement::~FileReplacement()
{
    if (fd_ >= 0)
        close(fd_);
    if (!temporary_.empty())
        unlink(temporary_.c_str());
}

bool FileReplacement::Open(const fs::path &path, mode_t mode, std::string &error)
{
    path_ = path;
    fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
        error = folder.string() + ": " + std::strerror(errno);
        return false;
    }
    temporary_ = pattern;
    if (fchmod(fd_, mode) != 0) {
        failed_ = true;
        failure_ = errno;
    }
    return true;
}

bool FileReplacement::Write(std::span<const uint8_t> data)
{
    if (!failed_ && !WriteAll(fd_, data.data(), data.size())) {
        failed_ = true;
        failure_ = errno;
    }
    return !failed_;
}

bool FileReplacement::Replace(std::string &error)
{
    return Finish(true, error);
}

bool FileReplacement::Create(std::string &error)
{
    return Finish(false, error);
}

bool FileReplacement::Finish(bool replace, std::string &error)
{
    if (fd_ < 0) {
        error = path_.string() + ": not opened";
        return false;
    }
    if (!failed_ && fsync(fd_) != 0) {
        failed_ = true;
        failure_ = errno;
    }
    if (close(fd_) != 0 && !failed_) {
        failed_ = true;
        failure_ = errno;
    }
    fd_ = -1;
    // Create links the whole file to its name: link(2) refuses a name that exists.
    if (!failed_ && (replace ? rename(temporary_.c_str(), path_.c_str()) : link(temporary_.c_str(), path_.c_str())) != 0) {
        failed_ = true;
        failure_ = errno;
    }
    if (failed_) {
        error = path_.string() + ": " + std::strerror(failure_);
        return false;
    }
    if (replace)
        temporary_.clear();  // it is the file now
    fs::path folder = path_.has_parent_path() ? path_.parent_path() : fs::path(".");
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

bool ReplaceFile(const fs::path &path, std::span<const uint8_t> data, std::string &error, mode_t mode)
{
    FileReplacement file;
    if (!file.Open(path, mode, error))
        return false;
    file.Write(data);  // a failed write is reported by Replace
    return file.Replace(error);
}

bool ReplaceFile(const fs::path &path, const std::string &text, std::string &error, mode_t mode)
{
    return ReplaceFile(path, {reinterpret_cast<const uint8_t *>(text.data()), text.size()}, error, mode);
}

bool WriteNewFile(const fs::path &path, std::span<const uint8_t> data, mode_t mode, std::string &error)
{
    FileReplacement file;
    if (!file.Open(path, mode, error))
        return false;
    file.Write(data);
    return file.Create(error);
}

std::string Hex(std::span<const uint8_t> bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view text, size_t size)
{
    if (text.size() != size * 2)
        return std::nullopt;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return std::nullopt;
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | digit);
    }
    return bytes;
}

std::string Quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

}  // namespace dvs
