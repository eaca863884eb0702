#pragma once
// Shared by the fuzz targets: the failure report and the exception oracle.
//
// A target aborts (and libFuzzer keeps the input) whenever an operation ends
// in a way its header does not document: an exception of another kind, a
// documented kind with another text, or a result that breaks a stated rule.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string>

#include "curvix/geometry/vector.hpp"

namespace curvix_fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "\n*** fuzz oracle: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// The exception's text must be one of the documented ones.
inline void expect_text(const std::exception& e, const char* kind,
                        std::initializer_list<const char*> allowed) {
    for (const char* text : allowed) {
        if (std::strcmp(e.what(), text) == 0) return;
    }
    fail(kind, std::string("undocumented message \"") + e.what() + "\"");
}

inline std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Same result bit for bit (the same computation must give the same answer).
inline bool same(const curvix::Vector& a, const curvix::Vector& b) {
    return bits(a.X()) == bits(b.X()) && bits(a.Y()) == bits(b.Y()) && bits(a.Z()) == bits(b.Z());
}

inline bool is_zero(const curvix::Vector& v) {
    return v.X() == 0.0 && v.Y() == 0.0 && v.Z() == 0.0;
}

// Reads a fuzz input from the front: bytes, small ints and doubles. Past
// the end every read gives zeros.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    unsigned u16() { return byte() | (unsigned(byte()) << 8); }
    // lo + u16() modulo the width of [lo, hi].
    int int_in(int lo, int hi) { return lo + static_cast<int>(u16() % static_cast<unsigned>(hi - lo + 1)); }
    double raw_double() {
        std::uint8_t b[8] = {};
        for (auto& c : b) c = byte();
        double v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace curvix_fuzz
