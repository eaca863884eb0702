#pragma once
// Buffers for the kit's bindings: arrays cross as Python buffers (PEP 3118),
// never through pybind11's NumPy layer, whose 2.11 release predates NumPy
// 2's descriptor layout. Shapes and formats are checked here, with the GIL
// held; the loops over them run with it released.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

namespace curvix::kit_binding {

// A held buffer of 8-byte items: doubles ("d") or 64-bit integers ("l" or
// "q"), C-contiguous, with `count` items in all (a trailing dimension of 2
// for point arrays).
template <class T>
class Held {
public:
    Held(const pybind11::buffer& b, const char* name, bool writable) : info_(b.request(writable)) {
        const bool integer = std::is_integral<T>::value;
        const std::string& f = info_.format;
        const bool format_ok = integer ? (f == "l" || f == "q") : f == "d";
        if (!format_ok || info_.itemsize != 8) {
            throw pybind11::type_error(std::string(name) + ": expected " +
                                       (integer ? "int64" : "float64") + " items, got format '" + f + "'");
        }
        pybind11::ssize_t stride = 8;
        for (pybind11::ssize_t k = info_.ndim - 1; k >= 0; --k) {
            const auto d = static_cast<std::size_t>(k);
            if (info_.shape[d] > 1 && info_.strides[d] != stride) {
                throw pybind11::value_error(std::string(name) + " must be C-contiguous");
            }
            stride *= info_.shape[d];
        }
        count_ = static_cast<std::size_t>(info_.size);
    }
    T* data() const { return static_cast<T*>(info_.ptr); }
    std::size_t count() const { return count_; }

private:
    pybind11::buffer_info info_;
    std::size_t count_ = 0;
};

inline void expect_count(std::size_t got, std::size_t want, const char* name) {
    if (got != want) {
        throw pybind11::value_error(std::string(name) + " holds " + std::to_string(got) +
                                    " items, expected " + std::to_string(want));
    }
}

// A column of results as bytes, for NumPy's frombuffer.
template <class T>
pybind11::bytes column(const std::vector<T>& v) {
    return pybind11::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// f(station) into out[i] for each station, the GIL released for the loop.
template <class T, class F>
void per_station(const pybind11::buffer& stations, const pybind11::buffer& out, F f) {
    const Held<double> s(stations, "stations", false);
    const Held<T> r(out, "out", true);
    const std::size_t n = s.count();
    expect_count(r.count(), n, "out");
    pybind11::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) r.data()[i] = f(s.data()[i]);
}

}  // namespace curvix::kit_binding
