// Camera data path, binning: the 2 x 2 row kernel with 128-bit vectors, built with AVX enabled so
// that its SSE2 operations are VEX-encoded (no legacy SSE encoding runs on a processor with AVX).
#include "camera/binning_kernels.h"

namespace qmx {

#if defined(__x86_64__) || defined(__i386__)

bool binning_avx_built() {
  return true;
}

void bin_2x2_row_avx(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                     std::int64_t out_width) {
  bin_2x2_row_128(top, bottom, out, out_width);
}

#else

bool binning_avx_built() {
  return false;
}

void bin_2x2_row_avx(const unsigned char*, const unsigned char*, unsigned char*, std::int64_t) {}

#endif

} // namespace qmx
