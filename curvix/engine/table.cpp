// The allocation of the engine's tables (see table.hpp).

#include "curvix/engine/table.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace curvix::engine::detail {

void* allocate_table(std::size_t bytes, std::size_t align) {
    if (bytes < kHugeFrom) return ::operator new(bytes, std::align_val_t(align));
    const std::size_t size = table_bytes(bytes);
    void* p = std::aligned_alloc(kHugePage, size);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: where the kernel has no huge pages the table stays on small ones.
    (void)madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
}

void free_table(void* p, std::size_t bytes, std::size_t align) noexcept {
    if (bytes < kHugeFrom)
        ::operator delete(p, std::align_val_t(align));
    else
        std::free(p);
}

}  // namespace curvix::engine::detail
