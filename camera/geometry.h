// Camera data path, geometry: the camera's region of interest and the image size derived from
// it and the binning factors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmx {

struct camera;

// Asks the camera for "roi" and derives roi_width/height, image_width/height and row_bits.
// 0, or 1 when the transaction failed or the reply is longer than 256 characters (nothing
// changes). Missing numbers in the reply read as 0.
int read_roi(camera& c);

// New binning factors, each clamped to 1..16; image_width/height follow at once. No camera
// transaction: the camera always sends unbinned pixels.
void set_binning(camera& c, std::int32_t horizontal, std::int32_t vertical);
// One new factor, the other kept as it is at that moment ("hbin", "vbin"): two host threads
// setting one each never undo each other's.
void set_horizontal_binning(camera& c, std::int32_t factor);
void set_vertical_binning(camera& c, std::int32_t factor);

// A consistent copy of the camera's acquisition parameters, taken under their lock.
struct acquisition_parameters parameters_of(const camera& c);

// Asks the camera for "data_packets_per_frame" and "num_calibration_lines" and derives
// acquisition_bytes_per_frame (2 x width x (height + calibration lines) + 48) and
// frame_pixel_bytes, in 32-bit arithmetic that wraps for any region the camera reports. 0, or the
// failing query's code (1, 15).
int compute_frame_bytes(camera& c);

// Arms acquisition into the buffer the host gave ("arm"): reads the region and the frame sizes
// from the camera, stops the frame path, waits until packets sent before are handled, prepares
// the frame path (prepare_frame_path: every frame of an earlier arming discarded, held ones
// included, and the buffer cut into slots), and tells the camera "arm" with `response` as its
// reply buffer. Whatever numbers the camera answered are taken as they are (the frame path keeps
// every write inside its slots; a geometry that cannot make frames drops them). 0; 6 when a
// camera query failed (nothing changed); 7 when the buffer is not a whole number of slots of at
// least one byte (nothing changed); 13 when the camera did not complete "arm" (the frame path is
// already armed then).
int arm(camera& c, unsigned char* buffer, std::int32_t buffer_size, char* response,
        std::size_t response_size);

} // namespace qmx
