// USB access layer, module-internal extensions of the libusb-style interface: what the module's
// own camera code needs to know beyond what libusb-1.0 callers are told. Declared here, beside
// the public interface, and defined in the layer; never exported from the module, so programs
// outside it cannot call them.
#pragma once

#include "include/qmx_libusb.h"

#include <cstdint>

namespace usb {

// Data bytes the driver delivered with the transfer's last completion (at most the transfer's
// length and its capacity); 0 for a failed or cancelled request or a null transfer. The layer
// reports a completed transfer's whole length as its actual length, as callers of its
// libusb-style interface expect; the module's image path and serial channel need to know what
// really arrived. Valid from the transfer's callback until it is submitted again.
std::int32_t received_length(const libusb_transfer* transfer) noexcept;

// Whether two device records stand for the same driver interface path (letter case aside): the
// same device as listed and as reported by an arrival, which the layer keeps as two records.
// False when either is null. Device records stay valid until the context is exited.
bool same_device_path(const libusb_device* a, const libusb_device* b) noexcept;

// What the module needs of the system besides devices, reached through the layer, its only way
// to the platform seam.

// Keeps the module (the library that holds the layer) loaded until the process ends: later
// unloads by its host leave it mapped. True when it is pinned.
bool keep_module_loaded() noexcept;
// Whether the module's unload may wait for threads it started (false on Windows, where the
// unload runs under the loader lock that an ending thread needs).
bool unload_can_join_threads() noexcept;
// True while the process itself is ending (Windows: its other threads are already gone).
bool process_is_terminating() noexcept;
// The address of the exported function `name` of a loaded library, or null.
void* library_function(void* library, const char* name) noexcept;

} // namespace usb
