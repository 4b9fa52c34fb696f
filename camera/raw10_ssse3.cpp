// Camera data path, RAW10 unpacking: the SSSE3 kernel, built with AVX enabled so that its SSSE3
// operations are VEX-encoded (no legacy SSE encoding runs on a processor with AVX).
#include "camera/raw10_kernels.h"
#include "camera/raw10_tail.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qmx {

#if defined(__x86_64__) || defined(__i386__)

namespace {} // namespace

bool raw10_ssse3_built() {
  return true;
}

void unpack_groups_ssse3(const unsigned char* source, unsigned char* destination,
                         std::size_t groups) {
  // Each 16-bit lane receives its pixel's high byte (b0..b3) in its low half and the group's
  // fifth byte (b4) in its high half; lanes 0..3 take group 0 (bytes 0..4), lanes 4..7 group 1
  // (bytes 5..9).
  const __m128i arrange = _mm_setr_epi8(0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9);
  // The high half of lane k shifted right by 2k bits: a high multiply by 2^(8 - 2k).
  const __m128i low_bit_shift = _mm_setr_epi16(256, 64, 16, 4, 256, 64, 16, 4);
  const __m128i high_byte_mask = _mm_set1_epi16(0x00FF);
  const __m128i two_bits = _mm_set1_epi16(3);
  // Two groups per step; the 16-byte load reads 6 bytes beyond them, so the step runs only while
  // at least 16 bytes remain.
  while (groups >= 4) {
    const __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i lanes = _mm_shuffle_epi8(packed, arrange);
    const __m128i high = _mm_slli_epi16(_mm_and_si128(lanes, high_byte_mask), 2);
    const __m128i low = _mm_and_si128(_mm_mulhi_epu16(lanes, low_bit_shift), two_bits);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination), _mm_or_si128(high, low));
    source += 10;
    destination += 16;
    groups -= 2;
  }
  unpack_tail(source, destination, groups);
}

#else

bool raw10_ssse3_built() {
  return false;
}

void unpack_groups_ssse3(const unsigned char*, unsigned char*, std::size_t) {}

#endif

} // namespace qmx
