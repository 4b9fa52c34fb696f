// Fuzz target: raw requests to the simulated driver, through the driver table the platform seam
// uses. Whatever the request code, header and buffer length, the driver answers with an error
// or completes the request within the buffer it was given; it never reads or writes outside it.
#include "platform/device_source.h"
#include "sim/qmx_sim.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

// The simulator's one driver export (the seam finds it by name; this target links to it).
extern "C" const qmx_device_source* qmx_device_source_table(void);

namespace {

constexpr std::uint32_t request_codes[] = {0x220020, 0x220024, 0x220028, 0};
constexpr std::uint32_t io_pending = 997;
constexpr std::uint32_t not_found = 1168;
constexpr std::size_t max_buffer = 20000;

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

struct completion {
  qmx_device_completion base{on_complete};
  std::atomic<int> calls{0};
  std::uint32_t bytes = 0;

  static void on_complete(qmx_device_completion* self, std::uint32_t /*error*/,
                          std::uint32_t bytes) {
    auto* c = reinterpret_cast<completion*>(self);
    c->bytes = bytes;
    c->calls.fetch_add(1, std::memory_order_release);
  }
};

struct opened_camera {
  const qmx_device_source* api = nullptr;
  qmx_device_file* file = nullptr;
};

opened_camera& camera() {
  static opened_camera* opened = [] {
    auto* c = new opened_camera;
    const int id = qmx_sim_camera_add("FUZZ0001", 0x0300);
    char path[512];
    require(id > 0 && qmx_sim_camera_path(id, path, sizeof path) == 0);
    c->api = qmx_device_source_table();
    require(c->api->open(path, 1, &c->file) == 0);
    return c;
  }();
  return *opened;
}

} // namespace

// Input: one byte choosing the request code, two bytes of buffer length, then the buffer's
// first bytes (the rest is zero).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  opened_camera& c = camera();
  const std::uint32_t code = request_codes[data[0] % std::size(request_codes)];
  const bool overlapped = (data[0] & 0x80) != 0;
  const std::size_t length = std::min<std::size_t>(max_buffer, data[1] | (data[2] << 8));
  // Exactly `length` bytes on the heap, so that AddressSanitizer sees any access past the end.
  std::vector<std::uint8_t> buffer(length);
  if (length > 0) {
    std::memcpy(buffer.data(), data + 3, std::min(length, size - 3));
  }
  completion done;
  std::uint32_t bytes = 0;
  const std::uint32_t result =
      c.api->submit(c.file, code, buffer.data(), static_cast<std::uint32_t>(length), &bytes,
                    overlapped ? &done.base : nullptr);
  if (overlapped && result == io_pending) {
    if (c.api->cancel(c.file, &done.base) == not_found) {
      // Being completed by the camera right now: it completes without our cancel.
    }
    while (done.calls.load(std::memory_order_acquire) == 0) {
      std::this_thread::yield();
    }
  }
  if (overlapped && result != 0 && result != io_pending) {
    require(done.calls.load() == 0); // a refused request is never completed
  }
  if (overlapped && (result == 0 || result == io_pending)) {
    require(done.calls.load() == 1);
    require(done.bytes <= length);
  } else if (!overlapped && result == 0) {
    require(bytes <= length);
  }
  return 0;
}
