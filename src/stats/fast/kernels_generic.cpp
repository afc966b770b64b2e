// The portable fast kernels, for targets with no build of their own: 4
// float lanes of generic vectors, tiles of 4 rows by 2 vectors (8 vector
// accumulators, or 32 scalar ones where the target has no vectors).
#define CORRSHIFT_VECTOR_BYTES 16
#define CORRSHIFT_TILE_ROWS 4
#define CORRSHIFT_TILE_VECTORS 2
#define CORRSHIFT_KERNELS_NAME "generic"

#include "arch_generic.hpp"
#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& generic_kernels() { return kTable; }
}  // namespace corrshift
