// Platform seam: device files and interface enumeration, dispatched to the device source that
// lists a path: the libraries of the process that export a device source table, and the kernel
// driver where the system has one.
#include "platform/device_io.h"
#include "platform/device_io_internal.h"

#include <cstring>
#include <new>

namespace platform {

namespace {

void guid_bytes(const interface_class_guid& guid, std::uint8_t (&bytes)[16]) {
  std::memcpy(bytes, &guid.data1, sizeof guid.data1);
  std::memcpy(bytes + 4, &guid.data2, sizeof guid.data2);
  std::memcpy(bytes + 6, &guid.data3, sizeof guid.data3);
  std::memcpy(bytes + 8, guid.data4.data(), guid.data4.size());
}

// The tables of the library sources loaded now that offer their devices, looked up afresh each
// time: a library may be loaded, unloaded or switched off between two calls.
std::vector<const qmx_device_source*> active_library_sources() {
  std::vector<const qmx_device_source*> sources;
  for (void* function : find_exported_functions(QMX_DEVICE_SOURCE_FUNCTION)) {
    const qmx_device_source* table = reinterpret_cast<qmx_device_source_function>(function)();
    if (table != nullptr && table->version == QMX_DEVICE_SOURCE_VERSION && table->active() != 0) {
      sources.push_back(table);
    }
  }
  return sources;
}

// ---- A library source, through its exported table -------------------------------------------

void on_library_completion(qmx_device_completion* self, std::uint32_t error, std::uint32_t bytes) {
  auto* record = reinterpret_cast<completion_record_impl*>(self);
  record->bytes.store(bytes, std::memory_order_relaxed);
  record->status.store(error, std::memory_order_release);
  record->done.set();
}

void collect_path(void* context, const char* path) {
  try {
    static_cast<interface_enumeration*>(context)->paths.emplace_back(path);
  } catch (...) {
    // Out of memory: the device is left out of this listing.
  }
}

void library_enumerate(const qmx_device_source* source, const interface_class_guid& guid,
                       interface_enumeration& result) {
  std::uint8_t bytes[16];
  guid_bytes(guid, bytes);
  source->enumerate(bytes, collect_path, &result);
}

std::uint32_t library_open(const qmx_device_source* source, const char* path, bool exclusive,
                           void** handle) {
  qmx_device_file* file = nullptr;
  const std::uint32_t result = source->open(path, exclusive ? 1 : 0, &file);
  *handle = file;
  return result;
}

void library_close(const device_file_impl& file) noexcept {
  file.table->close(static_cast<qmx_device_file*>(file.handle));
}

std::uint32_t library_request(const device_file_impl& file, std::uint32_t code, void* buffer,
                              std::uint32_t length, std::uint32_t* bytes_returned) {
  return file.table->submit(static_cast<qmx_device_file*>(file.handle), code, buffer, length,
                            bytes_returned, nullptr);
}

std::uint32_t library_submit(const device_file_impl& file, std::uint32_t code, void* buffer,
                             std::uint32_t length, completion_record_impl& r) {
  // DeviceIoControl resets an OVERLAPPED's event when it starts a request; the same here, so
  // that a signal left from the record's previous request (one nobody waited for, such as a
  // request ended by closing its file) never passes for this request's completion.
  r.done.reset();
  r.bytes.store(0, std::memory_order_relaxed);
  r.status.store(error::io_pending, std::memory_order_release);
  std::uint32_t bytes = 0;
  const std::uint32_t result = file.table->submit(static_cast<qmx_device_file*>(file.handle), code,
                                                  buffer, length, &bytes, &r.completion);
  if (result != error::success && result != error::io_pending) {
    r.status.store(result, std::memory_order_release); // refused: nothing is in flight
  }
  return result;
}

std::uint32_t library_outcome(const device_file_impl* /*file*/, completion_record_impl& r,
                              std::uint32_t* bytes, bool wait) {
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

bool library_completed(const completion_record_impl& r) noexcept {
  return r.status.load(std::memory_order_acquire) != error::io_pending;
}

std::uint32_t library_cancel(const device_file_impl& file, completion_record_impl& r) {
  return file.table->cancel(static_cast<qmx_device_file*>(file.handle), &r.completion);
}

const device_source_ops library_source{"library",       library_enumerate, library_open,
                                       library_close,   library_request,   library_submit,
                                       library_outcome, library_completed, library_cancel};

} // namespace

interface_enumeration enumerate_device_interfaces(const interface_class_guid& guid) {
  interface_enumeration result;
  if (const device_source_ops* driver = native_driver_source()) {
    driver->enumerate(nullptr, guid, result);
  }
  for (const qmx_device_source* source : active_library_sources()) {
    library_source.enumerate(source, guid, result);
  }
  return result;
}

namespace {

void destroy_record(completion_record_impl* impl) noexcept {
  if (impl != nullptr) {
    forget_native_record(*impl);
    delete impl;
  }
}

} // namespace

completion_record::completion_record() noexcept : impl_(nullptr) {}
completion_record::completion_record(completion_record&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
completion_record& completion_record::operator=(completion_record&& other) noexcept {
  if (this != &other) {
    destroy_record(impl_);
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
completion_record::~completion_record() {
  destroy_record(impl_);
}

bool completion_record::create() {
  auto* impl = new (std::nothrow) completion_record_impl;
  if (impl == nullptr) {
    return false;
  }
  impl->completion.complete = on_library_completion;
  impl->done = event::create();
  if (!impl->done.valid()) {
    delete impl;
    return false;
  }
  destroy_record(impl_);
  impl_ = impl;
  return true;
}

event& completion_record::completion_event() noexcept {
  return impl_->done;
}

bool completion_record::completed() const noexcept {
  return impl_ == nullptr || impl_->carrier == nullptr || impl_->carrier->completed(*impl_);
}

std::uint32_t completion_record::outcome(std::uint32_t* bytes, bool wait) noexcept {
  if (impl_ == nullptr || impl_->carrier == nullptr) {
    return error::invalid_handle;
  }
  return impl_->carrier->outcome(nullptr, *impl_, bytes, wait);
}

device_file device_file::open(const char* path, share_mode mode, std::uint32_t* error_out) {
  device_file file;
  const auto fail = [error_out](std::uint32_t error) {
    if (error_out != nullptr) {
      *error_out = error;
    }
  };
  auto* impl = new (std::nothrow) device_file_impl;
  if (impl == nullptr || path == nullptr) {
    delete impl;
    fail(path == nullptr ? error::invalid_parameter : error::not_enough_memory);
    return file;
  }
  const bool exclusive = mode == share_mode::exclusive;
  // The first source that knows the path opens it (or says why it will not).
  std::uint32_t error = error::file_not_found;
  for (const qmx_device_source* source : active_library_sources()) {
    error = library_source.open(source, path, exclusive, &impl->handle);
    if (error != error::file_not_found) {
      impl->ops = &library_source;
      impl->table = source;
      break;
    }
  }
  const device_source_ops* driver = native_driver_source();
  if (error == error::file_not_found && driver != nullptr) {
    error = driver->open(nullptr, path, exclusive, &impl->handle);
    impl->ops = driver;
  }
  if (error != error::success) {
    delete impl;
    fail(error);
    return file;
  }
  fail(error::success);
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
  impl_->ops->close(*impl_);
  delete impl_;
  impl_ = nullptr;
}

std::uint32_t device_file::request(std::uint32_t code, void* buffer, std::uint32_t length,
                                   std::uint32_t* bytes_returned) {
  std::uint32_t bytes = 0;
  const std::uint32_t result = impl_ == nullptr
                                   ? error::invalid_handle
                                   : impl_->ops->request(*impl_, code, buffer, length, &bytes);
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
  r->carrier = impl_->ops;
  return impl_->ops->submit(*impl_, code, buffer, length, *r);
}

std::uint32_t device_file::outcome(completion_record& record, std::uint32_t* bytes, bool wait) {
  completion_record_impl* r = record.native();
  if (impl_ == nullptr || r == nullptr || r->carrier != impl_->ops) {
    return error::invalid_handle;
  }
  return impl_->ops->outcome(impl_, *r, bytes, wait);
}

std::uint32_t device_file::cancel(completion_record& record) {
  completion_record_impl* r = record.native();
  if (impl_ == nullptr || r == nullptr) {
    return error::invalid_handle;
  }
  if (r->carrier != impl_->ops) {
    return error::not_found; // the record carries no request of this file's source
  }
  return impl_->ops->cancel(*impl_, *r);
}

} // namespace platform
