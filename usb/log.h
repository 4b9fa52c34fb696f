// USB access layer: the one log sink. It discards everything unless a receiver is installed;
// no result of the layer depends on it.
#pragma once

#include <cstdarg>

namespace usb {

// Receives one formatted message with the source file name ("t_libusb" or "t_platform"), the
// line and the reporting function's name. Called on whatever thread reports.
using log_receiver = void (*)(const char* file, int line, const char* function,
                              const char* message);

// Installs a receiver (null: discard again). Not synchronised with reporting threads: install
// it before the layer is used.
void set_log_receiver(log_receiver receiver) noexcept;

void log_message(const char* file, int line, const char* function, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

} // namespace usb

#define T_LOG(file, ...) ::usb::log_message(file, __LINE__, __func__, __VA_ARGS__)
