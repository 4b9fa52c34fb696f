// Camera data path, binning: the 2 x 2 row kernel with 256-bit vectors, built with AVX2 enabled.
#include "camera/binning_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qmx {

#if defined(__x86_64__) || defined(__i386__)

bool binning_avx2_built() {
  return true;
}

// Sixteen output pixels per step, as the 128-bit kernel does eight: the narrowing packs within
// each 128-bit lane, so a permutation of 64-bit quarters puts the pixels back in order. A step
// writes its 32 output bytes only after reading its 64 input bytes of each row, and never where
// a later step reads, so `out` may be `top`.
void bin_2x2_row_avx2(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                      std::int64_t out_width) {
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i most = _mm256_set1_epi16(static_cast<short>(binned_pixel_limit));
  std::int64_t c = 0;
  for (; c + 16 <= out_width; c += 16) {
    const auto* t = reinterpret_cast<const __m256i*>(top + 4 * c);
    const auto* b = reinterpret_cast<const __m256i*>(bottom + 4 * c);
    const __m256i first = _mm256_add_epi16(_mm256_loadu_si256(t), _mm256_loadu_si256(b));
    const __m256i second = _mm256_add_epi16(_mm256_loadu_si256(t + 1), _mm256_loadu_si256(b + 1));
    // Lane 0: outputs 0..3 then 8..11; lane 1: 4..7 then 12..15.
    const __m256i packed =
        _mm256_packs_epi32(_mm256_madd_epi16(first, ones), _mm256_madd_epi16(second, ones));
    const __m256i ordered = _mm256_permute4x64_epi64(packed, 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * c), _mm256_min_epi16(ordered, most));
  }
  bin_2x2_tail(top, bottom, out, c, out_width);
}

#else

bool binning_avx2_built() {
  return false;
}

void bin_2x2_row_avx2(const unsigned char*, const unsigned char*, unsigned char*, std::int64_t) {}

#endif

} // namespace qmx
