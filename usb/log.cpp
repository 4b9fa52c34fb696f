// USB access layer: the log sink.
#include "usb/log.h"

#include <atomic>
#include <cstdio>

namespace usb {

namespace {
std::atomic<log_receiver> receiver{nullptr};
constexpr std::size_t message_capacity = 1024;
} // namespace

void set_log_receiver(log_receiver r) noexcept {
  receiver.store(r, std::memory_order_release);
}

void log_message(const char* file, int line, const char* function, const char* format, ...) {
  const log_receiver r = receiver.load(std::memory_order_acquire);
  if (r == nullptr) {
    return;
  }
  char message[message_capacity];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  r(file, line, function, message);
}

} // namespace usb
