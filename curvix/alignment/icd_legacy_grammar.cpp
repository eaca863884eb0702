// The legacy grammar of ICD files: exactly what the format has always read
// (see icd_reader.hpp).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/icd_reader_detail.hpp"
#include "curvix/geometry/error.hpp"

namespace curvix {

using icd_detail::decode_text;
using icd_detail::is_comment;
using icd_detail::LineCursor;

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

}  // namespace

IcdDocument icd_detail::read_legacy(std::string_view bytes) {
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

}  // namespace curvix
