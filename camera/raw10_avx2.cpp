// Camera data path, RAW10 unpacking: the AVX2 kernel, built with AVX2 enabled.
#include "camera/raw10_kernels.h"
#include "camera/raw10_tail.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qmx {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// Two 16-byte loads, 10 bytes apart, one per 128-bit lane: four groups (20 bytes, 26 read).
__m256i load_four_groups(const unsigned char* source) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 10));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
}

} // namespace

bool raw10_avx2_built() {
  return true;
}

void unpack_groups_avx2(const unsigned char* source, unsigned char* destination,
                        std::size_t groups) {
  // In each 128-bit lane, each 16-bit word receives its pixel's high byte (b0..b3) in its low
  // half and the group's fifth byte (b4) in its high half; words 0..3 take the lane's first group
  // (bytes 0..4), words 4..7 its second (bytes 5..9).
  const __m256i arrange = _mm256_setr_epi8(0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9, //
                                           0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9);
  // The high half of word k shifted right by 2k bits: a high multiply by 2^(8 - 2k).
  const __m256i low_bit_shift =
      _mm256_setr_epi16(256, 64, 16, 4, 256, 64, 16, 4, 256, 64, 16, 4, 256, 64, 16, 4);
  const __m256i high_byte_mask = _mm256_set1_epi16(0x00FF);
  const __m256i two_bits = _mm256_set1_epi16(3);
  // From arranged words to pixels: the high byte times 4, plus the pixel's two low bits.
  const auto finish = [&](__m256i lanes) {
    const __m256i high = _mm256_slli_epi16(_mm256_and_si256(lanes, high_byte_mask), 2);
    const __m256i low = _mm256_and_si256(_mm256_mulhi_epu16(lanes, low_bit_shift), two_bits);
    return _mm256_or_si256(high, low);
  };
  const auto decode = [&](__m256i packed) { return finish(_mm256_shuffle_epi8(packed, arrange)); };
  if (groups >= 6) {
    // The first four groups with two 16-byte loads, since no byte before the source is read.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination), decode(load_four_groups(source)));
    source += 20;
    destination += 32;
    groups -= 4;
    // From here on one 32-byte load per four groups, starting 6 bytes before them: its low lane
    // holds their first two groups at bytes 6..15, its high lane the next two at bytes 0..9, and
    // each lane's shuffle picks its own bytes. The load ends 26 bytes after the groups' start.
    const __m256i arrange_behind =
        _mm256_setr_epi8(6, 10, 7, 10, 8, 10, 9, 10, 11, 15, 12, 15, 13, 15, 14, 15, //
                         0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9);
    const auto load_behind = [&](const unsigned char* at) {
      return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at - 6)),
                                 arrange_behind);
    };
    // Sixteen groups per step: the last load ends 86 bytes in, so at least 18 groups (90 bytes)
    // must remain.
    while (groups >= 18) {
      const __m256i a = finish(load_behind(source));
      const __m256i b = finish(load_behind(source + 20));
      const __m256i c = finish(load_behind(source + 40));
      const __m256i d = finish(load_behind(source + 60));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + 32), b);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + 64), c);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + 96), d);
      source += 80;
      destination += 128;
      groups -= 16;
    }
    // Four groups read 26 bytes: at least 6 groups (30 bytes) must remain.
    while (groups >= 6) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination), finish(load_behind(source)));
      source += 20;
      destination += 32;
      groups -= 4;
    }
  }
  // Two groups with one 16-byte load while at least 4 groups (20 bytes) remain; then the last
  // one to three groups one at a time.
  if (groups >= 4) {
    const __m128i arrange_low = _mm256_castsi256_si128(arrange);
    const __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i lanes = _mm_shuffle_epi8(packed, arrange_low);
    const __m128i high =
        _mm_slli_epi16(_mm_and_si128(lanes, _mm256_castsi256_si128(high_byte_mask)), 2);
    const __m128i low = _mm_and_si128(_mm_mulhi_epu16(lanes, _mm256_castsi256_si128(low_bit_shift)),
                                      _mm256_castsi256_si128(two_bits));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination), _mm_or_si128(high, low));
    source += 10;
    destination += 16;
    groups -= 2;
  }
  unpack_tail(source, destination, groups);
}

#else

bool raw10_avx2_built() {
  return false;
}

void unpack_groups_avx2(const unsigned char*, unsigned char*, std::size_t) {}

#endif

} // namespace qmx
