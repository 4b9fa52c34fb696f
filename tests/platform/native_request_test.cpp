// Windows only: the outcome of requests that the system's own driver path carries, read through
// the seam exactly as Win32 reports it. A request's state lives in its OVERLAPPED, which the
// kernel writes (STATUS_PENDING while in flight); here it is written by hand, on a file the seam
// opened through the native path ("NUL"), so that the seam's reading of it is checked against
// GetOverlappedResult and HasOverlappedIoCompleted themselves.
#include "platform/device_io.h"
#include "platform/device_io_internal.h"
#include "platform/windows/windows_api.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

constexpr ULONG_PTR status_pending = 0x103;

OVERLAPPED& overlapped_of(completion_record& record) {
  return *reinterpret_cast<OVERLAPPED*>(record.native()->native_overlapped);
}

// A record carrying a native request in the given state, as the kernel leaves it.
void carry_native_request(completion_record& record, ULONG_PTR status, DWORD bytes) {
  completion_record_impl& r = *record.native();
  r.carrier = native_driver_source();
  OVERLAPPED& overlapped = overlapped_of(record);
  overlapped = OVERLAPPED{};
  overlapped.hEvent = static_cast<HANDLE>(static_cast<void*>(r.done.native()));
  overlapped.Internal = status;
  overlapped.InternalHigh = bytes;
}

TEST(native_requests, a_request_in_flight_reads_as_pending_on_every_path) {
  device_file file = device_file::open("NUL", share_mode::shared);
  ASSERT_TRUE(file.valid());
  completion_record record;
  ASSERT_TRUE(record.create());
  carry_native_request(record, status_pending, 0);
  std::uint32_t bytes = 7;
  EXPECT_EQ(file.outcome(record, &bytes, false), error::io_pending)
      << "GetOverlappedResult says ERROR_IO_INCOMPLETE; the seam promises pending";
  EXPECT_EQ(record.outcome(&bytes, false), error::io_pending);
  EXPECT_FALSE(record.completed());
  // The request completes: 38 header bytes and 18 data bytes came back.
  overlapped_of(record).Internal = 0;
  overlapped_of(record).InternalHigh = 56;
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(file.outcome(record, &bytes, false), error::success);
  EXPECT_EQ(bytes, 56u);
  EXPECT_EQ(record.outcome(&bytes, true), error::success);
  EXPECT_EQ(bytes, 56u);
}

// A record reused for a native request after a simulated one that never completed: only the
// source that carries the request now says whether it is over.
TEST(native_requests, the_state_of_an_earlier_simulated_request_does_not_count) {
  completion_record record;
  ASSERT_TRUE(record.create());
  record.native()->status.store(error::io_pending); // left by a simulated request
  carry_native_request(record, 0, 40);
  EXPECT_TRUE(record.completed());
  std::uint32_t bytes = 0;
  EXPECT_EQ(record.outcome(&bytes, false), error::success);
  EXPECT_EQ(bytes, 40u);
}

} // namespace
