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

bool is_comment(const std::u16string& line) {
    return line.size() >= 2 && line[0] == u'/' && line[1] == u'/';
}

}  // namespace

void PQX::append(std::unique_ptr<PQXElement> element, Vector& point, Angle& azimuth) {
    azimuth = element->get_end_angle();
    point = element->get_point(element->length);
    elements.push_back(std::move(element));
}

// The whole file is decoded before any line is interpreted, straight into
// Text: the lines joined with LF are the file with each CR LF turned into LF
// and one final LF dropped. Lines are then cut from Text one at a time, so a
// file of many short lines costs no more than its text (and the lines after
// the end line are never copied).
void PQX::load_text(std::string_view bytes) {
    const bool has_lines = !bytes.empty();
    Text = utf8_to_utf16(bytes);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == u'\r' && i + 1 < Text.size() && Text[i + 1] == u'\n') continue;
        Text[kept++] = Text[i];
    }
    Text.resize(kept);
    if (!Text.empty() && Text.back() == u'\n') Text.pop_back();
    Text.shrink_to_fit();
    if (!has_lines) return;

    Vector point;
    Angle azimuth;
    std::u16string line;
    std::size_t pos = 0;
    for (std::size_t index = 0; pos != std::u16string::npos; ++index) {
        const std::size_t end = Text.find(u'\n', pos);
        line.assign(Text, pos, end == std::u16string::npos ? std::u16string::npos : end - pos);
        pos = (end == std::u16string::npos) ? end : end + 1;
        if (index == 0) {
            start_pk = parse_icd_double(line, /*narrow=*/false);
            continue;
        }
        const std::vector<std::u16string> fields = split_icd_fields(line);
        const FieldReader f(fields);
        if (index == 1) {
            const double y = f.real(0);
            const double x = f.real(1);
            const double radians = f.real(2);
            start_point = Vector(x, y, 0.0);
            // Stored through a degree round trip, as the format always has.
            start_angle = Angle(radians / Angle::PI * 180.0 / 180.0 * Angle::PI);
            point = start_point;
            azimuth = start_angle;
            continue;
        }
        if (is_comment(line)) continue;
        // The end-line test comes before the type code is read.
        if (f.size() == 3 && f.integer(2) == 0) break;

        const int type = f.integer(0);
        switch (type) {
            case 1: {
                const double len = f.real(1);
                if (f.size() == 3) azimuth = Angle(f.real(2));
                append(std::make_unique<Straight>(point, azimuth, len), point, azimuth);
                break;
            }
            case 2: {
                const double radius = f.real(1);
                const double len = f.real(2);
                const int dir = f.integer(3);
                if (f.size() == 5) azimuth = Angle(f.real(4));
                append(std::make_unique<Arc>(point, azimuth, radius, len, dir), point, azimuth);
                break;
            }
            case 3:
            case 4: {
                const double A = f.real(1);
                const double R = f.real(2);
                const int dir = f.integer(3);
                append(type == 3 ? Sprial::entering(point, azimuth, A, R, dir)
                                 : Sprial::leaving(point, azimuth, A, R, dir),
                       point, azimuth);
                break;
            }
            case 5:
            case 6: {
                const double A = f.real(1);
                const double r1 = f.real(2);
                const double r2 = f.real(3);
                const int dir = f.integer(4);
                append(std::make_unique<Sprial>(type, point, azimuth, A, r1, r2, dir), point,
                       azimuth);
                break;
            }
            default: throw Error(kGeneralError);
        }
    }

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
