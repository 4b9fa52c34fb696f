// Prints completions per second and MB/s through the USB layer's wait and callback threads: a
// simulated camera in maximum-rate mode, 2048 image transfers of 16384 bytes in flight on 0x83,
// and a callback that does nothing but resubmit.
#include "include/qmx_libusb.h"
#include "sim/qmx_sim.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int transfers_in_flight = 2048;
constexpr int image_capacity = 16384;
constexpr int uart_capacity = 1024;
constexpr double measure_seconds = 3.0;

std::atomic<std::uint64_t> completions{0};
std::atomic<std::uint64_t> bytes{0};
std::atomic<bool> resubmit{true};

void LIBUSB_CALL on_image(libusb_transfer* transfer) {
  if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
    completions.fetch_add(1, std::memory_order_relaxed);
    bytes.fetch_add(static_cast<std::uint64_t>(transfer->actual_length), std::memory_order_relaxed);
    if (resubmit.load(std::memory_order_relaxed)) {
      libusb_submit_transfer(transfer);
    }
  }
}

std::atomic<int> uart_done{0};
void LIBUSB_CALL on_uart(libusb_transfer*) {
  uart_done.fetch_add(1);
}

bool send(libusb_device_handle* handle, const char* text) {
  static unsigned char out[uart_capacity];
  static unsigned char in[uart_capacity];
  std::memset(out, 0, sizeof out);
  std::memcpy(out, text, std::strlen(text));
  libusb_transfer* tx = libusb_alloc_transfer(uart_capacity);
  libusb_transfer* rx = libusb_alloc_transfer(uart_capacity);
  tx->dev_handle = rx->dev_handle = handle;
  tx->endpoint = 0x02;
  rx->endpoint = 0x82;
  tx->buffer = out;
  rx->buffer = in;
  tx->length = rx->length = uart_capacity;
  tx->callback = rx->callback = on_uart;
  uart_done = 0;
  bool ok = libusb_submit_transfer(tx) == 0 && libusb_submit_transfer(rx) == 0;
  for (int waited = 0; ok && uart_done.load() < 2 && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ok = ok && uart_done.load() == 2;
  libusb_free_transfer(tx);
  libusb_free_transfer(rx);
  return ok;
}

} // namespace

int main() {
  const int camera = qmx_sim_camera_add("BENCHUSB1", 0x0300);
  qmx_sim_set_max_rate(camera, 1);
  libusb_context* ctx = nullptr;
  libusb_device** list = nullptr;
  libusb_device_handle* handle = nullptr;
  if (libusb_init(&ctx) != 0 || libusb_get_device_list(ctx, &list) != 1 ||
      libusb_open(list[0], &handle) != 0) {
    std::puts("bench: could not open the simulated camera");
    return 1;
  }
  libusb_free_device_list(list, 1);
  std::vector<std::vector<unsigned char>> buffers(transfers_in_flight,
                                                  std::vector<unsigned char>(image_capacity));
  std::vector<libusb_transfer*> transfers;
  for (auto& buffer : buffers) {
    libusb_transfer* t = libusb_alloc_transfer(image_capacity);
    t->dev_handle = handle;
    t->endpoint = 0x83;
    t->buffer = buffer.data();
    t->length = image_capacity;
    t->callback = on_image;
    transfers.push_back(t);
    libusb_submit_transfer(t);
  }
  if (!send(handle, "arm")) {
    std::puts("bench: the camera did not answer \"arm\"");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::uint64_t start_count = completions.load();
  const std::uint64_t start_bytes = bytes.load();
  std::this_thread::sleep_for(std::chrono::duration<double>(measure_seconds));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double rate = static_cast<double>(completions.load() - start_count) / seconds;
  const double megabytes = static_cast<double>(bytes.load() - start_bytes) / seconds / 1e6;
  resubmit = false;
  send(handle, "stop");
  libusb_close(handle);
  for (libusb_transfer* t : transfers) {
    libusb_free_transfer(t);
  }
  libusb_exit(ctx);
  std::printf("usb_transfers: %.0f completions/s, %.0f MB/s (%d transfers of %d bytes in flight "
              "on 0x83, simulated camera at maximum rate)\n",
              rate, megabytes, transfers_in_flight, image_capacity);
  qmx_sim_reset();
  return 0;
}
