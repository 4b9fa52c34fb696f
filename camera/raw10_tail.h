// Camera data path, RAW10 unpacking: the scalar group decode that each kernel file uses for the
// groups after its last whole vector. It has internal linkage, so every kernel file compiles its
// own copy with that file's instruction set and no copy is shared between encodings.
#pragma once

#include <cstddef>

namespace qmx {
namespace {

[[maybe_unused]] void unpack_tail(const unsigned char* source, unsigned char* destination,
                                  std::size_t groups) {
  for (std::size_t g = 0; g < groups; ++g, source += 5, destination += 8) {
    const unsigned low = source[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const unsigned pixel = source[k] * 4u + ((low >> (2 * k)) & 3u);
      destination[2 * k] = static_cast<unsigned char>(pixel & 0xFFu);
      destination[2 * k + 1] = static_cast<unsigned char>(pixel >> 8);
    }
  }
}

} // namespace
} // namespace qmx
