// Camera data path, binning: sums of hbin x vbin blocks of a frame's 16-bit pixels, in place,
// each clamped to 1023. The common 2 x 2 case runs a vector kernel chosen once at run time
// (AVX2, VEX-encoded SSE2 on a processor with AVX, else SSE2), the others a portable loop.
#pragma once

#include <cstdint>

namespace qmx {

// Sums `vbin` × `hbin` blocks of the `width` × `height` 16-bit pixels at `image` in place, each
// sum clamped to 1023; the (height / vbin) rows of (width / hbin) pixels fill the start of the
// image, the rest of it keeps its earlier data.
void bin_in_place(unsigned char* image, std::int32_t width, std::int32_t height, std::int32_t hbin,
                  std::int32_t vbin);

// The output rows [first_row, end_row) of bin_in_place (clipped to the rows it makes), for which
// the input rows of their blocks must be in place. Binning the rows in order, a range at a time,
// gives what bin_in_place gives: an output row never lies on input rows of a later block.
void bin_rows_in_place(unsigned char* image, std::int32_t width, std::int32_t height,
                       std::int32_t hbin, std::int32_t vbin, std::int32_t first_row,
                       std::int32_t end_row);

// One output row of 2 x 2 binning: `out_width` pixels, pixel c the clamped sum of pixels 2c and
// 2c + 1 of `top` and of `bottom`. `out` may be `top` itself (the first output row lies on its
// first input row); otherwise it lies wholly before `top`.
using bin_2x2_row_kernel = void (*)(const unsigned char* top, const unsigned char* bottom,
                                    unsigned char* out, std::int64_t out_width);

enum class binning_path { scalar, sse2, avx, avx2 };

// The kernel of `path`, or null when this build or this processor cannot run it (tests and
// benches select paths explicitly through it).
bin_2x2_row_kernel bin_2x2_kernel_for(binning_path path);
binning_path selected_binning_path();
const char* binning_path_name(binning_path path);

} // namespace qmx
