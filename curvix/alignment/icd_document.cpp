// ICD documents: decoded text, lines and fields, and the choice of grammar
// (see icd_reader.hpp; the grammars are icd_legacy_grammar.cpp and
// icd_strict_grammar.cpp).

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/icd_reader_detail.hpp"

namespace curvix {

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

// ------------------------------------------------------------------- fields

std::vector<std::u16string> split_icd_fields(const std::u16string& line) {
    std::vector<std::u16string> fields;
    boost::algorithm::split(fields, line, boost::algorithm::is_any_of(u","));
    return fields;
}

// ------------------------------------------------------------ documents

std::u16string icd_detail::decode_text(std::string_view bytes) {
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

IcdDocument read_icd_document(std::string_view bytes, IcdGrammar grammar) {
    return grammar == IcdGrammar::strict ? icd_detail::read_strict(bytes) : icd_detail::read_legacy(bytes);
}

}  // namespace curvix
