// The ICD reader's number fields: C-locale strtod / strtol on the longest
// numeric prefix, with the failures of the legacy reader (see icd_reader.hpp).

#include <locale.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/icd_reader_detail.hpp"

namespace curvix {

namespace icd_detail {

locale_t c_locale() {
    static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) throw std::bad_alloc();
    return loc;
}

}  // namespace icd_detail

namespace {

using icd_detail::c_locale;
using icd_detail::SavedErrno;

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

}  // namespace

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

}  // namespace curvix
