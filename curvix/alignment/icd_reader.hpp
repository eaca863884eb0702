#pragma once
// Reading ICD alignment files: bytes to decoded lines, lines to fields,
// fields to numbers, lines to element records (read_icd_document). Geometry
// is built from the records by build_legacy_chain (pqx.hpp) or the engine.
// The one header of the reader; its sources are split by job: icd_file.cpp
// (files), icd_utf8.cpp (the codec), icd_numbers.cpp (number fields),
// icd_document.cpp (lines, fields, the choice of grammar) and the grammars
// icd_legacy_grammar.cpp and icd_strict_grammar.cpp.
//
// Failures of the legacy grammar are thrown as the standard kinds the Python
// binding maps (the strict grammar throws IcdError, below):
//   std::range_error("bad conversion")                 invalid UTF-8      -> ValueError
//   std::invalid_argument("invalid stod argument")     no number prefix   -> ValueError
//   std::out_of_range("stod argument out of range")    strtod range error -> IndexError
//   std::invalid_argument("invalid stoi argument")     no integer prefix  -> ValueError
//   std::out_of_range("stoi argument out of range")    not a 32-bit int   -> IndexError
//   curvix::FileError                                  file cannot be read -> OSError subclass

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace curvix {

// A file that cannot be read: the errno of the failure, the path as given
// (UTF-8, or the bytes given to read_icd_file_native) and the reason, the text OSError calls strerror: the system's text
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
// The same for a path in the file system's own bytes (any bytes but NUL, as
// Python's os.fsencode gives them), so that a name that is not UTF-8 can be
// read; FileError carries those bytes as its path.
std::string read_icd_file_native(std::string_view path);

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

// ----------------------------------------------------------- the grammar

// One element line of an ICD file, read but not yet built.
//   type 1: value[0] = length
//   type 2: value[0] = radius, value[1] = length
//   type 3, 4: value[0] = A, value[1] = R
//   type 5, 6: value[0] = A, value[1] = R1, value[2] = R2
struct IcdRecord {
    std::size_t line = 0;  // 1-based line number in the file
    int type = 0;
    double value[3] = {0.0, 0.0, 0.0};
    int direction = 0;       // types 2 to 6
    bool has_azimuth = false;  // the explicit start azimuth of types 1 and 2
    double azimuth = 0.0;      // as written, radians
};

// A whole ICD file, read by one grammar.
struct IcdDocument {
    std::u16string text;  // the decoded lines joined with LF (PQX::Text)
    bool has_start_station = false;  // line 1 present
    double start_station = 0.0;
    bool has_start = false;  // line 2 present
    double start_y = 0.0;
    double start_x = 0.0;
    double start_azimuth = 0.0;  // as written, radians (no degree round trip)
    std::vector<IcdRecord> records;
    std::size_t end_line = 0;  // line number of the end line, 0 when there is none
};

enum class IcdGrammar {
    // Exactly what the format has always accepted: longest numeric prefixes,
    // any integer direction, no value checks; failures are the standard
    // exception kinds listed at the top of this file, in the same order.
    legacy,
    // Only files that the legacy grammar reads to the same alignment, and
    // only sensible ones: every number field is a number and nothing else
    // (ASCII, C-locale white space around it allowed) and finite; line 1 one
    // number, line 2 three; type codes 1 to 6 and directions +1/-1 written
    // as whole numbers; lengths, radii and A > 0; the exact field count of
    // each line kind; no blank lines before the end line; at least one
    // element. A three-field line that the legacy grammar reads as the end
    // line (integer part of its third field 0) is taken as the end line only
    // if its type field does not read as an element type (a "1,200,0.6" would
    // silently drop a straight) and only blank or comment lines follow it.
    // Every refusal is an IcdError (the first one met, in file order), also
    // for invalid UTF-8 anywhere in the file.
    strict,
};

// A refusal of the strict grammar: the 1-based line, the 1-based field (0
// when the whole line is at fault) and an English message; what() is
// "line L, field F: message" (or "line L: message").
class IcdError : public std::invalid_argument {
public:
    IcdError(std::size_t line, std::size_t field, const std::string& message);
    std::size_t line() const noexcept { return line_; }
    std::size_t field() const noexcept { return field_; }
    const std::string& message() const noexcept { return message_; }

private:
    std::size_t line_;
    std::size_t field_;
    std::string message_;
};

// Reads UTF-8 bytes as an ICD file (decoding and line rules as
// split_icd_lines; lines after the end line are kept in text and never
// interpreted). Empty bytes give, in the legacy grammar, a document without
// line 1 and with empty text. The lines are cut from the text one at a time:
// no vector of lines is built, whatever the number of lines.
IcdDocument read_icd_document(std::string_view bytes, IcdGrammar grammar);

}  // namespace curvix
