// The strict grammar of ICD files: only files the legacy grammar reads to
// the same alignment, and only sensible ones, each refusal an IcdError
// naming its line and field (see icd_reader.hpp).

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/icd_reader_detail.hpp"
#include "curvix/geometry/angle.hpp"

namespace curvix {

using icd_detail::c_locale;
using icd_detail::decode_text;
using icd_detail::is_comment;
using icd_detail::LineCursor;
using icd_detail::SavedErrno;

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

}  // namespace

IcdDocument icd_detail::read_strict(std::string_view bytes) {
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

}  // namespace curvix
