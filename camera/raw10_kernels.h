// Camera data path, RAW10 unpacking: the instruction-set kernels, each defined in a file of its
// own compiled for that instruction set. Call one only when raw10_kernel_for allows it.
#pragma once

#include <cstddef>

namespace qmx {

// Built with AVX2 code; false when this build has no AVX2 kernel (not an x86 target).
bool raw10_avx2_built();
void unpack_groups_avx2(const unsigned char* source, unsigned char* destination,
                        std::size_t groups);

// SSSE3 operations encoded with VEX (built with AVX enabled), so they never mix legacy SSE
// encoding into AVX code; they need a processor with AVX.
bool raw10_ssse3_built();
void unpack_groups_ssse3(const unsigned char* source, unsigned char* destination,
                         std::size_t groups);

} // namespace qmx
