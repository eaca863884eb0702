// The strict UTF-8 <-> UTF-16 codec of the ICD reader (see icd_reader.hpp).

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "curvix/alignment/icd_reader.hpp"

namespace curvix {

namespace {

[[noreturn]] void throw_bad_conversion() { throw std::range_error("bad conversion"); }

// ------------------------------------------------------------------ UTF-8

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(unsigned char b) { return (b & 0xC0u) == 0x80u; }

}  // namespace

std::u16string utf8_to_utf16(std::string_view bytes) {
    // Every byte yields at most one UTF-16 unit (a 4-byte sequence gives two).
    std::u16string out(bytes.size(), u'\0');
    char16_t* o = out.data();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = p + bytes.size();

    while (p != end) {
        // ASCII runs, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if ((word & kHighBits) != 0) break;
            for (int i = 0; i < 8; ++i) o[i] = p[i];
            o += 8;
            p += 8;
        }
        if (p == end) break;

        const unsigned char lead = *p;
        if (lead < 0x80) {
            *o++ = lead;
            ++p;
            continue;
        }
        const auto left = end - p;
        if (lead < 0xC2) {
            // A continuation byte without a lead, or C0/C1 (overlong 2-byte).
            throw_bad_conversion();
        }
        if (lead < 0xE0) {
            if (left < 2 || !is_continuation(p[1])) throw_bad_conversion();
            *o++ = static_cast<char16_t>(((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu));
            p += 2;
        } else if (lead < 0xF0) {
            if (left < 3) throw_bad_conversion();
            // E0 needs A0..BF (no overlong form); ED needs 80..9F (no surrogate).
            const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80;
            const unsigned char hi = lead == 0xED ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2])) throw_bad_conversion();
            *o++ = static_cast<char16_t>(((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) |
                                         (p[2] & 0x3Fu));
            p += 3;
        } else if (lead < 0xF5) {
            if (left < 4) throw_bad_conversion();
            // F0 needs 90..BF (no overlong form); F4 needs 80..8F (<= U+10FFFF).
            const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char hi = lead == 0xF4 ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2]) || !is_continuation(p[3])) {
                throw_bad_conversion();
            }
            const std::uint32_t cp = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) |
                                     ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
            const std::uint32_t v = cp - 0x10000u;
            *o++ = static_cast<char16_t>(0xD800u | (v >> 10));
            *o++ = static_cast<char16_t>(0xDC00u | (v & 0x3FFu));
            p += 4;
        } else {
            // F5..FF never occur in UTF-8.
            throw_bad_conversion();
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char16_t u = text[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
            ++i;
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0u | (u >> 6)));
            out.push_back(static_cast<char>(0x80u | (u & 0x3Fu)));
            ++i;
        } else if (u < 0xD800 || u > 0xDFFF) {
            out.push_back(static_cast<char>(0xE0u | (u >> 12)));
            out.push_back(static_cast<char>(0x80u | ((u >> 6) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | (u & 0x3Fu)));
            ++i;
        } else {
            // A high surrogate followed by a low one; anything else is unpaired.
            if (u > 0xDBFF || i + 1 >= n || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                throw_bad_conversion();
            }
            const std::uint32_t cp =
                0x10000u + ((std::uint32_t(u) - 0xD800u) << 10) + (std::uint32_t(text[i + 1]) - 0xDC00u);
            out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
            out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
            out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
            i += 2;
        }
    }
    return out;
}

}  // namespace curvix
