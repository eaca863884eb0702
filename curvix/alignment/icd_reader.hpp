#pragma once
// Reading ICD alignment files: bytes to decoded lines, lines to fields,
// fields to numbers. Geometry is built from the lines by PQX (pqx.hpp).
//
// Failures are thrown as the standard kinds the Python binding maps:
//   std::range_error("bad conversion")                 invalid UTF-8      -> ValueError
//   std::invalid_argument("invalid stod argument")     no number prefix   -> ValueError
//   std::out_of_range("stod argument out of range")    strtod range error -> IndexError
//   std::invalid_argument("invalid stoi argument")     no integer prefix  -> ValueError
//   std::out_of_range("stoi argument out of range")    not a 32-bit int   -> IndexError
//   curvix::FileError                                  file cannot be read -> OSError subclass

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace curvix {

// A file that cannot be read: the errno of the failure, the path as given
// (UTF-8) and the reason, the text OSError calls strerror: the system's text
// for the errno ("No such file or directory", "Is a directory", "File too
// large") or "Not a regular file" (errno EINVAL) for a FIFO, socket or device.
// what() is "<reason>: <path>". The binding raises OSError(errno, reason, path),
// which Python turns into the matching subclass (FileNotFoundError,
// IsADirectoryError, PermissionError, ...).
class FileError : public std::exception {
public:
    FileError(int error_number, std::string path_utf8, std::string reason);
    const char* what() const noexcept override { return message_.c_str(); }
    int error_number() const noexcept { return errno_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    int errno_;
    std::string path_;
    std::string reason_;
    std::string message_;
};

// Largest file the loader reads.
inline constexpr std::size_t kMaxIcdFileBytes = std::size_t(256) << 20;

// Strict UTF-8 -> UTF-16 (overlong forms, surrogates, code points above
// U+10FFFF and truncated sequences throw std::range_error("bad conversion")).
std::u16string utf8_to_utf16(std::string_view bytes);
// UTF-16 -> UTF-8; an unpaired surrogate throws std::range_error("bad conversion").
std::string utf16_to_utf8(std::u16string_view text);

// Cuts bytes into lines at LF; one CR directly before an LF is dropped (a
// final CR with no LF after it stays, and "x\r\r\n" keeps one CR). The text
// after the last LF is a line only if it is not empty, so a file that ends
// with LF has no empty line after it, and empty bytes give no line. Each line
// is decoded with utf8_to_utf16; all lines are decoded before any is returned.
std::vector<std::u16string> split_icd_lines(std::string_view bytes);

// Reads a whole regular file named by a UTF-16 path (at most kMaxIcdFileBytes,
// never blocking on FIFOs or devices). Throws FileError on failure (EFBIG for
// a file over the limit); std::invalid_argument("embedded null byte") if
// the path holds a NUL; std::range_error("bad conversion") if it holds an
// unpaired surrogate. An empty file gives an empty string.
std::string read_icd_file(const std::u16string& path);

// Cuts a line at every comma; fields are not trimmed.
std::vector<std::u16string> split_icd_fields(const std::u16string& line);

// Number readers with the semantics described above: the field is narrowed
// to the low 8 bits of each UTF-16 unit, leading white space is skipped, the
// longest valid prefix is read in the "C" locale and the rest ignored.
// With narrow = false (line 1, read from its Unicode text) a non-ASCII unit
// is never a digit or a blank, whatever its low 8 bits. The text ends at the
// first unit that narrows to NUL. Out of range means strtod's ERANGE: overflow,
// and underflow of an inexact result (to zero or to a subnormal).
double parse_icd_double(const std::u16string& field, bool narrow = true);
int parse_icd_int(const std::u16string& field);

}  // namespace curvix
