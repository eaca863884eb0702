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
#include <cmath>
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

// ------------------------------------------------------------ strict grammar

namespace {

// Blanks around fields: the C locale's white space, which the legacy number
// readers skip in front of a number and ignore behind it.
bool is_blank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string_view trimmed(std::u16string_view field) {
    std::size_t a = 0;
    std::size_t b = field.size();
    while (a < b && is_blank(field[a])) ++a;
    while (b > a && is_blank(field[b - 1])) --b;
    return field.substr(a, b - a);
}

// Text of the file quoted in a message: blanks trimmed, at most 40 UTF-16
// units (a surrogate pair is never cut), control characters as \xNN.
std::string quoted(std::u16string_view text) {
    constexpr std::size_t kMaxUnits = 40;
    text = trimmed(text);
    std::u16string_view shown = text;
    if (shown.size() > kMaxUnits) {
        std::size_t cut = kMaxUnits;
        if (shown[cut - 1] >= 0xD800 && shown[cut - 1] <= 0xDBFF) --cut;
        shown = shown.substr(0, cut);
    }
    std::string out = "'";
    for (const char c : utf16_to_utf8(shown)) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0xF];
        } else {
            out += c;
        }
    }
    if (shown.size() < text.size()) out += "...";
    return out + "'";
}

// The shortest text that reads back as the same double.
std::string shortest(double value) {
    std::array<char, 32> buf{};
    const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return std::string(buf.data(), result.ptr);
}

enum class Number { ok, empty, not_a_number, out_of_range };

// A field that is one number and nothing else: the whole trimmed field, all
// ASCII (so the legacy narrowing changes nothing), consumed by the C-locale
// strtod without a range error. The legacy reader gives the same value.
Number strict_number(std::u16string_view field, double& value) {
    const std::u16string_view t = trimmed(field);
    if (t.empty()) return Number::empty;
    std::string text;
    text.reserve(t.size());
    for (const char16_t c : t) {
        if (c == 0 || c >= 0x80) return Number::not_a_number;
        text.push_back(static_cast<char>(c));
    }
    const SavedErrno saved;
    char* stop = nullptr;
    value = ::strtod_l(text.c_str(), &stop, c_locale());
    if (stop != text.c_str() + text.size()) return Number::not_a_number;
    if (errno == ERANGE) return Number::out_of_range;
    return Number::ok;
}

// A whole number written as such: an optional sign and decimal digits (leading
// zeros allowed), blanks around them. Magnitudes beyond 10^9 are refused, so
// every accepted value is an int the legacy reader reads alike.
bool strict_whole_number(std::u16string_view field, int& value) {
    std::u16string_view t = trimmed(field);
    bool negative = false;
    if (!t.empty() && (t[0] == u'+' || t[0] == u'-')) {
        negative = t[0] == u'-';
        t.remove_prefix(1);
    }
    if (t.empty()) return false;
    long magnitude = 0;
    for (const char16_t c : t) {
        if (c < u'0' || c > u'9') return false;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > 1000000000L) return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

// What a field holds, for the messages and checks of one line kind.
enum class Check {
    positive,   // finite and > 0: lengths, radii, A
    finite,     // any finite number: azimuths, coordinates, stations
    direction,  // 1 or -1, written as a whole number
};

struct FieldRule {
    const char* name;
    Check check;
};

struct LineKind {
    const char* shape;           // how the line is written, for messages
    std::size_t fields;          // the fields it has
    bool optional_azimuth;       // may have one more: the start azimuth
    std::array<FieldRule, 4> rules;  // fields 2 on (the first is the type)
};

const LineKind& kind_of(int type) {
    static const LineKind kinds[] = {
        {"straight: 1,length[,azimuth]", 2, true,
         {{{"length", Check::positive}, {"start azimuth", Check::finite}}}},
        {"arc: 2,radius,length,direction[,azimuth]", 4, true,
         {{{"radius", Check::positive}, {"length", Check::positive}, {"direction", Check::direction},
           {"start azimuth", Check::finite}}}},
        {"spiral from a tangent: 3,A,R,direction", 4, false,
         {{{"A", Check::positive}, {"radius", Check::positive}, {"direction", Check::direction}}}},
        {"spiral to a tangent: 4,A,R,direction", 4, false,
         {{{"A", Check::positive}, {"radius", Check::positive}, {"direction", Check::direction}}}},
        {"spiral between radii, curvature growing: 5,A,R1,R2,direction", 5, false,
         {{{"A", Check::positive}, {"radius R1", Check::positive}, {"radius R2", Check::positive},
           {"direction", Check::direction}}}},
        {"spiral between radii, curvature shrinking: 6,A,R1,R2,direction", 5, false,
         {{{"A", Check::positive}, {"radius R1", Check::positive}, {"radius R2", Check::positive},
           {"direction", Check::direction}}}},
    };
    return kinds[type - 1];
}

// The value of field `index` (0-based) under its rule, or an IcdError.
double checked_number(std::u16string_view field, const FieldRule& rule, std::size_t line,
                      std::size_t index) {
    const std::size_t at = index + 1;
    double value = 0.0;
    switch (strict_number(field, value)) {
        case Number::empty: throw IcdError(line, at, std::string(rule.name) + " is empty");
        case Number::not_a_number: throw IcdError(line, at, quoted(field) + " is not a number");
        case Number::out_of_range: throw IcdError(line, at, quoted(field) + " is out of range");
        case Number::ok: break;
    }
    if (!std::isfinite(value)) {
        throw IcdError(line, at, std::string(rule.name) + " must be finite, got " + quoted(field));
    }
    if (rule.check == Check::positive && !(value > 0.0)) {
        throw IcdError(line, at, std::string(rule.name) + " must be greater than 0, got " + quoted(field));
    }
    return value;
}

int checked_direction(std::u16string_view field, std::size_t line, std::size_t index) {
    int value = 0;
    if (!strict_whole_number(field, value) || (value != 1 && value != -1)) {
        throw IcdError(line, index + 1, "direction must be 1 (right) or -1 (left), got " + quoted(field));
    }
    return value;
}

IcdRecord strict_record(const std::vector<std::u16string>& fields, std::size_t line) {
    IcdRecord r;
    r.line = line;
    if (!strict_whole_number(fields[0], r.type) || r.type < 1 || r.type > 6) {
        throw IcdError(line, 1, "element type must be a whole number from 1 to 6, got " + quoted(fields[0]));
    }
    const LineKind& kind = kind_of(r.type);
    const std::size_t n = fields.size();
    if (n != kind.fields && !(kind.optional_azimuth && n == kind.fields + 1)) {
        std::string counts = std::to_string(kind.fields);
        if (kind.optional_azimuth) counts += " or " + std::to_string(kind.fields + 1);
        throw IcdError(line, 0,
                       "a type " + std::to_string(r.type) + " line (" + kind.shape + ") has " + counts +
                           " fields, this one has " + std::to_string(n));
    }
    std::size_t values = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const FieldRule& rule = kind.rules[i - 1];
        if (rule.check == Check::direction) {
            r.direction = checked_direction(fields[i], line, i);
        } else if (i == kind.fields) {
            r.has_azimuth = true;
            r.azimuth = checked_number(fields[i], rule, line, i);
        } else {
            r.value[values++] = checked_number(fields[i], rule, line, i);
        }
    }
    return r;
}

// The integer the legacy reader takes from a field, or nothing where it
// throws (the legacy grammar fails there).
bool legacy_integer(const std::u16string& field, int& value) {
    try {
        value = parse_icd_int(field);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// How to write the start azimuth of a straight so that the end-line test
// reads a non-zero integer from it.
std::string azimuth_advice(std::u16string_view field) {
    std::string advice = "give a straight's start azimuth with a non-zero integer part";
    double azimuth = 0.0;
    if (strict_number(field, azimuth) == Number::ok && std::fabs(azimuth) < 1.0) {
        advice += " (" + utf16_to_utf8(trimmed(field)) + " + 2*pi = " +
                  shortest(azimuth + 2.0 * Angle::PI) + " points the same way)";
    }
    return advice;
}

// The first line after the cursor that the legacy grammar would have read
// as an element (neither blank nor a comment), or 0.
std::size_t next_element_line(LineCursor lines) {
    std::u16string line;
    while (lines.next(line)) {
        if (!is_comment(line) && !trimmed(line).empty()) return lines.number();
    }
    return 0;
}

// A three-field line whose third field reads as the integer 0 is the legacy
// end line. It is accepted as the end line only where nothing is lost: its
// type field does not read as an element type, and only blank or comment
// lines follow it.
void check_end_line(const std::vector<std::u16string>& fields, const std::u16string& line,
                    std::size_t number, const LineCursor& lines) {
    const std::size_t follower = next_element_line(lines);
    int type = 0;
    const bool element_like = legacy_integer(fields[0], type) && type >= 1 && type <= 6;
    if (!element_like) {
        if (follower == 0) return;
        throw IcdError(number, 0,
                       quoted(line) + " is the end line, so the lines after it (from line " +
                           std::to_string(follower) +
                           ") would be ignored; put the end line after the last element, or remove it");
    }
    std::string message = quoted(line) +
                          " reads as the end line because the integer part of its third field is 0, so ";
    message += follower != 0 ? "the lines after it would be ignored" : "it is not read as an element";
    message += "; end the list with 0,0,0";
    if (type == 1) message += ", and " + azimuth_advice(fields[2]);
    throw IcdError(number, 3, message);
}

// Decodes the whole file; invalid UTF-8 is refused naming its line. Lines
// are checked a block of about 64 KiB at a time, so finding the line costs
// a few allocations, not one per line.
std::u16string decode_text_naming_line(std::string_view bytes) {
    try {
        return decode_text(bytes);
    } catch (const std::range_error&) {
    }
    const auto decodes = [](std::string_view part) {
        try {
            utf8_to_utf16(part);
            return true;
        } catch (const std::range_error&) {
            return false;
        }
    };
    const auto line_end = [&](std::size_t from) {
        const std::size_t lf = bytes.find('\n', from);
        return lf == std::string_view::npos ? bytes.size() : lf + 1;
    };
    std::size_t line = 1;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t block_end = line_end(std::min(bytes.size(), pos + (std::size_t(1) << 16)));
        if (!decodes(bytes.substr(pos, block_end - pos))) {
            for (std::size_t end = line_end(pos); pos < block_end; pos = end, end = line_end(pos), ++line) {
                if (!decodes(bytes.substr(pos, end - pos))) break;
            }
            break;
        }
        line += static_cast<std::size_t>(
            std::count(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                       bytes.begin() + static_cast<std::ptrdiff_t>(block_end), '\n'));
        pos = block_end;
    }
    throw IcdError(line, 0, "the line is not valid UTF-8 text");
}

void read_strict_start(const std::u16string& line, IcdDocument& doc) {
    if (!line.empty() && line[0] == u'\uFEFF') {
        throw IcdError(1, 0, "the file starts with a byte order mark (U+FEFF); save it as UTF-8 without one");
    }
    if (trimmed(line).empty()) throw IcdError(1, 0, "empty line; line 1 gives the start station");
    if (is_comment(line)) throw IcdError(1, 0, "line 1 gives the start station; comments may start from line 3");
    const std::vector<std::u16string> fields = split_icd_fields(line);
    if (fields.size() != 1) {
        throw IcdError(1, 0, "line 1 gives the start station, one number; this one has " +
                                 std::to_string(fields.size()) + " fields");
    }
    doc.start_station = checked_number(fields[0], {"start station", Check::finite}, 1, 0);
    doc.has_start_station = true;
}

void read_strict_point(const std::u16string& line, IcdDocument& doc) {
    constexpr const char* kShape = "start point and azimuth: Y,X,azimuth";
    if (trimmed(line).empty()) throw IcdError(2, 0, std::string("empty line; line 2 gives the ") + kShape);
    if (is_comment(line)) {
        throw IcdError(2, 0, std::string("line 2 gives the ") + kShape + "; comments may start from line 3");
    }
    const std::vector<std::u16string> fields = split_icd_fields(line);
    if (fields.size() != 3) {
        throw IcdError(2, 0, std::string("line 2 (") + kShape + ") has 3 fields, this one has " +
                                 std::to_string(fields.size()));
    }
    doc.start_y = checked_number(fields[0], {"Y", Check::finite}, 2, 0);
    doc.start_x = checked_number(fields[1], {"X", Check::finite}, 2, 1);
    doc.start_azimuth = checked_number(fields[2], {"start azimuth", Check::finite}, 2, 2);
    doc.has_start = true;
}

IcdDocument read_strict(std::string_view bytes) {
    IcdDocument doc;
    doc.text = decode_text_naming_line(bytes);
    if (bytes.empty()) throw IcdError(1, 0, "the file is empty; line 1 gives the start station");

    LineCursor lines(doc.text);
    std::u16string line;
    lines.next(line);
    read_strict_start(line, doc);
    if (!lines.next(line)) {
        throw IcdError(2, 0, "line 2 is missing; it gives the start point and azimuth as Y,X,azimuth");
    }
    read_strict_point(line, doc);

    while (lines.next(line)) {
        const std::size_t number = lines.number();
        if (is_comment(line)) continue;
        const std::u16string_view content = trimmed(line);
        if (content.empty()) throw IcdError(number, 0, "empty line; remove it or start it with //");
        if (is_comment(content)) {
            throw IcdError(number, 0, "a comment starts with // at the very beginning of its line");
        }
        const std::vector<std::u16string> fields = split_icd_fields(line);
        if (fields.size() == 3) {
            // The legacy end-line test, as the legacy grammar makes it.
            int third = 0;
            if (!legacy_integer(fields[2], third)) {
                // Refused either way: with the line's own fault if it has
                // one, else (a straight's azimuth such as .5) for the test.
                strict_record(fields, number);
                throw IcdError(number, 3,
                               "the third field of a three-field line is first read as a whole number "
                               "(the end-line test), and " + quoted(fields[2]) + " cannot be read as one; " +
                                   azimuth_advice(fields[2]));
            }
            if (third == 0) {
                check_end_line(fields, line, number, lines);
                doc.end_line = number;
                break;
            }
        }
        doc.records.push_back(strict_record(fields, number));
    }
    if (doc.records.empty()) {
        if (doc.end_line != 0) {
            throw IcdError(doc.end_line, 0,
                           "the end line comes before any element line; an alignment needs at least one element");
        }
        throw IcdError(3, 0, "no element lines; an alignment needs at least one element from line 3 on");
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
    return grammar == IcdGrammar::strict ? read_strict(bytes) : read_legacy(bytes);
}

}  // namespace curvix
