// Platform seam: device files of the camera's USB driver and enumeration of driver interfaces.
//
// Two device sources stand behind these calls: the real kernel driver (Windows only) and the
// simulated camera world, which is used whenever its library is already loaded in the process.
// Requests and outcomes keep Win32 semantics and Win32-like error codes on every system.
#pragma once

#include "platform/platform.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A device interface class, in the usual {xxxxxxxx-xxxx-...} text form's binary layout.
struct interface_class_guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::array<std::uint8_t, 8> data4;
};

// Outcome of enumerating one interface class.
struct interface_enumeration {
  std::vector<std::string> paths; // interface paths, in the order found
  // 0, or the error with which the class could not be listed at all.
  std::uint32_t list_error = 0;
  // True when the listing ended because there were no more members (as opposed to a failure).
  bool ended_with_no_more_items = true;
};

// Lists the present device interfaces of `guid` from every device source.
interface_enumeration enumerate_device_interfaces(const interface_class_guid& guid);

struct completion_record_impl;

// The completion record of one overlapped request (an OVERLAPPED on Windows). It owns an
// auto-reset event that the device source sets when the request completes, also when it
// completes before the submitting call returns. A record may carry one request at a time and is
// reused by the next; it must outlive the request it carries.
class completion_record {
public:
  completion_record() noexcept;
  completion_record(completion_record&& other) noexcept;
  completion_record& operator=(completion_record&& other) noexcept;
  completion_record(const completion_record&) = delete;
  completion_record& operator=(const completion_record&) = delete;
  ~completion_record();

  // Creates the record's event; false on failure (the record stays unusable).
  bool create();
  bool valid() const noexcept { return impl_ != nullptr; }

  // The event set on completion. Waiting on it consumes the signal.
  event& completion_event() noexcept;
  // True once the request this record carries has completed (the signal is not consumed).
  bool completed() const noexcept;

  // The outcome of the request this record carries: 0 with its byte count, or its error. When it
  // has not completed yet: error::io_pending, or with `wait` waits for its completion first
  // (consuming the completion signal, as waiting on an OVERLAPPED's event does). Needs no file,
  // so it also serves after the file was closed; asks the source that carries the request.
  std::uint32_t outcome(std::uint32_t* bytes, bool wait = false) noexcept;

  completion_record_impl* native() const noexcept { return impl_; }

private:
  completion_record_impl* impl_;
};

class device_file_impl;

enum class share_mode {
  exclusive, // refuses every other open until closed, and is refused while another open exists
  shared,    // read and write sharing, for probes
};

// An open device interface path. Closing the file (destructor or `close`) ends every request
// still pending on it with `error::operation_aborted` and sets their completion events.
class device_file {
public:
  // Opens `path` (letter case does not matter). On failure the file is invalid and `error_out`
  // (when given) receives the reason: file_not_found, sharing_violation, ...
  static device_file open(const char* path, share_mode mode, std::uint32_t* error_out = nullptr);

  device_file() noexcept;
  device_file(device_file&& other) noexcept;
  device_file& operator=(device_file&& other) noexcept;
  device_file(const device_file&) = delete;
  device_file& operator=(const device_file&) = delete;
  ~device_file();

  bool valid() const noexcept { return impl_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }

  // Synchronous request: `buffer` of `length` bytes is both input and output. Returns 0 with the
  // returned byte count in `bytes_returned`, or an error code.
  std::uint32_t request(std::uint32_t code, void* buffer, std::uint32_t length,
                        std::uint32_t* bytes_returned);

  // Overlapped request. Returns 0 when it completed at once, error::io_pending when it will
  // complete later, or another error when it was refused (then the record's event is not set).
  // In the first two cases the record's event is set on completion. As DeviceIoControl does,
  // the call first clears a signal the record's event may still hold from an earlier request.
  // `buffer` must stay valid until completion.
  std::uint32_t submit(std::uint32_t code, void* buffer, std::uint32_t length,
                       completion_record& record);

  // The outcome of the request carried by `record`: 0 with its byte count, or its error. When it
  // has not completed yet: error::io_pending, or with `wait` waits for it first.
  std::uint32_t outcome(completion_record& record, std::uint32_t* bytes, bool wait);

  // Asks the device source to end the pending request carried by `record` early; it then
  // completes with error::operation_aborted. Returns 0, or error::not_found when no such request
  // is pending (it has completed already).
  std::uint32_t cancel(completion_record& record);

  // Closes the file; pending requests end as described above.
  void close() noexcept;

  device_file_impl* native() const noexcept { return impl_; }

private:
  device_file_impl* impl_;
};

} // namespace platform
