// Camera data path, RAW10 unpacking: groups of 5 packed bytes into 4 little-endian 16-bit
// pixels by a kernel chosen once at run time (AVX2, VEX-encoded SSSE3 or portable scalar), and
// the frame-aware unpacker that carries groups cut by packet boundaries and skips row fill bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmx {

struct frame_assembly_state;

constexpr std::int32_t raw10_group_bytes = 5;        // packed bytes of one group
constexpr std::int32_t raw10_group_pixels = 4;       // pixels of one group
constexpr std::int32_t raw10_group_output_bytes = 8; // unpacked bytes of one group

// Unpacks `groups` whole groups from `source` into `destination` (8 bytes per group). Reads
// exactly 5 × `groups` bytes of `source` and writes exactly 8 × `groups` bytes; the two ranges
// must not overlap. Any thread.
using raw10_kernel = void (*)(const unsigned char* source, unsigned char* destination,
                              std::size_t groups);

enum class raw10_path { scalar, ssse3, avx2 };

// The kernel chosen at the first call: AVX2 when the processor and system support it, else the
// VEX-encoded SSSE3 kernel when AVX is available, else the scalar one.
void unpack_groups(const unsigned char* source, unsigned char* destination, std::size_t groups);
raw10_path selected_raw10_path();
// The kernel of `path`, or null when this build or this processor cannot run it (tests and
// benches select paths explicitly through it).
raw10_kernel raw10_kernel_for(raw10_path path);
const char* raw10_path_name(raw10_path path);

// Portable kernel; also the reference the others are tested against.
void unpack_groups_scalar(const unsigned char* source, unsigned char* destination,
                          std::size_t groups);

// Where the unpacked pixels of one frame go: its first `calibration_bytes` bytes (the calibration
// lines) to `calibration`, the rest (the image rows) to `image`, which has room for `image_bytes`
// bytes. Nothing is written outside these two ranges.
struct raw10_destination {
  unsigned char* calibration = nullptr;
  std::int32_t calibration_bytes = 0;
  unsigned char* image = nullptr;
  std::int32_t image_bytes = 0;
};

// Unpacks `length` payload bytes of one packet of the frame that `a` is filling, continuing from
// where the previous packet stopped: completes a group that the previous packet cut (`carry`),
// finishes a row's fill bytes that the previous packet cut (`pending_skip`), skips
// `row_fill_bytes` after every `pixels_per_row` pixels, and keeps the bytes of a group that this
// payload cuts for the next one. Stops at `pixels_per_frame` pixels or when the destination has no
// room for a whole group. Reads no byte of `source` beyond `length`. Gives the bytes written (2
// per pixel). Callback thread of the image endpoint only.
std::int32_t unpack_raw10(frame_assembly_state& a, const raw10_destination& destination,
                          const unsigned char* source, std::int32_t length);

} // namespace qmx
