// Unit tests of the ICD reader: UTF-8 decoding, lines, fields, numbers and
// reading files of every kind.

#include "curvix/alignment/icd_reader.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using curvix::FileError;
using namespace std::string_literals;

std::string bytes(std::initializer_list<unsigned> values) {
    std::string s;
    for (unsigned v : values) s.push_back(static_cast<char>(v));
    return s;
}

template <class Fn>
std::string range_error_text(Fn&& fn) {
    try {
        fn();
    } catch (const std::range_error& e) {
        return e.what();
    }
    return "<no range_error>";
}

// ------------------------------------------------------------------ UTF-8

TEST(Utf8Decoder, DecodesTextAcrossAsciiRuns) {
    // Non-ASCII before, inside and right after runs of eight ASCII bytes, and
    // a NUL, which is an ordinary character.
    const std::pair<std::string, std::u16string> cases[] = {
        {"", u""},
        {"a\0b"s, u"a\0b"s},
        {"12345678é", u"12345678é"},
        {"é1234567890123456读", u"é1234567890123456读"},
        {"x=\U0001F600,y=\U0010FFFF", u"x=\U0001F600,y=\U0010FFFF"},
    };
    for (const auto& [utf8, utf16] : cases) {
        EXPECT_EQ(curvix::utf8_to_utf16(utf8), utf16);
        EXPECT_EQ(curvix::utf16_to_utf8(utf16), utf8);
    }
}

struct Utf8Case {
    const char* name;
    std::string in;
};
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Invalid : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Invalid, ThrowsBadConversionAloneAndInText) {
    const std::string& bad = GetParam().in;
    for (const std::string& in : {bad, "12345678" + bad + "9", "// comment: " + bad}) {
        EXPECT_EQ(range_error_text([&] { curvix::utf8_to_utf16(in); }), "bad conversion");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, Utf8Invalid,
    ::testing::Values(Utf8Case{"stray_continuation", bytes({0xBF})},
                      Utf8Case{"overlong_two_byte_c0", bytes({0xC0, 0xAF})},
                      Utf8Case{"overlong_two_byte_c1", bytes({0xC1, 0xBF})},
                      Utf8Case{"overlong_three_byte", bytes({0xE0, 0x9F, 0xBF})},
                      Utf8Case{"overlong_four_byte", bytes({0xF0, 0x8F, 0xBF, 0xBF})},
                      Utf8Case{"surrogate", bytes({0xED, 0xA0, 0x80})},
                      Utf8Case{"surrogate_pair", bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
                      Utf8Case{"above_10ffff", bytes({0xF4, 0x90, 0x80, 0x80})},
                      Utf8Case{"lead_f5", bytes({0xF5, 0x80, 0x80, 0x80})},
                      Utf8Case{"lead_ff", bytes({0xFF})},
                      Utf8Case{"truncated", bytes({0xF0, 0x9F, 0x98})},
                      Utf8Case{"ascii_for_continuation", bytes({0xE4, 'A', 0x80})},
                      Utf8Case{"legacy_double_byte", bytes({0xB6, 0xC1, 0xC8, 0xA1})}),
    [](const auto& info) { return std::string(info.param.name); });

std::u16string units_of(std::uint32_t cp) {
    if (cp < 0x10000) return std::u16string(1, static_cast<char16_t>(cp));
    cp -= 0x10000;
    return {static_cast<char16_t>(0xD800 + (cp >> 10)), static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
}

// Decoding straight from the definition of UTF-8: each sequence spells a code
// point that must need exactly that many bytes, must not be a surrogate and
// must not exceed U+10FFFF.
std::optional<std::u16string> reference_decode(const std::string& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (lead < 0x80) len = 1, cp = lead;
        else if ((lead & 0xE0) == 0xC0) len = 2, cp = lead & 0x1Fu;
        else if ((lead & 0xF0) == 0xE0) len = 3, cp = lead & 0x0Fu;
        else if ((lead & 0xF8) == 0xF0) len = 4, cp = lead & 0x07u;
        else return std::nullopt;
        if (s.size() - i < len) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        const std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out += units_of(cp);
        i += len;
    }
    return out;
}

void expect_matches_reference(const std::string& s) {
    const std::optional<std::u16string> expected = reference_decode(s);
    try {
        const std::u16string got = curvix::utf8_to_utf16(s);
        ASSERT_TRUE(expected.has_value()) << "accepted invalid input, lead byte "
                                          << +static_cast<unsigned char>(s[0]) << ", length " << s.size();
        ASSERT_EQ(got, *expected);
    } catch (const std::range_error&) {
        ASSERT_FALSE(expected.has_value()) << "refused valid input, lead byte "
                                           << +static_cast<unsigned char>(s[0]) << ", length " << s.size();
    }
}

TEST(Utf8Decoder, AgreesWithDefinitionOnEveryOneAndTwoByteSequence) {
    for (unsigned a = 0; a < 256; ++a) {
        expect_matches_reference(bytes({a}));
        for (unsigned b = 0; b < 256; ++b) expect_matches_reference(bytes({a, b}));
    }
}

TEST(Utf8Decoder, AgreesWithDefinitionOnLongerSequencesAtRangeEdges) {
    // Every lead byte from E0 on, every second byte, and for the following
    // bytes the values at the edges of the continuation range.
    const unsigned edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    for (unsigned a = 0xE0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (unsigned c : edges) {
                expect_matches_reference(bytes({a, b, c}));
                for (unsigned d : edges) expect_matches_reference(bytes({a, b, c, d}));
            }
        }
    }
}

TEST(Utf8Decoder, EveryScalarValueRoundTrips) {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::u16string units = units_of(cp);
        const std::string encoded = curvix::utf16_to_utf8(units);
        ASSERT_EQ(reference_decode(encoded), units);
        ASSERT_EQ(curvix::utf8_to_utf16(encoded), units);
    }
}

TEST(Utf16Encoder, UnpairedSurrogatesThrowBadConversion) {
    const std::u16string cases[] = {
        {char16_t(0xD800)},
        {char16_t(0xDFFF)},
        {u'a', char16_t(0xDBFF)},
        {char16_t(0xD800), u'a'},
        {char16_t(0xDC00), char16_t(0xD800)},
        {char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)},
    };
    for (const std::u16string& c : cases) {
        EXPECT_EQ(range_error_text([&] { curvix::utf16_to_utf8(c); }), "bad conversion");
    }
}

// -------------------------------------------------------------------- lines

struct LinesCase {
    const char* name;
    std::string in;
    std::vector<std::u16string> out;
};
void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }

class SplitLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(SplitLines, CutsAtLineFeed) { EXPECT_EQ(curvix::split_icd_lines(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitLines,
    ::testing::Values(
        LinesCase{"empty", "", {}},
        LinesCase{"one_line_no_lf", "100", {u"100"}},
        LinesCase{"final_lf_adds_no_line", "100\n", {u"100"}},
        LinesCase{"second_lf_adds_empty_line", "100\n\n", {u"100", u""}},
        LinesCase{"only_lf", "\n", {u""}},
        LinesCase{"only_crlf", "\r\n", {u""}},
        LinesCase{"crlf", "1\r\n2\r\n", {u"1", u"2"}},
        LinesCase{"mixed_ends", "1\r\n2\n3", {u"1", u"2", u"3"}},
        LinesCase{"final_cr_stays", "1\n2\r", {u"1", u"2\r"}},
        LinesCase{"lone_cr_is_a_character", "1\r2\n", {u"1\r2"}},
        LinesCase{"one_of_two_crs_dropped", "x\r\r\n", {u"x\r"}},
        LinesCase{"cr_after_lf_starts_next_line", "1\n\r", {u"1", u"\r"}},
        LinesCase{"blank_lines_kept", "a\n\n \nb", {u"a", u"", u" ", u"b"}},
        LinesCase{"decoded", "读取\n// 注释\r\n", {u"读取", u"// 注释"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitLines, InvalidUtf8AnywhereFailsWholeText) {
    for (const std::string& in : {"100\n1,2,3\n0,0,0\n//\xB6\xC1"s, "\xEF\xBB\n1"s, "1\n\xC3\r\n"s}) {
        EXPECT_EQ(range_error_text([&] { curvix::split_icd_lines(in); }), "bad conversion");
    }
}

// ------------------------------------------------------------------- fields

struct FieldsCase {
    const char* name;
    std::u16string in;
    std::vector<std::u16string> out;
};
void PrintTo(const FieldsCase& c, std::ostream* os) { *os << c.name; }

class SplitFields : public ::testing::TestWithParam<FieldsCase> {};

TEST_P(SplitFields, CutsAtEveryComma) { EXPECT_EQ(curvix::split_icd_fields(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitFields,
    ::testing::Values(
        FieldsCase{"empty_line_is_one_field", u"", {u""}},
        FieldsCase{"no_comma", u"100", {u"100"}},
        FieldsCase{"three_fields", u"0,0,0", {u"0", u"0", u"0"}},
        FieldsCase{"trailing_comma", u"a,", {u"a", u""}},
        FieldsCase{"leading_comma", u",a", {u"", u"a"}},
        FieldsCase{"only_commas", u",,", {u"", u"", u""}},
        FieldsCase{"blanks_kept", u" 1 , 100 ,\t", {u" 1 ", u" 100 ", u"\t"}},
        FieldsCase{"semicolon_is_no_separator", u"1;100", {u"1;100"}},
        // U+012C narrows to ',' but is not a comma; nor is the fullwidth one.
        FieldsCase{"look_alike_commas", u"1\u012C2\uFF0C3,4", {u"1\u012C2\uFF0C3", u"4"}},
        FieldsCase{"cr_kept", u"1,2\r", {u"1", u"2\r"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ numbers

struct DoubleCase {
    const char* name;
    std::u16string in;
    bool narrow;
    double out;
};
void PrintTo(const DoubleCase& c, std::ostream* os) { *os << c.name; }

class ReadDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(ReadDouble, ReadsLongestPrefix) {
    const DoubleCase& c = GetParam();
    const double got = curvix::parse_icd_double(c.in, c.narrow);
    if (std::isnan(c.out)) {
        EXPECT_TRUE(std::isnan(got)) << got;
    } else {
        EXPECT_EQ(got, c.out);
        EXPECT_EQ(std::signbit(got), std::signbit(c.out));
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Prefixes, ReadDouble,
    ::testing::Values(
        DoubleCase{"unit_suffix_ignored", u"100m", true, 100.0},
        DoubleCase{"leading_blank", u" 1.5", true, 1.5},
        DoubleCase{"all_c_blanks", u"\t\n\v\f\r 2", true, 2.0},
        DoubleCase{"negative_zero", u"-0", true, -0.0},
        DoubleCase{"exponent", u"1e3", true, 1000.0},
        DoubleCase{"dangling_exponent", u"1e+", true, 1.0},
        DoubleCase{"leading_point", u".5", true, 0.5},
        DoubleCase{"decimal_comma_is_not_a_point", u"1,5", true, 1.0},
        DoubleCase{"hex_float", u"0x1p3", true, 8.0},
        DoubleCase{"hex_prefix_alone", u"0x", true, 0.0},
        DoubleCase{"infinity", u"-Infinity", true, -kInf},
        DoubleCase{"nan", u"nan", true, kNaN},
        DoubleCase{"smallest_normal", u"2.2250738585072014e-308", true, 2.2250738585072014e-308},
        DoubleCase{"exact_subnormal_is_no_range_error", u"0x1p-1074", true,
                   std::numeric_limits<double>::denorm_min()},
        DoubleCase{"zero_with_huge_exponent", u"0e-99999", true, 0.0},
        // The text ends at a unit that narrows to NUL.
        DoubleCase{"stops_at_nul", u"12\0" u"34"s, true, 12.0},
        DoubleCase{"stops_at_u0100", u"12\u0100" u"34", true, 12.0},
        DoubleCase{"stops_at_u0100_unicode", u"12\u0100" u"34", false, 12.0},
        // Narrowed, U+0131 is '1', U+0120 a blank, U+0135 '5'; read as
        // Unicode text, they are neither.
        DoubleCase{"narrowed_digit", u"\u0131", true, 1.0},
        DoubleCase{"narrowed_blank", u"\u0120" u"7", true, 7.0},
        DoubleCase{"narrowed_digit_appended", u"3\u0135", true, 35.0},
        DoubleCase{"unicode_look_alike_ends_number", u"3\u0135", false, 3.0},
        DoubleCase{"unicode_plain", u" -12.5e1x", false, -125.0}),
    [](const auto& info) { return std::string(info.param.name); });

// "<kind>: <message>" of what a number reader throws.
template <class Fn>
std::string number_error(Fn&& fn) {
    try {
        fn();
    } catch (const std::out_of_range& e) {
        return "out_of_range: "s + e.what();
    } catch (const std::invalid_argument& e) {
        return "invalid_argument: "s + e.what();
    }
    return "no exception";
}

const std::string kStodInvalid = "invalid_argument: invalid stod argument";
const std::string kStodRange = "out_of_range: stod argument out of range";
const std::string kStoiInvalid = "invalid_argument: invalid stoi argument";
const std::string kStoiRange = "out_of_range: stoi argument out of range";

struct FailCase {
    const char* name;
    std::u16string in;
    bool narrow;
    std::string error;
};
void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class ReadDoubleFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(ReadDoubleFails, WithStodError) {
    const FailCase& c = GetParam();
    EXPECT_EQ(number_error([&] { curvix::parse_icd_double(c.in, c.narrow); }), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadDoubleFails,
    ::testing::Values(
        FailCase{"empty", u"", true, kStodInvalid}, FailCase{"blank", u"  \t\r", true, kStodInvalid},
        FailCase{"comment", u"// start", true, kStodInvalid}, FailCase{"point", u".", true, kStodInvalid},
        FailCase{"sign", u"-", true, kStodInvalid}, FailCase{"exponent_only", u"e5", true, kStodInvalid},
        FailCase{"two_signs", u"+-1", true, kStodInvalid},
        FailCase{"leading_nul", u"\0" u"1"s, true, kStodInvalid},
        FailCase{"bom", u"\uFEFF" u"100", true, kStodInvalid},
        FailCase{"bom_unicode", u"\uFEFF" u"100", false, kStodInvalid},
        FailCase{"fullwidth_digit", u"\uFF11", true, kStodInvalid},
        FailCase{"unicode_digit_look_alike", u"\u0131", false, kStodInvalid},
        FailCase{"unicode_blank_look_alike", u"\u0120" u"7", false, kStodInvalid},
        FailCase{"unicode_nbsp", u"\u00A0" u"7", false, kStodInvalid},
        // strtod's range errors: overflow, and inexact results below the
        // normal range (zero or subnormal).
        FailCase{"overflow", u"-1e400", true, kStodRange},
        FailCase{"just_over_max", u"1.7976931348623159e308", true, kStodRange},
        FailCase{"hex_overflow", u"0x1p1024", true, kStodRange},
        FailCase{"underflow_to_zero", u"1e-400", true, kStodRange},
        FailCase{"subnormal", u"1e-310", true, kStodRange},
        FailCase{"just_below_normal", u"2.2250738585072011e-308", true, kStodRange},
        FailCase{"unicode_overflow", u"1e999", false, kStodRange}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadInt, ReadsDecimalPrefix) {
    const std::pair<std::u16string, int> cases[] = {
        {u"02", 2},          {u"1.9", 1},      {u"-0.3", 0},     {u" -3x", -3},
        {u"+7", 7},          {u"0x10", 0},     {u"010", 10},     {u"1e3", 1},
        {u"2147483647", INT_MAX}, {u"-2147483648", INT_MIN}, {u"\u0131", 1}, {u"5\0" u"5"s, 5},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(curvix::parse_icd_int(in), out);
}

class ReadIntFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(ReadIntFails, WithStoiError) {
    EXPECT_EQ(number_error([&] { curvix::parse_icd_int(GetParam().in); }), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadIntFails,
    ::testing::Values(
        FailCase{"empty", u"", true, kStoiInvalid}, FailCase{"blank", u" ", true, kStoiInvalid},
        FailCase{"letter", u"x", true, kStoiInvalid}, FailCase{"leading_point", u".5", true, kStoiInvalid},
        FailCase{"sign_only", u"-", true, kStoiInvalid}, FailCase{"comment", u" //", true, kStoiInvalid},
        FailCase{"bom", u"\uFEFF" u"1", true, kStoiInvalid},
        FailCase{"above_int", u"2147483648", true, kStoiRange},
        FailCase{"below_int", u"-2147483649", true, kStoiRange},
        FailCase{"above_long", u"99999999999999999999", true, kStoiRange},
        FailCase{"below_long", u"-99999999999999999999", true, kStoiRange}),
    [](const auto& info) { return std::string(info.param.name); });

// Switches the process to a locale whose decimal point is a comma for one
// test. Tries the installed names first; else builds de_DE.UTF-8 into a
// temporary folder when the system has the tools for it.
class CommaLocale {
public:
    CommaLocale() {
        const char* old = std::setlocale(LC_ALL, nullptr);
        saved_ = old != nullptr ? old : "C";
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
            if (std::setlocale(LC_ALL, name) != nullptr) {
                check_decimal_comma();
                return;
            }
        }
        char dir[] = "/tmp/curvix-locale-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        const std::string cmd =
            "localedef -i de_DE -f UTF-8 '" + dir_ + "/de_DE.UTF-8' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return;
        ::setenv("LOCPATH", dir_.c_str(), 1);
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) check_decimal_comma();
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, saved_.c_str());
        if (!dir_.empty()) {
            ::unsetenv("LOCPATH");
            std::system(("rm -rf '" + dir_ + "'").c_str());
        }
    }
    bool active() const { return active_; }

private:
    void check_decimal_comma() { active_ = std::strtod("1,5", nullptr) == 1.5; }
    std::string saved_;
    std::string dir_;
    bool active_ = false;
};

TEST(ReadNumbers, IgnoreProcessLocale) {
    CommaLocale locale;
    if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma can be set";
    EXPECT_EQ(curvix::parse_icd_double(u"1.5"), 1.5);
    EXPECT_EQ(curvix::parse_icd_double(u"1.5", false), 1.5);
    EXPECT_EQ(curvix::parse_icd_double(u"1,5"), 1.0);
    EXPECT_EQ(curvix::parse_icd_int(u"1.234"), 1);
}

// -------------------------------------------------------------------- files

std::u16string u16(const std::string& utf8) { return curvix::utf8_to_utf16(utf8); }

class ReadFile : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/curvix-reader-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::system(("chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str()); }

    std::string write(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    static FileError file_error(const std::string& path) {
        try {
            curvix::read_icd_file(u16(path));
        } catch (const FileError& e) {
            return e;
        }
        ADD_FAILURE() << "no FileError for " << path;
        return FileError(0, path, "");
    }

    std::string dir_;
};

TEST_F(ReadFile, ReturnsContentUnchanged) {
    std::string large(3 * 1024 * 1024 + 7, '\0');
    std::uint32_t x = 12345;
    for (char& c : large) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const std::pair<std::string, std::string> cases[] = {
        {"empty.icd", ""},
        {"raw.icd", "100\r\n\xB6\xC1\0\r"s},  // not decoded here
        {"线路 ä.icd", "100"},
        {"large.icd", large},
    };
    for (const auto& [name, content] : cases) {
        EXPECT_EQ(curvix::read_icd_file(u16(write(name, content))), content) << name;
    }
}

TEST_F(ReadFile, ReadsFileWhoseSizeIsUnknown) {
    // Files under /proc are regular but report size 0.
    struct stat st {};
    if (::stat("/proc/self/status", &st) != 0 || st.st_size != 0) GTEST_SKIP() << "no /proc";
    EXPECT_NE(curvix::read_icd_file(u"/proc/self/status").find("Name:"), std::string::npos);
}

TEST_F(ReadFile, SizeLimitIsInclusive) {
    // Sparse files: no disk space is used.
    const std::string at_limit = write("at-limit.icd", "");
    const std::string over_limit = write("over-limit.icd", "");
    ASSERT_EQ(::truncate(at_limit.c_str(), static_cast<off_t>(curvix::kMaxIcdFileBytes)), 0);
    ASSERT_EQ(::truncate(over_limit.c_str(), static_cast<off_t>(curvix::kMaxIcdFileBytes + 1)), 0);

    const FileError e = file_error(over_limit);
    EXPECT_EQ(e.error_number(), EFBIG);
    EXPECT_EQ(e.path(), over_limit);
    EXPECT_EQ(curvix::read_icd_file(u16(at_limit)).size(), curvix::kMaxIcdFileBytes);
}

TEST_F(ReadFile, PathWithUnpairedSurrogateIsBadConversion) {
    const std::u16string path = u16(dir_ + "/") + char16_t(0xDC80);
    EXPECT_EQ(range_error_text([&] { curvix::read_icd_file(path); }), "bad conversion");
}

}  // namespace
