// Platform seam, Windows: auto-reset events and completion queues on Win32 events and I/O
// completion ports bound to no file.
#include "platform/platform.h"
#include "platform/windows/windows_api.h"

namespace platform {

namespace {

HANDLE as_handle(const void* impl) {
  return const_cast<void*>(impl);
}

// Closes the handle an owner holds, if any.
template <typename impl> void close_owned(impl* owned) noexcept {
  if (owned != nullptr) {
    ::CloseHandle(as_handle(owned));
  }
}

// Move-assignment of an owner whose impl pointer is the handle itself.
template <typename impl> void take_owned(impl*& mine, impl*& theirs) noexcept {
  if (&mine != &theirs) {
    close_owned(mine);
    mine = theirs;
    theirs = nullptr;
  }
}

DWORD as_wait_ms(std::uint32_t timeout_ms) {
  return timeout_ms == infinite_wait ? INFINITE : static_cast<DWORD>(timeout_ms);
}

} // namespace

event event::create() {
  HANDLE handle = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return event(static_cast<event_impl*>(handle));
}
event::event() noexcept : impl_(nullptr) {}
event::event(event&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
event& event::operator=(event&& other) noexcept {
  take_owned(impl_, other.impl_);
  return *this;
}
event::~event() {
  close_owned(impl_);
}

bool event::set() noexcept {
  return impl_ != nullptr && ::SetEvent(as_handle(impl_)) != FALSE;
}

bool event::reset() noexcept {
  return impl_ != nullptr && ::ResetEvent(as_handle(impl_)) != FALSE;
}

bool event::wait() noexcept {
  return wait_for(infinite_wait);
}

bool event::wait_for(std::uint32_t timeout_ms) noexcept {
  return impl_ != nullptr &&
         ::WaitForSingleObject(as_handle(impl_), as_wait_ms(timeout_ms)) == WAIT_OBJECT_0;
}

wait_result event::wait_any(event& a, event& b, std::uint32_t timeout_ms) noexcept {
  if (a.impl_ == nullptr || b.impl_ == nullptr) {
    return wait_result::failed;
  }
  if (a.impl_ == b.impl_) {
    return a.wait_for(timeout_ms) ? wait_result::first : wait_result::timeout;
  }
  const HANDLE handles[] = {as_handle(a.impl_), as_handle(b.impl_)};
  switch (::WaitForMultipleObjects(2, handles, FALSE, as_wait_ms(timeout_ms))) {
  case WAIT_OBJECT_0:
    return wait_result::first;
  case WAIT_OBJECT_0 + 1:
    return wait_result::second;
  case WAIT_TIMEOUT:
    return wait_result::timeout;
  default:
    return wait_result::failed;
  }
}

completion_queue completion_queue::create() {
  completion_queue queue;
  queue.impl_ = static_cast<completion_queue_impl*>(
      ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
  return queue;
}
completion_queue::completion_queue() noexcept : impl_(nullptr) {}
completion_queue::completion_queue(completion_queue&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
completion_queue& completion_queue::operator=(completion_queue&& other) noexcept {
  take_owned(impl_, other.impl_);
  return *this;
}
completion_queue::~completion_queue() {
  close_owned(impl_);
}

bool completion_queue::post(std::uintptr_t key) noexcept {
  return impl_ != nullptr &&
         ::PostQueuedCompletionStatus(as_handle(impl_), 0, static_cast<ULONG_PTR>(key), nullptr) !=
             FALSE;
}

bool completion_queue::take(std::uintptr_t& key) noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  OVERLAPPED_ENTRY entry{};
  ULONG taken = 0;
  // Alertable, so that user APCs queued to the thread run while it waits; it waits again after.
  for (;;) {
    if (::GetQueuedCompletionStatusEx(as_handle(impl_), &entry, 1, &taken, INFINITE, TRUE) !=
        FALSE) {
      key = static_cast<std::uintptr_t>(entry.lpCompletionKey);
      return true;
    }
    if (::GetLastError() != WAIT_IO_COMPLETION) {
      return false;
    }
  }
}

} // namespace platform
