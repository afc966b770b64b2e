// Uninitialised scratch storage owned by one call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corrshift {

template <class T>
using scratch = std::unique_ptr<T[]>;

// Allocates n elements without clearing them (every user writes before it
// reads); throws std::bad_alloc when the memory is not there.
template <class T>
scratch<T> make_scratch(size_t n) {
    return scratch<T>(new T[n == 0 ? 1 : n]);
}

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using large_scratch = std::unique_ptr<T[], free_deleter>;

// As make_scratch, for arrays that may reach many megabytes (the buffers of
// a sort, the panels): from kLargeBytes on, aligned to 2 MiB and, on
// Linux, asked to be backed by transparent huge pages, as numpy asks for
// its large arrays, so that first touching them costs one page fault per
// 2 MiB instead of one per 4 KiB (and fewer misses of the address
// translation caches); smaller arrays get ordinary pages, since a huge
// page is cleared whole on first touch.
template <class T>
large_scratch<T> make_large_scratch(size_t n) {
    static_assert(std::is_trivial_v<T>, "large scratch holds plain values");
    constexpr size_t kHuge = size_t{1} << 21, kLargeBytes = size_t{4} << 20, kLine = 64;
    const size_t wanted = (n == 0 ? 1 : n) * sizeof(T);
    const bool large = wanted >= kLargeBytes;
    const size_t align = large ? kHuge : kLine;
    const size_t bytes = (wanted + align - 1) / align * align;
    void* p = std::aligned_alloc(align, bytes);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (large) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: without huge pages the memory works as well
#endif
    return large_scratch<T>(static_cast<T*>(p));
}

}  // namespace corrshift
