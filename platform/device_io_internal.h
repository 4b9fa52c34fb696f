// Platform seam: the records behind device files and completion records, and the contract that
// each kind of device source fills, shared by the dispatch (device_io.cpp) and the sources: the
// kernel driver (windows/) and the libraries of the process that export a device source table
// (device_source.h).
#pragma once

#include "platform/device_io.h"
#include "platform/device_source.h"

#include <atomic>
#include <cstdint>

namespace platform {

// Room for a Win32 OVERLAPPED (32 bytes on 64-bit Windows) without including <windows.h> here.
constexpr std::size_t native_overlapped_size = 32;

struct device_source_ops;

struct completion_record_impl {
  qmx_device_completion completion; // must stay the first member: a library source hands it back
  event done;
  // The source that carries the record's current request (null before the first): each source
  // keeps its own requests' state, and only the carrier's is read.
  const device_source_ops* carrier = nullptr;
  // Requests to a library source: error::io_pending while in flight, then the outcome.
  std::atomic<std::uint32_t> status{0};
  std::atomic<std::uint32_t> bytes{0};
  // Requests to the kernel driver: the OVERLAPPED given to the system.
  alignas(8) unsigned char native_overlapped[native_overlapped_size]{};
  // Requests to the kernel driver: the open file whose request the record may still carry, and
  // the links of that file's list of such records, through which closing the file waits for
  // them. Kept by the kernel driver's source, under its own lock.
  void* native_file = nullptr;
  completion_record_impl* native_previous = nullptr;
  completion_record_impl* native_next = nullptr;
};

// Drops what the kernel driver's source keeps of a record that is about to be destroyed (a record
// must not be destroyed while it carries a request, but one whose request is over may be, also
// while the file is still open). Does nothing where there is no kernel driver.
void forget_native_record(completion_record_impl& record) noexcept;

class device_file_impl {
public:
  const device_source_ops* ops = nullptr;   // the source that opened the file
  const qmx_device_source* table = nullptr; // a library source's table; null for the driver
  void* handle = nullptr;                   // the source's own file: a HANDLE, a qmx_device_file*
};

// One kind of device source, as the seam dispatches to it. Every member is required; each may
// run on any thread, at the same time as the others, and reports Win32 error codes. `source` is
// the library's table for a library source and null for the kernel driver.
struct device_source_ops {
  const char* name;
  // Appends the paths of the present interfaces of `guid` to `result` (and, for the driver,
  // sets how its listing ended).
  void (*enumerate)(const qmx_device_source* source, const interface_class_guid& guid,
                    interface_enumeration& result);
  // Opens `path`: 0 with the source's file in `handle`, error::file_not_found when the path is
  // none of this source's, or the reason it was refused.
  std::uint32_t (*open)(const qmx_device_source* source, const char* path, bool exclusive,
                        void** handle);
  // Closes the file; requests still pending on it end with error::operation_aborted and their
  // completion events are set, and the system writes nothing into their buffers or records once
  // this has returned.
  void (*close)(const device_file_impl& file) noexcept;
  // A synchronous request: 0 with the returned byte count, or an error.
  std::uint32_t (*request)(const device_file_impl& file, std::uint32_t code, void* buffer,
                           std::uint32_t length, std::uint32_t* bytes_returned);
  // Starts an overlapped request carried by `record`, first clearing a signal its event may
  // still hold: 0 completed, error::io_pending in flight (the event is set on completion in both
  // cases), or the reason it was refused (the event is not set).
  std::uint32_t (*submit)(const device_file_impl& file, std::uint32_t code, void* buffer,
                          std::uint32_t length, completion_record_impl& record);
  // The outcome of the request `record` carries: 0 with its byte count, or its error; while it
  // is in flight error::io_pending, or with `wait` waits for it (consuming the event's signal).
  // `file` may be null: the record alone tells, also after the file was closed.
  std::uint32_t (*outcome)(const device_file_impl* file, completion_record_impl& record,
                           std::uint32_t* bytes, bool wait);
  // Whether the request `record` carries is over; never consumes the event's signal.
  bool (*completed)(const completion_record_impl& record) noexcept;
  // Ends the pending request `record` carries early: 0, or error::not_found when none is
  // pending.
  std::uint32_t (*cancel)(const device_file_impl& file, completion_record_impl& record);
};

// The kernel driver's source where the system has one (Windows); null elsewhere.
const device_source_ops* native_driver_source() noexcept;

} // namespace platform
