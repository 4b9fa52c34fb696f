// Camera parameters, numbers in text: 32-bit reading on every system.
#include "camera/text_numbers.h"

#include <cstdlib>

namespace qmx {

std::int32_t strtol32(const char* text, char** end, int base) {
  // 64 bits hold every 32-bit value and saturate beyond their own range, which lies beyond the
  // 32-bit range too, so one clamp gives what a 32-bit strtol gives.
  const long long value = std::strtoll(text, end, base);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

} // namespace qmx
