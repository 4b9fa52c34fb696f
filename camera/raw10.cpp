// Camera data path, RAW10 unpacking: the scalar kernel, the run-time choice of kernel, and the
// frame-aware unpacker.
#include "camera/raw10.h"

#include "camera/cpu_features.h"
#include "camera/frame_path.h"
#include "camera/raw10_kernels.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qmx {

namespace {

void decode_group(const unsigned char* group, unsigned char* destination) {
  const unsigned low = group[4];
  for (std::size_t k = 0; k < 4; ++k) {
    const unsigned pixel = group[k] * 4u + ((low >> (2 * k)) & 3u);
    destination[2 * k] = static_cast<unsigned char>(pixel & 0xFFu);
    destination[2 * k + 1] = static_cast<unsigned char>(pixel >> 8);
  }
}

bool cpu_has(raw10_path path) {
  switch (path) {
  case raw10_path::scalar:
    return true;
  case raw10_path::ssse3:
    // The kernel is VEX-encoded: it needs AVX (every processor with AVX has SSSE3).
    return raw10_ssse3_built() && cpu_has_avx();
  case raw10_path::avx2:
    return raw10_avx2_built() && cpu_has_avx2();
  }
  return false;
}

raw10_path choose_path() {
  for (raw10_path path : {raw10_path::avx2, raw10_path::ssse3}) {
    if (cpu_has(path)) {
      return path;
    }
  }
  return raw10_path::scalar;
}

struct chosen_kernel {
  raw10_path path;
  raw10_kernel kernel;
};

const chosen_kernel& chosen() {
  static const chosen_kernel choice = [] {
    const raw10_path path = choose_path();
    return chosen_kernel{path, raw10_kernel_for(path)};
  }();
  return choice;
}

// Skips up to `count` fill bytes of `length`, from `consumed` on; what the payload cannot hold is
// left in `pending_skip` for the next packet.
void skip_fill(frame_assembly_state& a, std::int32_t count, std::int32_t length,
               std::int32_t& consumed) {
  const std::int32_t here = std::min(count, length - consumed);
  consumed += here;
  a.pending_skip = count - here;
}

} // namespace

void unpack_groups_scalar(const unsigned char* source, unsigned char* destination,
                          std::size_t groups) {
  for (std::size_t g = 0; g < groups; ++g) {
    decode_group(source + 5 * g, destination + 8 * g);
  }
}

raw10_kernel raw10_kernel_for(raw10_path path) {
  if (!cpu_has(path)) {
    return nullptr;
  }
  switch (path) {
  case raw10_path::scalar:
    return unpack_groups_scalar;
  case raw10_path::ssse3:
    return unpack_groups_ssse3;
  case raw10_path::avx2:
    return unpack_groups_avx2;
  }
  return nullptr;
}

const char* raw10_path_name(raw10_path path) {
  switch (path) {
  case raw10_path::scalar:
    return "scalar";
  case raw10_path::ssse3:
    return "ssse3";
  case raw10_path::avx2:
    return "avx2";
  }
  return "unknown";
}

raw10_path selected_raw10_path() {
  return chosen().path;
}

void unpack_groups(const unsigned char* source, unsigned char* destination, std::size_t groups) {
  chosen().kernel(source, destination, groups);
}

std::int32_t unpack_raw10(frame_assembly_state& a, const raw10_destination& destination,
                          const unsigned char* source, std::int32_t length) {
  if (a.pixels_written >= a.pixels_per_frame || length <= 0) {
    return 0;
  }
  // A row's fill bytes matter only at a row's end; without fill bytes runs may cross rows.
  const bool rows_have_fill = a.row_fill_bytes > 0 && a.pixels_per_row > 0;
  const auto row_ended = [&] { return rows_have_fill && a.pixels_written % a.pixels_per_row == 0; };
  // Where the next group goes and how many whole groups fit there.
  const auto place = [&](std::int64_t& room_groups) -> unsigned char* {
    const std::int64_t offset = std::int64_t{2} * a.pixels_written;
    if (offset < destination.calibration_bytes) {
      room_groups = (destination.calibration_bytes - offset) / raw10_group_output_bytes;
      return destination.calibration + offset;
    }
    const std::int64_t image_offset = offset - destination.calibration_bytes;
    room_groups = (destination.image_bytes - image_offset) / raw10_group_output_bytes;
    return destination.image + image_offset;
  };

  std::int32_t consumed = 0;
  std::int32_t written = 0;
  if (a.pending_skip > 0) {
    skip_fill(a, a.pending_skip, length, consumed);
    if (a.pending_skip > 0) {
      return 0;
    }
  }
  if (a.carry_count > 0) {
    std::int64_t room = 0;
    unsigned char* target = place(room);
    if (room < 1) {
      return 0;
    }
    const std::int32_t missing = raw10_group_bytes - a.carry_count;
    const std::int32_t taken = std::min(missing, length - consumed);
    std::memcpy(a.carry + a.carry_count, source + consumed, static_cast<std::size_t>(taken));
    a.carry_count += taken;
    consumed += taken;
    if (a.carry_count < raw10_group_bytes) {
      return 0; // this payload ended inside the group too: keep carrying
    }
    decode_group(a.carry, target);
    a.carry_count = 0;
    written += raw10_group_output_bytes;
    a.pixels_written += raw10_group_pixels;
    if (row_ended()) {
      skip_fill(a, a.row_fill_bytes, length, consumed);
    }
    if (a.pixels_written >= a.pixels_per_frame) {
      return written;
    }
  }
  while (a.pending_skip == 0) {
    std::int64_t room = 0;
    unsigned char* target = place(room);
    const std::int64_t available = (length - consumed) / raw10_group_bytes;
    const std::int64_t to_frame_end =
        (std::int64_t{a.pixels_per_frame} - a.pixels_written + raw10_group_pixels - 1) /
        raw10_group_pixels;
    std::int64_t to_row_end = std::numeric_limits<std::int64_t>::max();
    if (rows_have_fill) {
      // With rows of whole groups the row's end is a known number of groups away; otherwise the
      // end test runs after every group.
      to_row_end =
          a.pixels_per_row % raw10_group_pixels == 0
              ? (a.pixels_per_row - a.pixels_written % a.pixels_per_row) / raw10_group_pixels
              : 1;
    }
    const std::int64_t run = std::min({room, available, to_frame_end, to_row_end});
    if (run <= 0) {
      if (room <= 0) {
        return written; // no room for a whole group: the rest of the payload is not used
      }
      break;
    }
    unpack_groups(source + consumed, target, static_cast<std::size_t>(run));
    consumed += static_cast<std::int32_t>(run * raw10_group_bytes);
    written += static_cast<std::int32_t>(run * raw10_group_output_bytes);
    a.pixels_written += static_cast<std::int32_t>(run * raw10_group_pixels);
    if (row_ended()) {
      skip_fill(a, a.row_fill_bytes, length, consumed);
    }
    if (a.pixels_written >= a.pixels_per_frame) {
      return written;
    }
  }
  // The start of a group that this payload cuts waits for the next packet.
  const std::int32_t rest = length - consumed;
  if (rest > 0) {
    std::memcpy(a.carry, source + consumed, static_cast<std::size_t>(rest));
  }
  a.carry_count = rest > 0 ? rest : 0;
  return written;
}

} // namespace qmx
