// Camera data path, geometry: the camera's region of interest and the image size derived from
// it and the binning factors.
#pragma once

namespace qmx {

struct camera;

// Asks the camera for "roi" and derives roi_width/height, image_width/height and row_bits.
// 0, or 1 when the transaction failed or the reply is longer than 256 characters (nothing
// changes). Missing numbers in the reply read as 0.
int read_roi(camera& c);

} // namespace qmx
