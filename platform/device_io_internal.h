// Platform seam: the records behind device files and completion records, shared by the device
// source router (device_io.cpp) and the native driver backends (posix/, windows/).
#pragma once

#include "platform/device_io.h"
#include "sim/sim_driver_api.h"

#include <atomic>
#include <cstdint>

namespace platform {

// Room for a Win32 OVERLAPPED (32 bytes on 64-bit Windows) without including <windows.h> here.
constexpr std::size_t native_overlapped_size = 32;

struct completion_record_impl {
  qmx_sim_completion sim; // must stay the first member: the simulator hands it back to us
  event done;
  // Requests to the simulator: error::io_pending while in flight, then the outcome.
  std::atomic<std::uint32_t> status{0};
  std::atomic<std::uint32_t> bytes{0};
  bool via_simulator = false; // which source carries the current request
  // Requests to the real driver: the OVERLAPPED given to the system.
  alignas(8) unsigned char native_overlapped[native_overlapped_size]{};
};

class device_file_impl {
public:
  const qmx_sim_driver_api* sim_api = nullptr; // set when the path belongs to the simulator
  qmx_sim_file* sim_file = nullptr;
  void* native_handle = nullptr; // set when the path belongs to the real driver
};

// The real driver, where the system has one (Windows). Each call's contract is that of the
// device_file member of the same name; the POSIX backend has no driver and finds nothing.
namespace native_driver {
void* open(const char* path, bool exclusive, std::uint32_t* error);
void close(void* handle) noexcept;
std::uint32_t request(void* handle, std::uint32_t code, void* buffer, std::uint32_t length,
                      std::uint32_t* bytes_returned);
// Prepares the record's OVERLAPPED for a new request (event attached, state cleared).
void prepare(completion_record_impl& record);
std::uint32_t submit(void* handle, std::uint32_t code, void* buffer, std::uint32_t length,
                     completion_record_impl& record);
std::uint32_t outcome(void* handle, completion_record_impl& record, std::uint32_t* bytes,
                      bool wait);
bool completed(const completion_record_impl& record) noexcept;
std::uint32_t cancel(void* handle, completion_record_impl& record);
void enumerate(const interface_class_guid& guid, interface_enumeration& result);
} // namespace native_driver

} // namespace platform
