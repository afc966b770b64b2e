// Uninitialised scratch storage owned by one call.
#pragma once

#include <cstddef>
#include <memory>

namespace corrshift {

template <class T>
using scratch = std::unique_ptr<T[]>;

// Allocates n elements without clearing them (every user writes before it
// reads); throws std::bad_alloc when the memory is not there.
template <class T>
scratch<T> make_scratch(size_t n) {
    return scratch<T>(new T[n == 0 ? 1 : n]);
}

}  // namespace corrshift
