// Test and bench support: raw driver requests built the way the USB layer builds them, sent
// through the platform seam's device files to the simulated driver.
#pragma once

#include "platform/device_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace driver_requests {

constexpr std::uint32_t request_control = 0x220020;
constexpr std::uint32_t request_endpoint = 0x220024;
constexpr std::uint32_t header_size = 38;
constexpr std::uint32_t uart_length = 1024;
constexpr std::uint32_t image_length = 16384;
constexpr std::uint32_t descriptor_buffer_size = 4096;

inline void put_u16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) {
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

inline std::uint32_t get_u32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// An endpoint request: the header as the USB layer writes it, then `data_length` data bytes.
inline std::vector<std::uint8_t> endpoint_buffer(std::uint8_t endpoint, std::uint32_t data_length) {
  std::vector<std::uint8_t> b(header_size + data_length, 0);
  b.at(13) = endpoint;
  put_u32(b, 30, header_size);
  put_u32(b, 34, data_length);
  return b;
}

// The standard device-descriptor read.
inline std::vector<std::uint8_t> descriptor_read_buffer() {
  std::vector<std::uint8_t> b(descriptor_buffer_size, 0);
  b[0] = 0x80;
  b[1] = 6;
  put_u16(b, 2, 0x0100);
  put_u16(b, 6, 18);
  put_u32(b, 8, 5);
  put_u32(b, 30, header_size);
  put_u32(b, 34, 18);
  return b;
}

// One overlapped request with its own buffer and completion record.
struct pending_request {
  std::vector<std::uint8_t> buffer;
  platform::completion_record record;

  pending_request(std::uint8_t endpoint, std::uint32_t data_length)
      : buffer(endpoint_buffer(endpoint, data_length)) {
    record.create();
  }
  // 0 or error::io_pending when accepted, else the driver's refusal.
  std::uint32_t submit(platform::device_file& file) {
    return file.submit(request_endpoint, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                       record);
  }
  const std::uint8_t* data() const { return buffer.data() + header_size; }
};

// One command transaction: the command on 0x02, then the reply on 0x82. Returns the reply
// text, "<no reply>" when none came within `reply_wait_ms` (the read is then cancelled), or
// "<failed>" when a request was refused or failed.
inline std::string transact(platform::device_file& file, const std::string& command,
                            std::uint32_t reply_wait_ms = 2000) {
  constexpr std::uint32_t command_wait_ms = 2000;
  pending_request out(0x02, uart_length);
  pending_request in(0x82, uart_length);
  std::memcpy(out.buffer.data() + header_size, command.data(),
              std::min<std::size_t>(command.size(), uart_length));
  const std::uint32_t sent = out.submit(file);
  if ((sent != 0 && sent != platform::error::io_pending) ||
      !out.record.completion_event().wait_for(command_wait_ms) ||
      out.record.outcome(nullptr) != 0) {
    return "<failed>";
  }
  const std::uint32_t asked = in.submit(file);
  if (asked != 0 && asked != platform::error::io_pending) {
    return "<failed>";
  }
  if (!in.record.completion_event().wait_for(reply_wait_ms)) {
    file.cancel(in.record);
    file.outcome(in.record, nullptr, true); // the buffer must outlive the request
    return "<no reply>";
  }
  if (in.record.outcome(nullptr) != 0) {
    return "<failed>";
  }
  return reinterpret_cast<const char*>(in.data());
}

} // namespace driver_requests
