// Camera data path, binning: the 2 x 2 row kernels, each defined in a file built for its
// instruction set, and the parts they share. Call one only when bin_2x2_kernel_for allows it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace qmx {

constexpr std::uint16_t binned_pixel_limit = 1023;

// False when this build has no such kernel (not an x86 target).
bool binning_sse2_built();
void bin_2x2_row_sse2(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                      std::int64_t out_width);
bool binning_avx_built();
void bin_2x2_row_avx(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                     std::int64_t out_width);
bool binning_avx2_built();
void bin_2x2_row_avx2(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                      std::int64_t out_width);

// The helpers below have internal linkage: every kernel file compiles its own copy with that
// file's instruction set, and no copy is shared between encodings.
namespace {

// Output pixels [first, out_width) one at a time; pixels are little-endian 16-bit words at any
// address.
[[maybe_unused]] void bin_2x2_tail(const unsigned char* top, const unsigned char* bottom,
                                   unsigned char* out, std::int64_t first, std::int64_t out_width) {
  const auto pixel = [](const unsigned char* p) { return unsigned{p[0]} | (unsigned{p[1]} << 8); };
  for (std::int64_t c = first; c < out_width; ++c) {
    const unsigned sum = pixel(top + 4 * c) + pixel(top + 4 * c + 2) + pixel(bottom + 4 * c) +
                         pixel(bottom + 4 * c + 2);
    const unsigned clamped = std::min<unsigned>(sum, binned_pixel_limit);
    out[2 * c] = static_cast<unsigned char>(clamped & 0xFFu);
    out[2 * c + 1] = static_cast<unsigned char>(clamped >> 8);
  }
}

#if defined(__SSE2__) || defined(_M_X64)
// Eight output pixels per step: the two rows added, neighbouring sums added pairwise (a
// multiply-add by one into 32-bit sums), narrowed back to 16 bits (sums of four 10-bit pixels
// fit) and clamped. A step writes its 16 output bytes only after reading its 32 input bytes of
// each row, and never where a later step reads, so `out` may be `top`.
[[maybe_unused]] void bin_2x2_row_128(const unsigned char* top, const unsigned char* bottom,
                                      unsigned char* out, std::int64_t out_width) {
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i most = _mm_set1_epi16(static_cast<short>(binned_pixel_limit));
  std::int64_t c = 0;
  for (; c + 8 <= out_width; c += 8) {
    const auto* t = reinterpret_cast<const __m128i*>(top + 4 * c);
    const auto* b = reinterpret_cast<const __m128i*>(bottom + 4 * c);
    const __m128i first = _mm_add_epi16(_mm_loadu_si128(t), _mm_loadu_si128(b));
    const __m128i second = _mm_add_epi16(_mm_loadu_si128(t + 1), _mm_loadu_si128(b + 1));
    const __m128i sums = _mm_packs_epi32(_mm_madd_epi16(first, ones), _mm_madd_epi16(second, ones));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * c), _mm_min_epi16(sums, most));
  }
  bin_2x2_tail(top, bottom, out, c, out_width);
}
#endif

} // namespace
} // namespace qmx
