/* A C program built against the system's libusb-1.0 header and linked against the camera
 * module instead of libusb: it lists a simulated camera, reads its descriptor and runs one
 * asynchronous command transaction on it. Exit status 0 means every step gave what it should. */
#include <libusb.h>

#include "sim/qmx_sim.h"

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(int ms) {
  Sleep((DWORD)ms);
}
#else
#include <time.h>
static void pause_ms(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

#define CHECK(condition)                                                                           \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      fprintf(stderr, "abi_check: %s failed (line %d)\n", #condition, __LINE__);                   \
      return 1;                                                                                    \
    }                                                                                              \
  } while (0)

static atomic_int completed;

static void LIBUSB_CALL on_transfer(struct libusb_transfer* transfer) {
  (void)transfer;
  atomic_fetch_add(&completed, 1);
}

static int wait_for_completions(int count) {
  for (int waited = 0; waited < 5000; waited += 5) {
    if (atomic_load(&completed) >= count) {
      return 1;
    }
    pause_ms(5);
  }
  return 0;
}

int main(void) {
  enum { uart_bytes = 1024 };
  static unsigned char command[uart_bytes];
  static unsigned char reply[uart_bytes];
  libusb_context* ctx = NULL;
  libusb_device** list = NULL;
  struct libusb_device_descriptor descriptor;
  libusb_device_handle* handle = NULL;

  qmx_sim_reset();
  CHECK(qmx_sim_camera_add("ABI00001", 0x0200) > 0);
  CHECK(libusb_init(&ctx) == 0);
  CHECK(libusb_get_device_list(ctx, &list) == 1);
  CHECK(list[1] == NULL);
  CHECK(libusb_get_device_descriptor(list[0], &descriptor) == 0);
  CHECK(descriptor.bLength == 18 && descriptor.idVendor == 0x2F4E &&
        descriptor.idProduct == 0x4002);
  CHECK(descriptor.bcdUSB == 0x0200);
  CHECK(libusb_get_device_speed(list[0]) == LIBUSB_SPEED_HIGH);
  CHECK(libusb_open(list[0], &handle) == 0);
  libusb_free_device_list(list, 1);

  /* The layer's transfers take their data capacity where libusb takes an isochronous count. */
  struct libusb_transfer* tx = libusb_alloc_transfer(uart_bytes);
  struct libusb_transfer* rx = libusb_alloc_transfer(uart_bytes);
  CHECK(tx != NULL && rx != NULL);
  memcpy(command, "sernum", 6);
  libusb_fill_bulk_transfer(tx, handle, 0x02, command, uart_bytes, on_transfer, NULL, 10000);
  libusb_fill_bulk_transfer(rx, handle, 0x82, reply, uart_bytes, on_transfer, NULL, 10000);
  CHECK(libusb_submit_transfer(tx) == 0);
  CHECK(wait_for_completions(1));
  CHECK(libusb_submit_transfer(rx) == 0);
  CHECK(wait_for_completions(2));
  CHECK(tx->status == LIBUSB_TRANSFER_COMPLETED && rx->status == LIBUSB_TRANSFER_COMPLETED);
  CHECK(rx->actual_length == uart_bytes);
  CHECK(strcmp((const char*)reply, "ABI00001") == 0);

  libusb_close(handle);
  libusb_free_transfer(tx);
  libusb_free_transfer(rx);
  libusb_exit(ctx);
  qmx_sim_reset();
  printf("abi_check: listed, described, opened and ran a transaction through the system header\n");
  return 0;
}
