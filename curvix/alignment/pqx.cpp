#include "curvix/alignment/pqx.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/geometry/error.hpp"

namespace curvix {

// ------------------------------------------------------------------ loading

PQX::PQX(const std::u16string& path) { load_text(read_icd_file(path)); }

std::unique_ptr<PQX> PQX::from_bytes(std::string_view bytes) {
    auto pqx = std::make_unique<PQX>();
    pqx->load_text(bytes);
    return pqx;
}

namespace {

std::unique_ptr<PQXElement> legacy_element(const IcdRecord& r, const Vector& point,
                                           const Angle& azimuth) {
    switch (r.type) {
        case 1: return std::make_unique<Straight>(point, azimuth, r.value[0]);
        case 2: return std::make_unique<Arc>(point, azimuth, r.value[0], r.value[1], r.direction);
        case 3: return Sprial::entering(point, azimuth, r.value[0], r.value[1], r.direction);
        case 4: return Sprial::leaving(point, azimuth, r.value[0], r.value[1], r.direction);
        case 5:
        case 6:
            return std::make_unique<Sprial>(r.type, point, azimuth, r.value[0], r.value[1], r.value[2],
                                            r.direction);
        default: throw Error(kGeneralError);  // no grammar yields another type
    }
}

}  // namespace

LegacyChain build_legacy_chain(const IcdDocument& document) {
    LegacyChain chain;
    if (document.has_start) {
        chain.start_point = Vector(document.start_x, document.start_y, 0.0);
        // Stored through a degree round trip, as the format always has.
        chain.start_angle =
            Angle(document.start_azimuth / Angle::PI * 180.0 / 180.0 * Angle::PI);
    }
    Vector point = chain.start_point;
    Angle azimuth = chain.start_angle;
    chain.elements.reserve(document.records.size());
    for (const IcdRecord& r : document.records) {
        // An explicit azimuth replaces the running one; the element's end
        // then carries on as the running point and azimuth.
        if (r.has_azimuth) azimuth = Angle(r.azimuth);
        std::unique_ptr<PQXElement> element = legacy_element(r, point, azimuth);
        azimuth = element->get_end_angle();
        point = element->get_point(element->length);
        chain.elements.push_back(std::move(element));
    }
    return chain;
}

// The document's text becomes Text (the lines joined with LF, lines after
// the end line included); empty bytes leave the empty alignment with empty
// Text. end_pk sums the lengths from 0 in file order and adds start_pk last.
void PQX::load_text(std::string_view bytes) {
    IcdDocument document = read_icd_document(bytes, IcdGrammar::legacy);
    Text = std::move(document.text);
    if (!document.has_start_station) return;
    start_pk = document.start_station;

    LegacyChain chain = build_legacy_chain(document);
    start_point = chain.start_point;
    start_angle = chain.start_angle;
    elements = std::move(chain.elements);

    double total = 0.0;
    for (const auto& e : elements) total += e->length;
    end_pk = total + start_pk;
}

// ------------------------------------------------------------ station table

namespace {
std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}
}  // namespace

const std::vector<double>& PQX::station_table() const {
    const std::uint64_t bits = bits_of(start_pk);
    if (table_.count == elements.size() && table_.start_bits == bits) return table_.stations;

    auto& s = table_.stations;
    s.resize(elements.size() + 1);
    s[0] = start_pk;
    bool sorted = std::isfinite(s[0]);
    for (std::size_t k = 1; k < s.size(); ++k) {
        s[k] = s[k - 1] + elements[k - 1]->length;
        sorted = sorted && std::isfinite(s[k]) && s[k] >= s[k - 1];
    }
    table_.sorted = sorted;
    table_.start_bits = bits;
    table_.count = elements.size();
    return s;
}

std::pair<std::size_t, double> PQX::locate(double pk) const {
    const std::vector<double>& s = station_table();
    const std::size_t n = elements.size();
    // i: the first boundary above pk (n + 1 when there is none), exactly as a
    // scan from the start finds it. On a finite non-decreasing table the
    // binary search gives the same index.
    std::size_t i;
    if (table_.sorted) {
        i = static_cast<std::size_t>(std::upper_bound(s.begin(), s.end(), pk) - s.begin());
    } else {
        i = 0;
        while (i <= n && !(s[i] > pk)) ++i;
    }
    std::size_t k = (i == n + 1) ? n : i;
    if (k == 0) k = 1;  // unreachable for start_pk <= pk; keeps the index valid
    const double base = (pk == end_pk) ? s[n - 1] : s[k - 1];
    return {k - 1, base};
}

// ----------------------------------------------------- station to coordinate

Vector PQX::get_coordinate(double pk) const {
    if (pk < start_pk) return get_coordinate(start_pk);
    if (!(pk <= end_pk)) return Vector();
    if (elements.empty()) throw std::invalid_argument("the alignment has no elements");
    const auto [index, base] = locate(pk);
    return elements[index]->get_point(pk - base);
}

Vector PQX::get_dir(double pk, double d) const {
    double p1;
    double p2;
    if (pk == end_pk) {
        p1 = pk - d;
        p2 = pk;
    } else if (pk == start_pk) {
        p1 = pk;
        p2 = pk + d;
    } else {
        p1 = pk - d;
        p2 = pk + d;
    }
    // Within the alignment, a chord end beyond end_pk is taken at end_pk, so
    // the chord stays on the alignment instead of pointing at the origin.
    if (pk <= end_pk) {
        if (p1 > end_pk) p1 = end_pk;
        if (p2 > end_pk) p2 = end_pk;
    }
    const Vector a = get_coordinate(p1);
    const Vector b = get_coordinate(p2);
    const double dx = a.X() - b.X();
    const double dy = a.Y() - b.Y();
    const double len = std::sqrt(dx * dx + dy * dy);
    return Vector((b.X() - a.X()) / len, (b.Y() - a.Y()) / len, 0.0);
}

}  // namespace curvix
