// Platform seam, POSIX: there is no kernel driver for the camera here, so the libraries that
// export a device source table (the simulator) are the only device sources.
#include "platform/device_io_internal.h"

namespace platform {

const device_source_ops* native_driver_source() noexcept {
  return nullptr;
}

void forget_native_record(completion_record_impl& /*record*/) noexcept {}

} // namespace platform
