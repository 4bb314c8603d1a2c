// The BMI2 Morton interleave: the only unit compiled for BMI2. Nothing here
// may run before the processor test has reported AVX2 and BMI2.
#include "morton/morton.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace glbcore {

namespace {

#if defined(__BMI2__)
// PDEP deposits the low bits of v, lowest first, into the set bits of the
// mask: x goes to bits 3k+1, y to 3k+2, z to 3k.
inline std::uint32_t pdep_key(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return _pdep_u32(x, 0x92492492u) | _pdep_u32(y, 0x24924924u) | _pdep_u32(z, 0x49249249u);
}
#else
// Processors without BMI2 never choose this layout; it is still defined,
// with shifts, so that the code builds everywhere.
inline std::uint32_t pdep_key(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return morton3d_portable(z, x, y);
}
#endif

}  // namespace

std::uint32_t morton3d_bmi2(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return pdep_key(x, y, z);
}

// The loop calls the inline form: an exported function called from its own
// unit of position-independent code goes through the PLT and is not inlined.
void morton3d_bmi2_block(const std::uint32_t* x, const std::uint32_t* y, const std::uint32_t* z,
                         std::size_t n, std::uint32_t* keys) {
    for (std::size_t j = 0; j < n; ++j) keys[j] = pdep_key(x[j], y[j], z[j]);
}

}  // namespace glbcore
