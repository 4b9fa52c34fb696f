// Platform seam, POSIX: there is no kernel driver for the camera here, so the simulator is the
// only device source and this backend finds and opens nothing.
#include "platform/device_io_internal.h"

namespace platform::native_driver {

void* open(const char* /*path*/, bool /*exclusive*/, std::uint32_t* error) {
  *error = error::file_not_found;
  return nullptr;
}

void close(void* /*handle*/) noexcept {}

std::uint32_t request(void* /*handle*/, std::uint32_t /*code*/, void* /*buffer*/,
                      std::uint32_t /*length*/, std::uint32_t* bytes_returned) {
  *bytes_returned = 0;
  return error::invalid_handle;
}

void prepare(completion_record_impl& /*record*/) {}

std::uint32_t submit(void* /*handle*/, std::uint32_t /*code*/, void* /*buffer*/,
                     std::uint32_t /*length*/, completion_record_impl& /*record*/) {
  return error::invalid_handle;
}

std::uint32_t outcome(void* /*handle*/, completion_record_impl& /*record*/, std::uint32_t* bytes,
                      bool /*wait*/) {
  if (bytes != nullptr) {
    *bytes = 0;
  }
  return error::invalid_handle;
}

bool completed(const completion_record_impl& /*record*/) noexcept {
  return true;
}

std::uint32_t cancel(void* /*handle*/, completion_record_impl& /*record*/) {
  return error::not_found;
}

void enumerate(const interface_class_guid& /*guid*/, interface_enumeration& result) {
  result.list_error = 0;
  result.ended_with_no_more_items = true;
}

} // namespace platform::native_driver
