// The USB layer's messages, with the layer linked in as the module links it and a receiver on
// its log sink, in a process without the hotplug monitor: the texts a failed submission reports
// in every case, and a failed monitor lookup that reports nothing.
#include "usb/log.h"
#include "usb/t_libusb.h"
#include "usb_test_support.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace usb_test;

std::mutex messages_mutex;
std::vector<std::string> messages;

void keep(const char* /*file*/, int /*line*/, const char* /*function*/, const char* message) {
  std::lock_guard lock(messages_mutex);
  messages.emplace_back(message);
}

class usb_log : public usb_layer {
protected:
  void SetUp() override {
    usb_layer::SetUp();
    usb::set_log_receiver(keep);
    taken();
  }
  void TearDown() override {
    usb::set_log_receiver(nullptr);
    usb_layer::TearDown();
  }

  // The messages since the last call, with the layer's progress messages left out.
  static std::vector<std::string> taken() {
    std::lock_guard lock(messages_mutex);
    std::vector<std::string> all;
    all.swap(messages);
    return all;
  }

  static bool has_prefix(const std::vector<std::string>& list, const std::string& prefix) {
    for (const std::string& m : list) {
      if (m.rfind(prefix, 0) == 0) {
        return true;
      }
    }
    return false;
  }

  // Both texts of a submission that finds no handle, no transfer record or no open file.
  static void expect_failed_submission_texts(const std::vector<std::string>& list) {
    EXPECT_TRUE(has_prefix(list, "t_usb_transfer_start() - ******ERROR*****. handle or x == 0."))
        << testing::PrintToString(list);
    EXPECT_TRUE(has_prefix(list, "*** ZEROZOZ ***: t_usb_transfer_start() - failed\n"))
        << testing::PrintToString(list);
  }
};

int LIBUSB_CALL ignore(libusb_context*, libusb_device*, libusb_hotplug_event, void*) {
  return 0;
}

TEST_F(usb_log, a_submission_without_a_handle_reports_both_texts) {
  unsigned char buffer[uart_capacity] = {};
  libusb_transfer* t = make_transfer(nullptr, 0x02, uart_capacity, buffer, 5, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_IO);
  EXPECT_EQ(t->status, LIBUSB_TRANSFER_ERROR);
  expect_failed_submission_texts(taken());
  libusb_free_transfer(t);
}

// Once libusb_close has begun the handle's file counts as gone, whichever comes first inside
// the close: a submission then reports what one on a closed file reports.
TEST_F(usb_log, a_submission_while_the_handle_closes_reports_both_texts) {
  ASSERT_GT(qmx_sim_camera_add("LOGTXT01", 0x0300), 0);
  const auto devices = list_devices();
  ASSERT_EQ(devices.size(), 1u);
  libusb_device_handle* handle = nullptr;
  ASSERT_EQ(libusb_open(devices[0], &handle), 0);
  unsigned char buffer[uart_capacity] = {};
  libusb_transfer* t = make_transfer(handle, 0x02, uart_capacity, buffer, 5, nullptr);
  ASSERT_NE(t, nullptr);
  handle->closing.store(1); // as while libusb_close runs
  taken();
  EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_IO);
  EXPECT_EQ(t->status, LIBUSB_TRANSFER_ERROR);
  const std::vector<std::string> reported = taken();
  expect_failed_submission_texts(reported);
  EXPECT_EQ(reported.size(), 2u) << testing::PrintToString(reported);
  handle->closing.store(0);
  libusb_free_transfer(t);
  libusb_close(handle);
}

TEST_F(usb_log, a_monitor_that_is_not_loaded_is_reported_to_nobody) {
  EXPECT_EQ(
      libusb_hotplug_register_callback(ctx, 3, 0, vendor, product, 0, ignore, nullptr, nullptr),
      LIBUSB_ERROR_OTHER);
  const std::vector<std::string> reported = taken();
  EXPECT_EQ(reported, std::vector<std::string>{
                          "*** ZEROZOZ ***: libusb_hotplug_register_callback() - ENTRY"});
}

} // namespace
