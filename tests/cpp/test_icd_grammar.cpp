// The two ICD grammars: what the strict one refuses (line, field, message),
// that what it accepts the legacy one reads alike, and that the legacy
// records still build the sample alignments as the loader always has.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/pqx.hpp"

namespace {

using curvix::IcdDocument;
using curvix::IcdGrammar;

const std::string kHead = "100\n0,0,0\n";

std::string example(const std::string& name) {
    const std::string here = __FILE__;  // <repository>/tests/cpp/this file
    std::ifstream in(here.substr(0, here.rfind("/tests/")) + "/examples/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Refusal {
    const char* name;
    std::string in;
    std::size_t line, field;
    std::string message;
};
void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class StrictRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(StrictRefuses, NamingLineAndField) {
    const Refusal& c = GetParam();
    try {
        curvix::read_icd_document(c.in, IcdGrammar::strict);
        ADD_FAILURE() << "accepted";
    } catch (const curvix::IcdError& e) {
        EXPECT_EQ(e.message(), c.message);
        EXPECT_EQ(std::make_pair(e.line(), e.field()), std::make_pair(c.line, c.field));
        const std::string at = c.field ? ", field " + std::to_string(c.field) : "";
        EXPECT_EQ(e.what(), "line " + std::to_string(c.line) + at + ": " + c.message);
    }
}

const std::string kAzimuthAdvice =
    "end the list with 0,0,0, and give a straight's start azimuth with a non-zero integer part "
    "(0.6 + 2*pi = 6.883185307179586 points the same way)";

INSTANTIATE_TEST_SUITE_P(
    Table, StrictRefuses,
    ::testing::Values(
        Refusal{"empty_file", "", 1, 0, "the file is empty; line 1 gives the start station"},
        Refusal{"only_lf", "\n", 1, 0, "empty line; line 1 gives the start station"},
        Refusal{"byte_order_mark", "\xEF\xBB\xBF" "100\n0,0,0\n1,1", 1, 0,
                "the file starts with a byte order mark (U+FEFF); save it as UTF-8 without one"},
        Refusal{"station_letters", "3OO\n0,0,0\n1,1", 1, 1, "'3OO' is not a number"},
        Refusal{"station_overflow", "1e999\n0,0,0\n1,1", 1, 1, "'1e999' is out of range"},
        Refusal{"station_two_fields", "100,5\n0,0,0\n1,1", 1, 0,
                "line 1 gives the start station, one number; this one has 2 fields"},
        Refusal{"no_line_2", "100\n", 2, 0,
                "line 2 is missing; it gives the start point and azimuth as Y,X,azimuth"},
        Refusal{"line2_four_fields", "100\n0,0,0,0\n1,1", 2, 0,
                "line 2 (start point and azimuth: Y,X,azimuth) has 3 fields, this one has 4"},
        Refusal{"no_elements", kHead + "// none", 3, 0,
                "no element lines; an alignment needs at least one element from line 3 on"},
        Refusal{"end_line_first", kHead + "// none yet\n0,0,0", 4, 0,
                "the end line comes before any element line; an alignment needs at least one element"},
        Refusal{"length_nan", kHead + "1,nan", 3, 2, "length must be finite, got 'nan'"},
        Refusal{"length_suffix", kHead + "1,100m", 3, 2, "'100m' is not a number"},
        Refusal{"digit_look_alike", kHead + "1,\u0131", 3, 2, "'\u0131' is not a number"},
        Refusal{"nul_in_field", kHead + std::string("1,10\0" "5", 6), 3, 2, "'10\\x005' is not a number"},
        Refusal{"radius_negative", kHead + "2,-500,50,1", 3, 2, "radius must be greater than 0, got '-500'"},
        Refusal{"spiral_zero_a", kHead + "3,0,100,1", 3, 2, "A must be greater than 0, got '0'"},
        Refusal{"spiral_empty_r2", kHead + "5,1,2, ,1", 3, 4, "radius R2 is empty"},
        Refusal{"type_decimal", kHead + "2.0,300,50,1", 3, 1,
                "element type must be a whole number from 1 to 6, got '2.0'"},
        Refusal{"type_7", kHead + "7,100", 3, 1, "element type must be a whole number from 1 to 6, got '7'"},
        Refusal{"direction_2", kHead + "2,300,50,2", 3, 4, "direction must be 1 (right) or -1 (left), got '2'"},
        Refusal{"arc_three_fields", kHead + "2,300,50", 3, 0,
                "a type 2 line (arc: 2,radius,length,direction[,azimuth]) has 4 or 5 fields, this one has 3"},
        Refusal{"spiral_five_fields", kHead + "3,1,2,1,0.5", 3, 0,
                "a type 3 line (spiral from a tangent: 3,A,R,direction) has 4 fields, this one has 5"},
        Refusal{"straight_four_fields", kHead + "1,100,2.5,9", 3, 0,
                "a type 1 line (straight: 1,length[,azimuth]) has 2 or 3 fields, this one has 4"},
        Refusal{"blank_line_among_elements", kHead + "1,100\n \n1,100", 4, 0,
                "empty line; remove it or start it with //"},
        Refusal{"indented_comment", kHead + "1,100\n // note", 4, 0,
                "a comment starts with // at the very beginning of its line"},
        Refusal{"azimuth_read_as_end_line", kHead + "1,100\n1,200,0.6\n// c\n1,50", 4, 3,
                "'1,200,0.6' reads as the end line because the integer part of its third field is 0, so the "
                "lines after it would be ignored; " + kAzimuthAdvice},
        // Legacy drops this straight silently: it is taken for the end line.
        Refusal{"last_straight_read_as_end_line", kHead + "1,100\n1,200,0.6\n\n", 4, 3,
                "'1,200,0.6' reads as the end line because the integer part of its third field is 0, so it is "
                "not read as an element; " + kAzimuthAdvice},
        Refusal{"azimuth_without_integer_part", kHead + "1,100,.5", 3, 3,
                "the third field of a three-field line is first read as a whole number (the end-line test), "
                "and '.5' cannot be read as one; give a straight's start azimuth with a non-zero integer part "
                "(.5 + 2*pi = 6.783185307179586 points the same way)"},
        Refusal{"elements_after_end_line", kHead + "1,100\n0,0,0\n//\n1,50", 4, 0,
                "'0,0,0' is the end line, so the lines after it (from line 6) would be ignored; put the end "
                "line after the last element, or remove it"},
        Refusal{"bad_utf8_after_end_line", kHead + "1,100\n0,0,0\r\n// \xB6\xC1", 5, 0,
                "the line is not valid UTF-8 text"},
        // Beyond the first 64 KiB block that is decoded at once.
        Refusal{"bad_utf8_far_down", kHead + "1,1\n0,0,0" + std::string(70001, '\n') + "\xE4\xB8", 70005, 0,
                "the line is not valid UTF-8 text"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every member of a document, doubles as their bits.
std::string describe(const IcdDocument& d) {
    std::string out = curvix::utf16_to_utf8(d.text);
    const auto add = [&out](auto... values) { ((out += " " + std::to_string(values)), ...); };
    const auto bits = [](double v) { std::uint64_t u; std::memcpy(&u, &v, sizeof u); return u; };
    add(d.has_start_station, d.has_start, d.end_line, bits(d.start_station), bits(d.start_y), bits(d.start_x),
        bits(d.start_azimuth));
    for (const curvix::IcdRecord& r : d.records) {
        out += "\n";
        add(r.line, r.type, bits(r.value[0]), bits(r.value[1]), bits(r.value[2]), r.direction, r.has_azimuth,
            bits(r.azimuth));
    }
    return out;
}

// Strict acceptance implies the legacy reading gives the same document.
// Returns whether the strict grammar accepted.
bool check_strict_implies_legacy(const std::string& in) {
    IcdDocument strict;
    try {
        strict = curvix::read_icd_document(in, IcdGrammar::strict);
    } catch (const curvix::IcdError&) {
        return false;
    }
    try {
        EXPECT_EQ(describe(strict), describe(curvix::read_icd_document(in, IcdGrammar::legacy)));
    } catch (const std::exception& e) {
        ADD_FAILURE() << "the legacy grammar refuses (" << e.what() << ") what the strict one accepts:\n" << in;
    }
    return true;
}

TEST(StrictGrammar, AcceptedFilesReadAlikeInLegacy) {
    const std::string accepted[] = {
        example("railway_10km.icd"), example("worked_example.icd"),
        " 100 \r\n 1.5e2 ,\t-2, 0x1p-2\r\n//\xE6\xB3\xA8\r\n02,300,50,+1\r\n1,100,2.5\r\n1,1,1e-3\r\n",
        kHead + "2,300,50,-1,0.25\n5,200,400,100,1\n6,200,100,400,-1\n0,0, 0 \n\n// after\n \n",
        kHead + "1,100\n7,7,0\n//",  // a three-field end line that is no element
    };
    for (const std::string& in : accepted) EXPECT_TRUE(check_strict_implies_legacy(in)) << in;
}

TEST(StrictGrammar, MutatedSamplesReadAlikeInLegacyWhenAccepted) {
    // One to three characters replaced, inserted or dropped, from a set that
    // makes numbers, fields, lines, comments and end lines, and U+0131 (the
    // digit 1 to the legacy reader's narrowing).
    const std::string alphabet[] = {"0", "1", "2", "5", "9", ".", ",", "-", "+", " ", "e", "\n", "/",
                                    "x", "\t", "\r", "\xC4\xB1", std::string(1, '\0')};
    std::mt19937 rng(11);
    int accepted = 0;
    int tried = 0;
    for (const std::string& sample : {example("railway_10km.icd"), example("worked_example.icd")}) {
        for (int i = 0; i < 4000; ++i, ++tried) {
            std::string in = sample;
            for (auto k = 1 + rng() % 3; k > 0 && !in.empty(); --k) {
                const std::size_t at = rng() % in.size();
                const std::string& piece = alphabet[rng() % std::size(alphabet)];
                switch (rng() % 3) {
                    case 0: in.replace(at, 1, piece); break;
                    case 1: in.insert(at, piece); break;
                    default: in.erase(at, 1);
                }
            }
            accepted += check_strict_implies_legacy(in);
        }
    }
    // Both outcomes must be common, or the property says little.
    EXPECT_GT(accepted, tried / 10);
    EXPECT_LT(accepted, tried * 9 / 10);
}

TEST(LegacyChain, BuildsTheSamplesAsTheLoaderAlwaysHas) {
    // Element count, end station, point at the end station and end azimuth, as
    // printed with %.17g by the loader before it was split into the reader's
    // records and build_legacy_chain.
    struct Golden {
        const char* file;
        std::size_t elements;
        double end_pk, x, y, azimuth;
    } const goldens[] = {
        {"railway_10km.icd", 21, 22300.447222222225, 20965.649700978254, 38769.438238865805, -0.92735615354938261},
        {"worked_example.icd", 5, 600, 788.16428376186047, 343.47949519809146, 2},
    };
    for (const Golden& g : goldens) {
        const auto p = curvix::PQX::from_bytes(example(g.file));
        ASSERT_EQ(p->elements.size(), g.elements) << g.file;
        const curvix::Vector end = p->get_coordinate(p->end_pk);
        const std::vector<double> got = {p->end_pk, end.X(), end.Y(),
                                         p->elements.back()->get_end_angle().GetRadian()};
        EXPECT_EQ(got, (std::vector<double>{g.end_pk, g.x, g.y, g.azimuth})) << g.file;
    }
}

}  // namespace
