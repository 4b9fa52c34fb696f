// Device files and interface enumeration when no device source has any device: nothing is
// listed, opens fail with the Win32 reason, and a closed or empty file refuses every request.
#include "platform/device_io.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

// The camera driver's interface class.
constexpr interface_class_guid driver_class{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

TEST(device_sources_absent, enumeration_finds_nothing_and_ends_normally) {
  const interface_enumeration found = enumerate_device_interfaces(driver_class);
  EXPECT_TRUE(found.paths.empty());
  EXPECT_EQ(found.list_error, 0u);
  EXPECT_TRUE(found.ended_with_no_more_items);
}

TEST(device_sources_absent, opening_an_unknown_path_fails_with_file_not_found) {
  std::uint32_t reason = 0;
  device_file file =
      device_file::open(R"(\\?\usb#vid_2f4e&pid_4002#none#{ae18aa60-7f6a-11d4-97dd-00010229b959})",
                        share_mode::shared, &reason);
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(reason, error::file_not_found);
}

TEST(device_sources_absent, an_unopened_file_refuses_requests) {
  device_file file;
  completion_record record;
  ASSERT_TRUE(record.create());
  unsigned char buffer[64] = {};
  std::uint32_t bytes = 7;
  EXPECT_EQ(file.request(0x220020, buffer, sizeof buffer, &bytes), error::invalid_handle);
  EXPECT_EQ(file.submit(0x220024, buffer, sizeof buffer, record), error::invalid_handle);
  EXPECT_EQ(file.outcome(record, &bytes, false), error::invalid_handle);
  EXPECT_EQ(file.cancel(record), error::invalid_handle);
  EXPECT_TRUE(record.completed()) << "a record that carries no request is not pending";
  EXPECT_FALSE(record.completion_event().wait_for(0));
  file.close(); // closing an unopened file is harmless
}

} // namespace
