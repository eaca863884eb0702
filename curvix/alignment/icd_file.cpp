// Reading an ICD file's bytes: regular files only, at most kMaxIcdFileBytes,
// never waiting on a FIFO or a device (see icd_reader.hpp).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "curvix/alignment/icd_reader.hpp"

namespace curvix {

FileError::FileError(int error_number, std::string path_utf8, std::string reason)
    : errno_(error_number),
      path_(std::move(path_utf8)),
      reason_(std::move(reason)),
      message_(reason_ + ": " + path_) {}

namespace {

// Owns one file descriptor; closes it on every path out of read_icd_file.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        // Not retried on EINTR: on Linux the descriptor is released anyway.
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

std::string describe_errno(int error_number) {
    return std::generic_category().message(error_number);
}

[[noreturn]] void throw_file_error(int error_number, const std::string& path) {
    throw FileError(error_number, path, describe_errno(error_number));
}

// A FIFO, socket or device: its content is not a file of bounded size that
// can be read without waiting, so it is refused.
[[noreturn]] void throw_not_regular(const std::string& path) {
    throw FileError(EINVAL, path, "Not a regular file");
}

void check_file_kind(const struct stat& st, const std::string& path) {
    if (S_ISDIR(st.st_mode)) throw_file_error(EISDIR, path);
    if (!S_ISREG(st.st_mode)) throw_not_regular(path);
    if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) > kMaxIcdFileBytes) {
        throw_file_error(EFBIG, path);
    }
}

}  // namespace

std::string read_icd_file(const std::u16string& path) {
    if (path.find(u'\0') != std::u16string::npos) {
        throw std::invalid_argument("embedded null byte");
    }
    return read_icd_file_native(utf16_to_utf8(path));
}

std::string read_icd_file_native(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        throw std::invalid_argument("embedded null byte");
    }
    const std::string name(path);

    // The kind is checked before opening, so that no device is opened (some
    // act on open); the descriptor is checked again, as the name may have
    // been replaced in between.
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) throw_file_error(errno, name);
    check_file_kind(st, name);

    int raw = -1;
    do {
        raw = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) throw_file_error(errno, name);
    const FileDescriptor fd(raw);

    if (::fstat(fd.get(), &st) != 0) throw_file_error(errno, name);
    check_file_kind(st, name);

    // st_size is a hint only: the file may change while it is read, and some
    // files (as under /proc) report 0. Reading one byte past the limit tells
    // a file that is too large.
    std::string data;
    std::size_t used = 0;
    std::size_t capacity = std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxIcdFileBytes) + 1;
    data.resize(std::max<std::size_t>(capacity, 4096));
    for (;;) {
        if (used == data.size()) {
            if (used > kMaxIcdFileBytes) break;
            data.resize(std::min(data.size() * 2, kMaxIcdFileBytes + 1));
        }
        const ssize_t got = ::read(fd.get(), data.data() + used, data.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_file_error(errno, name);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    if (used > kMaxIcdFileBytes) throw_file_error(EFBIG, name);
    data.resize(used);
    return data;
}

}  // namespace curvix
