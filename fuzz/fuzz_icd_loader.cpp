// libFuzzer target: arbitrary bytes as ICD text through PQX::from_bytes,
// and through the strict grammar.
//
// The load either succeeds or throws one of the loader's documented failures
// (icd_reader.hpp) with its documented text; anything else aborts. A loaded
// alignment must hold the loader's invariants and answer the station queries:
// get_coordinate below, inside, at and above its range and at NaN, get_dir,
// and a nearest-station search. The strict grammar either refuses with an
// IcdError naming a line of the file, or accepts a document with elements
// that the legacy grammar reads to the very same records.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/pqx.hpp"
#include "curvix/geometry/error.hpp"
#include "fuzz_support.hpp"

namespace {

using curvix::PQX;
using curvix::Vector;
using namespace curvix_fuzz;

constexpr const char* kNoElements = "the alignment has no elements";

std::unique_ptr<PQX> load(std::string_view bytes) {
    try {
        return PQX::from_bytes(bytes);
    } catch (const curvix::FileError& e) {
        fail("FileError from bytes (no file is read)", e.what());
    } catch (const std::range_error& e) {
        expect_text(e, "range_error", {"bad conversion"});
    } catch (const std::invalid_argument& e) {
        expect_text(e, "invalid_argument", {"invalid stod argument", "invalid stoi argument"});
    } catch (const std::out_of_range& e) {
        expect_text(e, "out_of_range", {"stod argument out of range", "stoi argument out of range"});
    } catch (const curvix::Error& e) {
        expect_text(e, "curvix::Error", {curvix::kGeneralError});
    } catch (const std::exception& e) {
        fail("undocumented exception from the loader", e.what());
    } catch (...) {
        fail("non-standard exception from the loader");
    }
    return nullptr;
}

void check_loaded(const PQX& p, std::string_view bytes) {
    // Lines: one per LF, plus the text after the last LF if there is any.
    std::size_t lines = 0;
    for (char c : bytes) lines += (c == '\n');
    if (!bytes.empty() && bytes.back() != '\n') ++lines;
    std::size_t lfs = 0;
    for (char16_t c : p.Text) lfs += (c == u'\n');
    if (lines > 0 && lfs != lines - 1) fail("Text does not join the lines with one LF each");
    if (p.Text.size() > bytes.size()) fail("Text longer than the bytes it was decoded from");

    double total = 0.0;
    Vector running = p.start_point;
    for (const auto& e : p.elements) {
        if (e->type < 1 || e->type > 6) fail("element with a type code outside 1..6");
        if (!same(e->start_point, running)) fail("element does not start where the previous ends");
        if (e->start_point.Z() != 0.0) fail("element start point with Z != 0");
        running = e->get_point(e->length);
        total += e->length;
    }
    if (bits(p.end_pk) != bits(total + p.start_pk)) {
        fail("end_pk is not the sum of the lengths plus start_pk", show(p.end_pk));
    }
}

// get_coordinate must follow its rules at every station, and throw only the
// documented failure of an alignment without elements.
bool coordinate(const PQX& p, double pk, Vector& out) {
    try {
        out = p.get_coordinate(pk);
        return true;
    } catch (const std::invalid_argument& e) {
        expect_text(e, "get_coordinate", {kNoElements});
        if (!p.elements.empty()) fail("no-elements failure on an alignment with elements");
        if (!(pk <= p.end_pk) && !(pk < p.start_pk)) fail("no-elements failure above end_pk");
    } catch (const std::exception& e) {
        fail("undocumented exception from get_coordinate", e.what());
    }
    return false;
}

void query(const PQX& p) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double lo = p.start_pk;
    const double hi = p.end_pk;
    const double mid = lo + (hi - lo) * 0.5;

    Vector at_start;
    const bool start_ok = coordinate(p, lo, at_start);
    for (double below : {lo - 1.0, lo - 1e6, std::nextafter(lo, -inf), -inf}) {
        Vector v;
        const bool ok = coordinate(p, below, v);
        if (below < lo && (ok != start_ok || (ok && !same(v, at_start)))) {
            fail("a station below start_pk is not answered as start_pk", show(below));
        }
    }
    for (double above : {hi + 1.0, std::nextafter(hi, inf), inf, nan}) {
        if (above < lo) continue;  // start_pk above end_pk: the rule below applies
        Vector v;
        if (!coordinate(p, above, v) || !is_zero(v)) {
            if (!(above <= hi)) fail("a station above end_pk or NaN is not the zero vector", show(above));
        }
    }
    Vector v;
    coordinate(p, mid, v);
    coordinate(p, hi, v);

    for (double pk : {lo, mid, hi}) {
        for (double d : {1.0, 1e-4, 0.0, -1.0, nan}) {
            try {
                const Vector dir = p.get_dir(pk, d);
                if (dir.Z() != 0.0) fail("get_dir with Z != 0");
            } catch (const std::invalid_argument& e) {
                expect_text(e, "get_dir", {kNoElements});
                if (!p.elements.empty()) fail("get_dir: no-elements failure with elements");
            } catch (const std::exception& e) {
                fail("undocumented exception from get_dir", e.what());
            }
        }
    }

    // Nearest station to a point near the start of the alignment.
    const double x = p.start_point.X() + 3.0;
    const double y = p.start_point.Y() + 4.0;
    try {
        const double s = p.get_station_by_point(x, y, 10, 1e-9);
        // Each interval's search answers a station of its own interval.
        // (A range wider than the largest double has no finite step.)
        if (lo <= hi && std::isfinite(hi - lo)) {
            const double slack = 1e-9 * (1.0 + std::fmax(std::fabs(lo), std::fabs(hi)));
            if (!(s >= lo - slack && s <= hi + slack)) {
                fail("get_station_by_point outside [start_pk, end_pk]", show(s));
            }
        }
    } catch (const std::invalid_argument& e) {
        expect_text(e, "get_station_by_point", {kNoElements});
        if (!p.elements.empty()) fail("get_station_by_point: no-elements failure with elements");
    } catch (const std::exception& e) {
        fail("undocumented exception from get_station_by_point", e.what());
    }
}

std::string document_difference(const curvix::IcdDocument& a, const curvix::IcdDocument& b) {
    if (a.text != b.text) return "text";
    if (a.has_start_station != b.has_start_station || a.has_start != b.has_start || a.end_line != b.end_line ||
        bits(a.start_station) != bits(b.start_station) || bits(a.start_x) != bits(b.start_x) ||
        bits(a.start_y) != bits(b.start_y) || bits(a.start_azimuth) != bits(b.start_azimuth)) {
        return "start values or end line";
    }
    if (a.records.size() != b.records.size()) return "record count";
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        const curvix::IcdRecord& x = a.records[i];
        const curvix::IcdRecord& y = b.records[i];
        if (x.line != y.line || x.type != y.type || x.direction != y.direction ||
            x.has_azimuth != y.has_azimuth || bits(x.azimuth) != bits(y.azimuth) ||
            bits(x.value[0]) != bits(y.value[0]) || bits(x.value[1]) != bits(y.value[1]) ||
            bits(x.value[2]) != bits(y.value[2])) {
            return "record of line " + std::to_string(x.line);
        }
    }
    return std::string();
}

void check_strict(std::string_view bytes) {
    std::size_t lines = 0;
    for (char c : bytes) lines += (c == '\n');
    if (!bytes.empty() && bytes.back() != '\n') ++lines;

    curvix::IcdDocument strict;
    try {
        strict = curvix::read_icd_document(bytes, curvix::IcdGrammar::strict);
    } catch (const curvix::IcdError& e) {
        // The line after the last one is named when elements are missing.
        if (e.line() < 1 || e.line() > lines + 1) fail("IcdError names no line of the file", e.what());
        if (e.message().empty()) fail("IcdError without a message");
        return;
    } catch (const std::exception& e) {
        fail("strict grammar threw something else than IcdError", e.what());
    }
    if (strict.records.empty()) fail("strict grammar accepted a file without elements");
    curvix::IcdDocument legacy;
    try {
        legacy = curvix::read_icd_document(bytes, curvix::IcdGrammar::legacy);
    } catch (const std::exception& e) {
        fail("legacy grammar refuses what the strict one accepts", e.what());
    }
    const std::string difference = document_difference(strict, legacy);
    if (!difference.empty()) fail("strict and legacy grammar read differently", difference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check_strict(bytes);
    const std::unique_ptr<PQX> p = load(bytes);
    if (!p) return 0;
    check_loaded(*p, bytes);
    query(*p);
    return 0;
}
