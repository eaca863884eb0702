#pragma once
// Private to the engine: the allocator of its tables. A table of at least
// 4 MiB is placed on whole 2 MiB pages, and the kernel is asked to back it
// with huge pages where it can (Linux, transparent huge pages): the searches
// read such tables at random, and with small pages nearly every one of those
// reads also misses the processor's address translation cache (measured on
// a 2-core VM: a dependent read in 256 MiB took 300 ns, 170 ns on huge
// pages). Smaller tables are ordinary allocations.

#include <cstddef>
#include <new>
#include <vector>

namespace curvix::engine::detail {

inline constexpr std::size_t kHugePage = std::size_t{1} << 21;
inline constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

void* allocate_table(std::size_t bytes, std::size_t align);
void free_table(void* p, std::size_t bytes, std::size_t align) noexcept;
// The bytes an allocation of `bytes` occupies.
inline std::size_t table_bytes(std::size_t bytes) noexcept {
    return bytes >= kHugeFrom ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
}

template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() noexcept = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_table(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { free_table(p, n * sizeof(T), alignof(T)); }
    friend bool operator==(const TableAllocator&, const TableAllocator&) noexcept { return true; }
    friend bool operator!=(const TableAllocator&, const TableAllocator&) noexcept { return false; }
};

template <class T>
using Table = std::vector<T, TableAllocator<T>>;

// Asks for the cache lines of [p, p + bytes) before they are read.
#if defined(__GNUC__)
inline void prefetch(const void* p) noexcept { __builtin_prefetch(p); }
#else
inline void prefetch(const void*) noexcept {}
#endif
template <class T>
void prefetch_bytes(const T* p, std::size_t bytes) noexcept {
    const char* c = reinterpret_cast<const char*>(p);
    for (std::size_t off = 0; off < bytes; off += 64) prefetch(c + off);
    prefetch(c + bytes - 1);
}

template <class T, class A>
std::size_t bytes_of(const std::vector<T, A>& v) noexcept {
    return table_bytes(v.capacity() * sizeof(T));
}

}  // namespace curvix::engine::detail
