// Camera parameters, numbers in text: integers read from camera replies and host commands with
// one width on every system.
#pragma once

#include <cstdint>

namespace qmx {

// Reads an integer as `std::strtol` does (leading white space, an optional sign, digits in
// `base`, 0 for automatic base; no digits give 0 and leave `end` at `text`), always as a 32-bit
// long: a value beyond the 32-bit range gives INT32_MAX or INT32_MIN, so that a number reads the
// same on systems whose `long` is 64 bits wide. `end` (when not null) receives where reading
// stopped.
std::int32_t strtol32(const char* text, char** end, int base);

} // namespace qmx
