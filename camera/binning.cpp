// Camera data path, binning: the portable block sums, the baseline 2 x 2 kernels and the run-time
// choice among the 2 x 2 kernels.
#include "camera/binning.h"

#include "camera/binning_kernels.h"
#include "camera/cpu_features.h"

#include <algorithm>

namespace qmx {

namespace {

std::uint16_t load_pixel(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void store_pixel(unsigned char* p, std::uint32_t value) {
  p[0] = static_cast<unsigned char>(value & 0xFFu);
  p[1] = static_cast<unsigned char>(value >> 8);
}

// Sums of whole blocks in chunks of output columns, in `sum_type` (wide enough for a block of
// 10-bit pixels), for output rows [first_row, end_row).
template <class sum_type>
void bin_rows(unsigned char* image, std::int64_t width, std::int64_t hbin, std::int64_t vbin,
              std::int64_t out_width, std::int64_t first_row, std::int64_t end_row) {
  // Output rows in order, each in chunks of columns summed over the block's rows first. An
  // output pixel lies before every input pixel not yet read (the output row is no longer than
  // an input row, and a chunk's outputs lie before its first input), so nothing is overwritten
  // before it is read. The pixels are 10-bit values, so clamping a block's sum once gives what
  // clamping after every addition gives.
  constexpr std::int64_t chunk = 512;
  sum_type sums[chunk];
  for (std::int64_t row = first_row; row < end_row; ++row) {
    for (std::int64_t first = 0; first < out_width; first += chunk) {
      const std::int64_t count = std::min(chunk, out_width - first);
      std::fill(sums, sums + count, sum_type{0});
      for (std::int64_t dr = 0; dr < vbin; ++dr) {
        const unsigned char* in = image + 2 * ((row * vbin + dr) * width + first * hbin);
        if (hbin == 1) {
          for (std::int64_t c = 0; c < count; ++c) {
            sums[c] = static_cast<sum_type>(sums[c] + load_pixel(in + 2 * c));
          }
        } else {
          for (std::int64_t c = 0; c < count; ++c) {
            for (std::int64_t dc = 0; dc < hbin; ++dc) {
              sums[c] = static_cast<sum_type>(sums[c] + load_pixel(in + 2 * (c * hbin + dc)));
            }
          }
        }
      }
      unsigned char* out = image + 2 * (row * out_width + first);
      for (std::int64_t c = 0; c < count; ++c) {
        store_pixel(out + 2 * c, std::min<std::uint32_t>(sums[c], binned_pixel_limit));
      }
    }
  }
}

void bin_2x2_row_scalar(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                        std::int64_t out_width) {
  bin_2x2_tail(top, bottom, out, 0, out_width);
}

bool cpu_runs(binning_path path) {
  switch (path) {
  case binning_path::scalar:
    return true;
  case binning_path::sse2:
    // The baseline kernel is encoded without VEX: it is offered only where AVX is not.
    return binning_sse2_built() && !cpu_has_avx();
  case binning_path::avx:
    return binning_avx_built() && cpu_has_avx();
  case binning_path::avx2:
    return binning_avx2_built() && cpu_has_avx2();
  }
  return false;
}

struct chosen_kernel {
  binning_path path;
  bin_2x2_row_kernel kernel;
};

const chosen_kernel& chosen() {
  static const chosen_kernel choice = [] {
    for (binning_path path : {binning_path::avx2, binning_path::avx, binning_path::sse2}) {
      if (cpu_runs(path)) {
        return chosen_kernel{path, bin_2x2_kernel_for(path)};
      }
    }
    return chosen_kernel{binning_path::scalar, bin_2x2_row_scalar};
  }();
  return choice;
}

} // namespace

#if defined(__SSE2__) || defined(_M_X64)
bool binning_sse2_built() {
  return true;
}

void bin_2x2_row_sse2(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
                      std::int64_t out_width) {
  bin_2x2_row_128(top, bottom, out, out_width);
}
#else
bool binning_sse2_built() {
  return false;
}

void bin_2x2_row_sse2(const unsigned char*, const unsigned char*, unsigned char*, std::int64_t) {}
#endif

bin_2x2_row_kernel bin_2x2_kernel_for(binning_path path) {
  if (!cpu_runs(path)) {
    return nullptr;
  }
  switch (path) {
  case binning_path::scalar:
    return bin_2x2_row_scalar;
  case binning_path::sse2:
    return bin_2x2_row_sse2;
  case binning_path::avx:
    return bin_2x2_row_avx;
  case binning_path::avx2:
    return bin_2x2_row_avx2;
  }
  return nullptr;
}

binning_path selected_binning_path() {
  return chosen().path;
}

const char* binning_path_name(binning_path path) {
  switch (path) {
  case binning_path::scalar:
    return "scalar";
  case binning_path::sse2:
    return "sse2";
  case binning_path::avx:
    return "avx";
  case binning_path::avx2:
    return "avx2";
  }
  return "unknown";
}

void bin_rows_in_place(unsigned char* image, std::int32_t width, std::int32_t height,
                       std::int32_t hbin, std::int32_t vbin, std::int32_t first_row,
                       std::int32_t end_row) {
  if (image == nullptr || width <= 0 || height <= 0 || hbin < 1 || vbin < 1) {
    return;
  }
  const std::int64_t out_width = width / hbin;
  const std::int64_t out_height = height / vbin;
  const std::int64_t first = std::max<std::int64_t>(first_row, 0);
  const std::int64_t end = std::min<std::int64_t>(end_row, out_height);
  if (first >= end) {
    return;
  }
  if (hbin == 2 && vbin == 2) {
    const bin_2x2_row_kernel kernel = chosen().kernel;
    for (std::int64_t row = first; row < end; ++row) {
      const unsigned char* top = image + 2 * (2 * row * std::int64_t{width});
      kernel(top, top + 2 * std::int64_t{width}, image + 2 * (row * out_width), out_width);
    }
    return;
  }
  // 16-bit sums hold up to 64 pixels of 1023; larger blocks sum in 32 bits.
  if (std::int64_t{hbin} * vbin * binned_pixel_limit <= 0xFFFF) {
    bin_rows<std::uint16_t>(image, width, hbin, vbin, out_width, first, end);
  } else {
    bin_rows<std::uint32_t>(image, width, hbin, vbin, out_width, first, end);
  }
}

void bin_in_place(unsigned char* image, std::int32_t width, std::int32_t height, std::int32_t hbin,
                  std::int32_t vbin) {
  bin_rows_in_place(image, width, height, hbin, vbin, 0, vbin > 0 ? height / vbin : 0);
}

} // namespace qmx
