// Platform seam: device files and interface enumeration, routed to the simulator (when its
// library is loaded in the process) or to the real driver backend.
#include "platform/device_io.h"
#include "platform/device_io_internal.h"

#include <cstring>
#include <new>

namespace platform {

namespace {

using api_getter = const qmx_sim_driver_api* (*)();

// The simulator's driver table, looked up afresh each time: the library may be loaded or
// unloaded between two listings.
const qmx_sim_driver_api* find_simulator() noexcept {
  library_handle library = find_loaded_library(QMX_SIM_LIBRARY_FILE_NAME);
  if (library == nullptr) {
    return nullptr;
  }
  auto getter =
      reinterpret_cast<api_getter>(find_library_function(library, QMX_SIM_DRIVER_API_FUNCTION));
  if (getter == nullptr) {
    return nullptr;
  }
  const qmx_sim_driver_api* api = getter();
  if (api == nullptr || api->version != QMX_SIM_DRIVER_API_VERSION) {
    return nullptr;
  }
  return api;
}

void guid_bytes(const interface_class_guid& guid, std::uint8_t (&bytes)[16]) {
  std::memcpy(bytes, &guid.data1, sizeof guid.data1);
  std::memcpy(bytes + 4, &guid.data2, sizeof guid.data2);
  std::memcpy(bytes + 6, &guid.data3, sizeof guid.data3);
  std::memcpy(bytes + 8, guid.data4.data(), guid.data4.size());
}

void collect_path(void* context, const char* path) {
  try {
    static_cast<interface_enumeration*>(context)->paths.emplace_back(path);
  } catch (...) {
    // Out of memory: the device is left out of this listing.
  }
}

void on_sim_completion(qmx_sim_completion* self, std::uint32_t error, std::uint32_t bytes) {
  auto* record = reinterpret_cast<completion_record_impl*>(self);
  record->bytes.store(bytes, std::memory_order_relaxed);
  record->status.store(error, std::memory_order_release);
  record->done.set();
}

} // namespace

interface_enumeration enumerate_device_interfaces(const interface_class_guid& guid) {
  interface_enumeration result;
  native_driver::enumerate(guid, result);
  if (const qmx_sim_driver_api* api = find_simulator()) {
    std::uint8_t bytes[16];
    guid_bytes(guid, bytes);
    api->enumerate(bytes, collect_path, &result);
  }
  return result;
}

completion_record::completion_record() noexcept : impl_(nullptr) {}
completion_record::completion_record(completion_record&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
completion_record& completion_record::operator=(completion_record&& other) noexcept {
  if (this != &other) {
    delete impl_;
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
completion_record::~completion_record() {
  delete impl_;
}

bool completion_record::create() {
  auto* impl = new (std::nothrow) completion_record_impl;
  if (impl == nullptr) {
    return false;
  }
  impl->sim.complete = on_sim_completion;
  impl->done = event::create();
  if (!impl->done.valid()) {
    delete impl;
    return false;
  }
  delete impl_;
  impl_ = impl;
  return true;
}

event& completion_record::completion_event() noexcept {
  return impl_->done;
}

namespace {

// The outcome of a request the simulator carries; with `wait`, waits for it first.
std::uint32_t simulated_outcome(completion_record_impl& r, std::uint32_t* bytes, bool wait) {
  std::uint32_t status = r.status.load(std::memory_order_acquire);
  if (status == error::io_pending) {
    if (!wait) {
      if (bytes != nullptr) {
        *bytes = 0;
      }
      return error::io_pending;
    }
    // As with an OVERLAPPED, waiting here consumes the completion signal.
    while ((status = r.status.load(std::memory_order_acquire)) == error::io_pending) {
      r.done.wait();
    }
  }
  if (bytes != nullptr) {
    *bytes = r.bytes.load(std::memory_order_relaxed);
  }
  return status;
}

} // namespace

bool completion_record::completed() const noexcept {
  if (impl_ == nullptr) {
    return true;
  }
  // Each source keeps the state of its own requests; the other's is left from an earlier one.
  return impl_->via_simulator ? impl_->status.load(std::memory_order_acquire) != error::io_pending
                              : native_driver::completed(*impl_);
}

std::uint32_t completion_record::outcome(std::uint32_t* bytes, bool wait) noexcept {
  if (impl_ == nullptr) {
    return error::invalid_handle;
  }
  return impl_->via_simulator ? simulated_outcome(*impl_, bytes, wait)
                              : native_driver::outcome(nullptr, *impl_, bytes, wait);
}

device_file device_file::open(const char* path, share_mode mode, std::uint32_t* error_out) {
  device_file file;
  std::uint32_t error = error::file_not_found;
  auto* impl = new (std::nothrow) device_file_impl;
  if (impl == nullptr || path == nullptr) {
    delete impl;
    if (error_out != nullptr) {
      *error_out = path == nullptr ? error::invalid_parameter : error::not_enough_memory;
    }
    return file;
  }
  const bool exclusive = mode == share_mode::exclusive;
  if (const qmx_sim_driver_api* api = find_simulator()) {
    error = api->open(path, exclusive ? 1 : 0, &impl->sim_file);
    if (error == error::success) {
      impl->sim_api = api;
    }
  }
  if (impl->sim_api == nullptr && error == error::file_not_found) {
    impl->native_handle = native_driver::open(path, exclusive, &error);
  }
  if (impl->sim_api == nullptr && impl->native_handle == nullptr) {
    delete impl;
    if (error_out != nullptr) {
      *error_out = error;
    }
    return file;
  }
  if (error_out != nullptr) {
    *error_out = error::success;
  }
  file.impl_ = impl;
  return file;
}

device_file::device_file() noexcept : impl_(nullptr) {}
device_file::device_file(device_file&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
device_file& device_file::operator=(device_file&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
device_file::~device_file() {
  close();
}

void device_file::close() noexcept {
  if (impl_ == nullptr) {
    return;
  }
  if (impl_->sim_api != nullptr) {
    impl_->sim_api->close(impl_->sim_file);
  } else {
    native_driver::close(impl_->native_handle);
  }
  delete impl_;
  impl_ = nullptr;
}

std::uint32_t device_file::request(std::uint32_t code, void* buffer, std::uint32_t length,
                                   std::uint32_t* bytes_returned) {
  if (impl_ == nullptr) {
    return error::invalid_handle;
  }
  std::uint32_t bytes = 0;
  const std::uint32_t result =
      impl_->sim_api != nullptr
          ? impl_->sim_api->submit(impl_->sim_file, code, buffer, length, &bytes, nullptr)
          : native_driver::request(impl_->native_handle, code, buffer, length, &bytes);
  if (bytes_returned != nullptr) {
    *bytes_returned = bytes;
  }
  return result;
}

std::uint32_t device_file::submit(std::uint32_t code, void* buffer, std::uint32_t length,
                                  completion_record& record) {
  completion_record_impl* r = record.native();
  if (impl_ == nullptr || r == nullptr) {
    return error::invalid_handle;
  }
  r->via_simulator = impl_->sim_api != nullptr;
  if (impl_->sim_api == nullptr) {
    native_driver::prepare(*r);
    return native_driver::submit(impl_->native_handle, code, buffer, length, *r);
  }
  // DeviceIoControl resets an OVERLAPPED's event when it starts a request; do the same, so that a
  // signal left from the record's previous request (one nobody waited for, such as a request
  // ended by closing its file) never passes for this request's completion.
  r->done.reset();
  r->bytes.store(0, std::memory_order_relaxed);
  r->status.store(error::io_pending, std::memory_order_release);
  std::uint32_t bytes = 0;
  const std::uint32_t result =
      impl_->sim_api->submit(impl_->sim_file, code, buffer, length, &bytes, &r->sim);
  if (result != error::success && result != error::io_pending) {
    r->status.store(result, std::memory_order_release); // refused: nothing is in flight
  }
  return result;
}

std::uint32_t device_file::outcome(completion_record& record, std::uint32_t* bytes, bool wait) {
  completion_record_impl* r = record.native();
  if (impl_ == nullptr || r == nullptr) {
    return error::invalid_handle;
  }
  if (impl_->sim_api == nullptr) {
    return native_driver::outcome(impl_->native_handle, *r, bytes, wait);
  }
  return simulated_outcome(*r, bytes, wait);
}

std::uint32_t device_file::cancel(completion_record& record) {
  completion_record_impl* r = record.native();
  if (impl_ == nullptr || r == nullptr) {
    return error::invalid_handle;
  }
  if (impl_->sim_api == nullptr) {
    return native_driver::cancel(impl_->native_handle, *r);
  }
  return impl_->sim_api->cancel(impl_->sim_file, &r->sim);
}

} // namespace platform
