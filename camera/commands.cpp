// Camera parameters, text commands: the get and set command tables (one row per keyword, with
// what it does and its help text), the keyword rule, the response copy rule, and the camera
// pass-through for every command the module does not answer itself.
#include "camera/commands.h"
#include "include/qmx_module.h"

#include "camera/camera.h"
#include "camera/frame_delivery.h"
#include "camera/geometry.h"
#include "camera/serial_channel.h"
#include "camera/text_numbers.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace qmx {

namespace {

constexpr std::size_t pqmx_argument_offset = 5;
constexpr std::size_t bin_argument_offset = 5;
constexpr std::size_t bin_min_command_size = 6;
constexpr int stop_settle_ms = 100;
constexpr char stop_command[] = {'s', 't', 'o', 'p'}; // sent without a terminator
constexpr std::string_view roi_keyword = "roi";

int copy_number(std::int64_t value, const command_request& r) {
  return copy_text_answer(std::to_string(value), r.response, r.response_size);
}

// A command matches keyword K of length L when it holds at least L bytes before its terminator,
// starts with K, and byte L is a terminator or a blank.
bool matches(const command_request& r, std::string_view keyword) {
  if (r.command == nullptr || r.command_size == 0 || r.command_size - 1 < keyword.size()) {
    return false;
  }
  if (std::memcmp(r.command, keyword.data(), keyword.size()) != 0) {
    return false;
  }
  const auto next = static_cast<unsigned char>(r.command[keyword.size()]);
  return (next & 0xDF) == 0;
}

bool is_disconnected(const command_request& r) {
  return r.disconnected != nullptr && r.disconnected(r.disconnected_context);
}

// Sends the whole command to the camera and answers its reply. A command of no bytes, or of
// more than the channel's 1024 bytes, is refused without reaching the camera.
int pass_through(camera& c, const command_request& r, int refused) {
  if (r.command == nullptr || r.command_size == 0 || r.command_size > serial_buffer_bytes) {
    return refused;
  }
  char reply[serial_buffer_bytes] = {};
  if (!transact(c.channel, r.command, r.command_size, reply, sizeof reply)) {
    return QMX_TRANSACTION_FAILED;
  }
  return copy_text_answer(reply, r.response, r.response_size);
}

// ---- get commands ----

int get_pqmx(camera& c, const command_request& r) {
  if (r.command_size <= pqmx_argument_offset ||
      r.command_size - pqmx_argument_offset > serial_buffer_bytes) {
    return QMX_BAD_ARGUMENT;
  }
  char* reply = r.response;
  if (reply != nullptr && r.response_size == 0) {
    reply = nullptr; // no room for even a terminator: the reply is read and dropped
  }
  return transact(c.channel, r.command + pqmx_argument_offset,
                  r.command_size - pqmx_argument_offset, reply, r.response_size)
             ? QMX_OK
             : QMX_BAD_ARGUMENT;
}

int get_image_wait(camera& c, const command_request&) {
  wait_image_event(c.frames.assembly);
  return QMX_OK;
}

int write_frame_address(const command_request& r, std::uint64_t address) {
  if (r.data == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  std::memcpy(r.data, &address, sizeof address);
  return QMX_OK;
}

int get_image_wait_per_frame(camera& c, const command_request& r) {
  if (r.data == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  return write_frame_address(r, take_frame_for_wait(c.frames.assembly));
}

int get_image_poll(camera& c, const command_request& r) {
  if (r.data == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  return write_frame_address(r, take_frame_for_poll(c.frames.assembly));
}

int get_acquisition_bytes_per_frame(camera& c, const command_request& r) {
  if (const int result = compute_frame_bytes(c); result != QMX_OK) {
    return result;
  }
  return copy_number(parameters_of(c).acquisition_bytes_per_frame, r);
}

int get_usb_speed(camera& c, const command_request& r) {
  switch (c.usb_speed.load()) {
  case LIBUSB_SPEED_LOW:
    return copy_text_answer("USB 1.0", r.response, r.response_size);
  case LIBUSB_SPEED_FULL:
    return copy_text_answer("USB 1.1", r.response, r.response_size);
  case LIBUSB_SPEED_HIGH:
    return copy_text_answer("USB 2.0", r.response, r.response_size);
  case LIBUSB_SPEED_SUPER:
    return copy_text_answer("USB 3.0", r.response, r.response_size);
  default:
    return copy_text_answer("UNKNOWN", r.response, r.response_size);
  }
}

int get_poll_timeout(camera& c, const command_request& r) {
  return copy_number(c.frames.assembly.poll_timeout_ms.load(), r);
}

// "on" or "off" over exactly the response's size: zeros after the text, and no terminator when
// the buffer is shorter than the text and its terminator.
int get_image_metadata(camera& c, const command_request& r) {
  if (r.response == nullptr) {
    return QMX_NULL_BUFFER;
  }
  bool enabled = false;
  {
    qmx::lock_guard path(c.frames.assembly.path_mutex);
    enabled = c.frames.assembly.metadata_enabled;
  }
  std::strncpy(r.response, enabled ? "on" : "off", r.response_size);
  return QMX_OK;
}

int get_hbin(camera& c, const command_request& r) {
  return copy_number(parameters_of(c).hbin, r);
}
int get_vbin(camera& c, const command_request& r) {
  return copy_number(parameters_of(c).vbin, r);
}
int get_bin_min(camera&, const command_request& r) {
  return copy_text_answer("1", r.response, r.response_size);
}
int get_bin_max(camera&, const command_request& r) {
  return copy_text_answer("16", r.response, r.response_size);
}
int get_image_width(camera& c, const command_request& r) {
  return copy_number(parameters_of(c).image_width, r);
}
int get_image_height(camera& c, const command_request& r) {
  return copy_number(parameters_of(c).image_height, r);
}

int get_statistics(camera& c, const command_request& r) {
  const acquisition_statistics& s = c.frames.statistics;
  std::string text;
  const std::pair<const char*, std::uint64_t> fields[] = {
      {"frames_delivered", s.frames_delivered.load()},
      {"packets_seen", s.packets_seen.load()},
      {"dropped_disorder", s.dropped_disorder.load()},
      {"dropped_bad_magic", s.dropped_bad_magic.load()},
      {"dropped_overwritten", s.dropped_overwritten.load()},
      {"dropped_no_slot", s.dropped_no_slot.load()},
      {"dropped_short_packet", s.dropped_short_packet.load()},
      {"dropped_bad_length", s.dropped_bad_length.load()},
  };
  for (const auto& [name, value] : fields) {
    text.append(text.empty() ? "" : " ").append(name).append("=").append(std::to_string(value));
  }
  return copy_text_answer(text, r.response, r.response_size);
}

// ---- set commands ----

int set_arm(camera& c, const command_request& r) {
  if (is_disconnected(r)) {
    return QMX_DISCONNECTED;
  }
  // The size is the host's count as a signed 32-bit number (its low 32 bits).
  const auto size = static_cast<std::int32_t>(static_cast<std::uint32_t>(r.data_size));
  if (r.data == nullptr || size < 1) {
    return QMX_BAD_SET_ARGUMENT;
  }
  return arm(c, static_cast<unsigned char*>(r.data), size, r.response, r.response_size);
}

int set_stop(camera& c, const command_request& r) {
  int result = QMX_OK;
  if (!is_disconnected(r)) {
    char* reply = r.response;
    if (reply != nullptr && r.response_size == 0) {
      reply = nullptr;
    }
    if (!transact(c.channel, stop_command, sizeof stop_command, reply, r.response_size)) {
      result = QMX_CAMERA_COMMAND_FAILED;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(stop_settle_ms));
  // Also before any arming, so that a thread already waiting for a frame is let go.
  abort_delivery(c.frames.assembly, true);
  set_image_event(c.frames.assembly);
  return result;
}

int set_image_wait_release(camera& c, const command_request&) {
  set_image_event(c.frames.assembly);
  return QMX_OK;
}

int set_accepted(camera&, const command_request&) {
  return QMX_OK;
}

int set_image_metadata(camera& c, const command_request& r) {
  if (r.data == nullptr) {
    return QMX_BAD_SET_ARGUMENT;
  }
  const bool on = std::strcmp(static_cast<const char*>(r.data), "on") == 0;
  qmx::lock_guard path(c.frames.assembly.path_mutex);
  c.frames.assembly.metadata_enabled = on;
  return QMX_OK;
}

int set_poll_timeout(camera& c, const command_request& r) {
  if (r.data == nullptr) {
    return QMX_BAD_SET_ARGUMENT;
  }
  c.frames.assembly.poll_timeout_ms.store(strtol32(static_cast<const char*>(r.data), nullptr, 10));
  return QMX_OK;
}

// The binning argument from byte 5 of the command, read with automatic base; 0 when none.
std::int32_t bin_argument(const command_request& r) {
  std::string argument(r.command + bin_argument_offset, r.command_size - bin_argument_offset);
  return strtol32(argument.c_str(), nullptr, 0);
}

int set_hbin(camera& c, const command_request& r) {
  if (r.command_size < bin_min_command_size) {
    return QMX_BAD_SET_ARGUMENT;
  }
  set_horizontal_binning(c, bin_argument(r));
  return QMX_OK;
}

int set_vbin(camera& c, const command_request& r) {
  if (r.command_size < bin_min_command_size) {
    return QMX_BAD_SET_ARGUMENT;
  }
  set_vertical_binning(c, bin_argument(r));
  return QMX_OK;
}

struct command_row {
  std::string_view keyword;
  int (*run)(camera& c, const command_request& r);
  std::string_view help;
};

constexpr std::array<command_row, 17> get_table{{
    {"pqmx", get_pqmx, "the text after \"pqmx \" goes to the camera; its reply is answered"},
    {"image_wait", get_image_wait, "waits for the image-wait event"},
    {"image_wait_per_frame", get_image_wait_per_frame,
     "hands out the next completed frame (8-byte address into data, 0 when stopped)"},
    {"image_poll", get_image_poll,
     "hands out the next completed frame, waiting at most the poll time-out"},
    {"acquisition_bytes_per_frame", get_acquisition_bytes_per_frame,
     "bytes of one frame slot, asked of the camera now"},
    {"usb_speed", get_usb_speed,
     "\"USB 1.0\", \"USB 1.1\", \"USB 2.0\", \"USB 3.0\" or \"UNKNOWN\""},
    {"image_poll_timeout_ms", get_poll_timeout, "the poll time-out in milliseconds (-1: none)"},
    {"image_metadata", get_image_metadata, "\"on\" or \"off\""},
    {"hbin", get_hbin, "horizontal binning factor"},
    {"hbin.min", get_bin_min, "smallest binning factor"},
    {"hbin.max", get_bin_max, "largest binning factor"},
    {"vbin", get_vbin, "vertical binning factor"},
    {"vbin.min", get_bin_min, "smallest binning factor"},
    {"vbin.max", get_bin_max, "largest binning factor"},
    {"image_width", get_image_width, "delivered image width in pixels"},
    {"image_height", get_image_height, "delivered image height in pixels"},
    {statistics_keyword, get_statistics,
     "frames and packets since the last arming, with frames dropped by cause"},
}};

constexpr std::array<command_row, 9> set_table{{
    {"arm", set_arm, "arms acquisition into the buffer in data (size in data_size_bytes)"},
    {"stop", set_stop, "stops acquisition and releases every waiting thread"},
    {"image_wait_release", set_image_wait_release, "releases one \"image_wait\""},
    {"dev_bytes_per_frame", set_accepted, "accepted; no effect"},
    {"image_metadata", set_image_metadata, "data \"on\" puts the tag block before each frame"},
    {"image_poll_timeout_ms", set_poll_timeout, "data: decimal milliseconds, -1 for no limit"},
    {"hbin", set_hbin, "horizontal binning factor, 1 to 16"},
    {"vbin", set_vbin, "vertical binning factor, 1 to 16"},
    {"unblock_image_wait_for_frame", set_accepted, "accepted; no effect"},
}};

template <std::size_t n>
const command_row* find_row(const std::array<command_row, n>& table, const command_request& r) {
  for (const command_row& row : table) {
    if (matches(r, row.keyword)) {
      return &row;
    }
  }
  return nullptr;
}

} // namespace

int copy_text_answer(std::string_view text, char* buffer, std::size_t size) {
  if (buffer == nullptr) {
    return QMX_NULL_BUFFER;
  }
  if (size == 0) {
    return QMX_TRUNCATED; // no room even for the terminator: nothing is written
  }
  if (text.size() < size) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return QMX_OK;
  }
  std::memcpy(buffer, text.data(), size - 1);
  buffer[size - 1] = '\0';
  return QMX_TRUNCATED;
}

int get_command(camera& c, const command_request& request) {
  if (const command_row* row = find_row(get_table, request)) {
    return row->run(c, request);
  }
  return pass_through(c, request, QMX_BAD_ARGUMENT);
}

int set_command(camera& c, const command_request& request) {
  if (const command_row* row = find_row(set_table, request)) {
    return row->run(c, request);
  }
  if (is_disconnected(request)) {
    return QMX_DISCONNECTED;
  }
  const int result = pass_through(c, request, QMX_BAD_SET_ARGUMENT);
  if (result != QMX_OK) {
    return result;
  }
  // A camera "roi" command may have changed the region: read it back.
  return matches(request, roi_keyword) ? read_roi(c) : QMX_OK;
}

std::string command_help(bool set_side) {
  std::string text;
  const auto describe = [&](const auto& table) {
    for (const command_row& row : table) {
      text.append(row.keyword).append(": ").append(row.help).append("\n");
    }
  };
  if (set_side) {
    describe(set_table);
  } else {
    describe(get_table);
  }
  return text;
}

} // namespace qmx
