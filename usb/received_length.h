// USB access layer, module-internal: the byte count the driver reported for a transfer's last
// completion. The layer reports a completed transfer's whole length as its actual length, as
// callers of its libusb-style interface expect; the module's own image path needs to know when a
// packet arrived short. Not exported.
#pragma once

#include "include/qmx_libusb.h"

#include <cstdint>

namespace usb {

// Data bytes the driver delivered with the transfer's last completion (at most the transfer's
// length and its capacity); 0 for a failed or cancelled request or a null transfer. Valid from
// the transfer's callback until it is submitted again.
std::int32_t received_length(const libusb_transfer* transfer) noexcept;

} // namespace usb
