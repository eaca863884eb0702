// Reading ICD alignment files: file bytes, UTF-8 decoding, lines, fields,
// the number readers, and the two grammars that turn the lines into an
// IcdDocument. See icd_reader.hpp for the contract of each function.

#include "curvix/alignment/icd_reader.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "curvix/geometry/angle.hpp"
#include "curvix/geometry/error.hpp"

namespace curvix {

FileError::FileError(int error_number, std::string path_utf8, std::string reason)
    : errno_(error_number),
      path_(std::move(path_utf8)),
      reason_(std::move(reason)),
      message_(reason_ + ": " + path_) {}

namespace {

[[noreturn]] void throw_bad_conversion() { throw std::range_error("bad conversion"); }

// ------------------------------------------------------------------ UTF-8

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(unsigned char b) { return (b & 0xC0u) == 0x80u; }

// ------------------------------------------------------------------ files

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

// ---------------------------------------------------------------- numbers

// The "C" locale, created once and kept for the life of the process, so that
// the decimal point and the blanks never depend on the process locale.
locale_t c_locale() {
    static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) throw std::bad_alloc();
    return loc;
}

// The field as 8-bit characters, up to its first NUL. Narrowing keeps the low
// 8 bits of each unit. Otherwise a non-ASCII unit becomes 0x80, which the C
// locale never takes as a blank, a sign, a digit or part of "inf"/"nan".
std::string to_number_text(const std::u16string& field, bool narrow) {
    std::string text;
    text.reserve(field.size());
    for (const char16_t unit : field) {
        const char c = narrow || unit < 0x80 ? static_cast<char>(unit & 0xFF) : '\x80';
        if (c == '\0') break;
        text.push_back(c);
    }
    return text;
}

// Clears errno for one reader call and restores it on scope exit, so that
// reading a number leaves errno as found.
class SavedErrno {
public:
    SavedErrno() noexcept : saved_(errno) { errno = 0; }
    SavedErrno(const SavedErrno&) = delete;
    SavedErrno& operator=(const SavedErrno&) = delete;
    ~SavedErrno() { errno = saved_; }

private:
    int saved_;
};

}  // namespace

// -------------------------------------------------------------------- UTF-8

std::u16string utf8_to_utf16(std::string_view bytes) {
    // Every byte yields at most one UTF-16 unit (a 4-byte sequence gives two).
    std::u16string out(bytes.size(), u'\0');
    char16_t* o = out.data();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = p + bytes.size();

    while (p != end) {
        // ASCII runs, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if ((word & kHighBits) != 0) break;
            for (int i = 0; i < 8; ++i) o[i] = p[i];
            o += 8;
            p += 8;
        }
        if (p == end) break;

        const unsigned char lead = *p;
        if (lead < 0x80) {
            *o++ = lead;
            ++p;
            continue;
        }
        const auto left = end - p;
        if (lead < 0xC2) {
            // A continuation byte without a lead, or C0/C1 (overlong 2-byte).
            throw_bad_conversion();
        }
        if (lead < 0xE0) {
            if (left < 2 || !is_continuation(p[1])) throw_bad_conversion();
            *o++ = static_cast<char16_t>(((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu));
            p += 2;
        } else if (lead < 0xF0) {
            if (left < 3) throw_bad_conversion();
            // E0 needs A0..BF (no overlong form); ED needs 80..9F (no surrogate).
            const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80;
            const unsigned char hi = lead == 0xED ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2])) throw_bad_conversion();
            *o++ = static_cast<char16_t>(((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) |
                                         (p[2] & 0x3Fu));
            p += 3;
        } else if (lead < 0xF5) {
            if (left < 4) throw_bad_conversion();
            // F0 needs 90..BF (no overlong form); F4 needs 80..8F (<= U+10FFFF).
            const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char hi = lead == 0xF4 ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2]) || !is_continuation(p[3])) {
                throw_bad_conversion();
            }
            const std::uint32_t cp = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) |
                                     ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
            const std::uint32_t v = cp - 0x10000u;
            *o++ = static_cast<char16_t>(0xD800u | (v >> 10));
            *o++ = static_cast<char16_t>(0xDC00u | (v & 0x3FFu));
            p += 4;
        } else {
            // F5..FF never occur in UTF-8.
            throw_bad_conversion();
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char16_t u = text[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
            ++i;
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0u | (u >> 6)));
            out.push_back(static_cast<char>(0x80u | (u & 0x3Fu)));
            ++i;
        } else if (u < 0xD800 || u > 0xDFFF) {
            out.push_back(static_cast<char>(0xE0u | (u >> 12)));
            out.push_back(static_cast<char>(0x80u | ((u >> 6) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | (u & 0x3Fu)));
            ++i;
        } else {
            // A high surrogate followed by a low one; anything else is unpaired.
            if (u > 0xDBFF || i + 1 >= n || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                throw_bad_conversion();
            }
            const std::uint32_t cp =
                0x10000u + ((std::uint32_t(u) - 0xD800u) << 10) + (std::uint32_t(text[i + 1]) - 0xDC00u);
            out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
            out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
            i += 2;
        }
    }
    return out;
}

// -------------------------------------------------------------------- lines

std::vector<std::u16string> split_icd_lines(std::string_view bytes) {
    const char* const data = bytes.data();
    const std::size_t n = bytes.size();

    // Count first, so that a file of many short lines is not copied while
    // the vector grows.
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < n;) {
        const void* lf = std::memchr(data + pos, '\n', n - pos);
        ++count;
        if (lf == nullptr) break;
        pos = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
    }

    std::vector<std::u16string> lines;
    lines.reserve(count);
    std::size_t pos = 0;
    while (pos < n) {
        const void* lf = std::memchr(data + pos, '\n', n - pos);
        if (lf == nullptr) {
            // The last line, without LF: a CR at its end is kept.
            lines.push_back(utf8_to_utf16(bytes.substr(pos)));
            break;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
        std::size_t stop = at;
        if (stop > pos && data[stop - 1] == '\r') --stop;
        lines.push_back(utf8_to_utf16(bytes.substr(pos, stop - pos)));
        pos = at + 1;
    }
    return lines;
}

// -------------------------------------------------------------------- files

std::string read_icd_file(const std::u16string& path) {
    if (path.find(u'\0') != std::u16string::npos) {
        throw std::invalid_argument("embedded null byte");
    }
    const std::string name = utf16_to_utf8(path);

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

// ------------------------------------------------------------------- fields

std::vector<std::u16string> split_icd_fields(const std::u16string& line) {
    std::vector<std::u16string> fields;
    boost::algorithm::split(fields, line, boost::algorithm::is_any_of(u","));
    return fields;
}

// ------------------------------------------------------------------ numbers

double parse_icd_double(const std::u16string& field, bool narrow) {
    const std::string text = to_number_text(field, narrow);
    const locale_t loc = c_locale();
    const SavedErrno saved;
    char* stop = nullptr;
    const double value = ::strtod_l(text.c_str(), &stop, loc);
    if (stop == text.c_str()) throw std::invalid_argument("invalid stod argument");
    if (errno == ERANGE) throw std::out_of_range("stod argument out of range");
    return value;
}

int parse_icd_int(const std::u16string& field) {
    const std::string text = to_number_text(field, true);
    const locale_t loc = c_locale();
    const SavedErrno saved;
    char* stop = nullptr;
    const long value = ::strtol_l(text.c_str(), &stop, 10, loc);
    if (stop == text.c_str()) throw std::invalid_argument("invalid stoi argument");
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<int>(value);
}

// ------------------------------------------------------------ documents

namespace {

// The whole file decoded at once: the lines joined with LF are the file with
// each CR LF turned into LF and one final LF dropped (so a final CR without
// an LF stays). Lines are cut from this text one at a time, so a file of
// many short lines costs no more than its text.
std::u16string decode_text(std::string_view bytes) {
    std::u16string text = utf8_to_utf16(bytes);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        text[kept++] = text[i];
    }
    text.resize(kept);
    if (!text.empty() && text.back() == u'\n') text.pop_back();
    text.shrink_to_fit();
    return text;
}

// The lines of a decoded text, one at a time into a buffer the caller keeps.
// The empty text of non-empty bytes ("\n") is one empty line.
class LineCursor {
public:
    explicit LineCursor(const std::u16string& text) : text_(text) {}

    bool next(std::u16string& line) {
        if (pos_ == std::u16string::npos) return false;
        const std::size_t end = text_.find(u'\n', pos_);
        line.assign(text_, pos_, end == std::u16string::npos ? std::u16string::npos : end - pos_);
        pos_ = (end == std::u16string::npos) ? end : end + 1;
        ++number_;
        return true;
    }
    // 1-based number of the line last returned.
    std::size_t number() const { return number_; }

private:
    const std::u16string& text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

bool is_comment(std::u16string_view line) {
    return line.size() >= 2 && line[0] == u'/' && line[1] == u'/';
}

// ------------------------------------------------------------ legacy grammar

// Fields of one line, read strictly in order: a field that is present but not
// a number fails with its number error before a missing later field is seen.
class FieldReader {
public:
    explicit FieldReader(const std::vector<std::u16string>& fields) : fields_(fields) {}

    double real(std::size_t index) const { return parse_icd_double(at(index)); }
    int integer(std::size_t index) const { return parse_icd_int(at(index)); }
    std::size_t size() const { return fields_.size(); }

private:
    const std::u16string& at(std::size_t index) const {
        // A line with fewer fields than its kind reads has no meaning.
        if (index >= fields_.size()) throw Error(kGeneralError);
        return fields_[index];
    }
    const std::vector<std::u16string>& fields_;
};

IcdRecord legacy_record(const FieldReader& f, std::size_t line) {
    IcdRecord r;
    r.line = line;
    r.type = f.integer(0);
    switch (r.type) {
        case 1:
            r.value[0] = f.real(1);
            if (f.size() == 3) {
                r.has_azimuth = true;
                r.azimuth = f.real(2);
            }
            break;
        case 2:
            r.value[0] = f.real(1);
            r.value[1] = f.real(2);
            r.direction = f.integer(3);
            if (f.size() == 5) {
                r.has_azimuth = true;
                r.azimuth = f.real(4);
            }
            break;
        case 3:
        case 4:
            r.value[0] = f.real(1);
            r.value[1] = f.real(2);
            r.direction = f.integer(3);
            break;
        case 5:
        case 6:
            r.value[0] = f.real(1);
            r.value[1] = f.real(2);
            r.value[2] = f.real(3);
            r.direction = f.integer(4);
            break;
        default: throw Error(kGeneralError);
    }
    return r;
}

IcdDocument read_legacy(std::string_view bytes) {
    IcdDocument doc;
    doc.text = decode_text(bytes);
    if (bytes.empty()) return doc;

    LineCursor lines(doc.text);
    std::u16string line;
    while (lines.next(line)) {
        const std::size_t number = lines.number();
        if (number == 1) {
            doc.start_station = parse_icd_double(line, /*narrow=*/false);
            doc.has_start_station = true;
            continue;
        }
        if (number > 2 && is_comment(line)) continue;
        const std::vector<std::u16string> fields = split_icd_fields(line);
        const FieldReader f(fields);
        if (number == 2) {
            doc.start_y = f.real(0);
            doc.start_x = f.real(1);
            doc.start_azimuth = f.real(2);
            doc.has_start = true;
            continue;
        }
        // The end-line test comes before the type code is read.
        if (f.size() == 3 && f.integer(2) == 0) {
            doc.end_line = number;
            break;
        }
        doc.records.push_back(legacy_record(f, number));
    }
    return doc;
}

}  // namespace

// ------------------------------------------------------------------- errors

namespace {
std::string locate_message(std::size_t line, std::size_t field, const std::string& message) {
    std::string out = "line " + std::to_string(line);
    if (field != 0) out += ", field " + std::to_string(field);
    return out + ": " + message;
}
}  // namespace

IcdError::IcdError(std::size_t line, std::size_t field, const std::string& message)
    : std::invalid_argument(locate_message(line, field, message)),
      line_(line),
      field_(field),
      message_(message) {}

IcdDocument read_icd_document(std::string_view bytes, IcdGrammar grammar) {
    if (grammar == IcdGrammar::strict) throw std::logic_error("the strict ICD grammar is not built yet");
    return read_legacy(bytes);
}

}  // namespace curvix
