// Platform seam: the only interface through which the rest of the project reaches the OS.
//
// Two implementations exist: windows/ (Win32) and posix/ (standard library, dlopen). Both keep
// Win32-like error codes so that the USB layer reads the same on either system. Every OS handle
// lives in a move-only owner; none of the types here may be copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Win32-like error codes used across the seam.
namespace error {
constexpr std::uint32_t success = 0;
constexpr std::uint32_t invalid_function = 1;
constexpr std::uint32_t file_not_found = 2;
constexpr std::uint32_t invalid_handle = 6;
constexpr std::uint32_t not_enough_memory = 8;
constexpr std::uint32_t gen_failure = 31;
constexpr std::uint32_t sharing_violation = 32;
constexpr std::uint32_t invalid_parameter = 87;
constexpr std::uint32_t insufficient_buffer = 122;
constexpr std::uint32_t no_more_items = 259;
constexpr std::uint32_t operation_aborted = 995;
constexpr std::uint32_t io_pending = 997;
constexpr std::uint32_t not_found = 1168;
constexpr std::uint32_t device_not_connected = 1167;
constexpr std::uint32_t timeout = 1460;
} // namespace error

// Sentinel for waits without a time limit.
constexpr std::uint32_t infinite_wait = 0xFFFFFFFFu;

// Result of a wait for the first of two events.
enum class wait_result { first, second, timeout, failed };

class event_impl;

// Auto-reset event, initially unsignalled. `set` releases exactly one waiter; a set with nobody
// waiting is kept until the next wait; several sets before one wait count as one. Time limits
// run on a monotonic clock.
class event {
public:
  // Creates a new event; an invalid (empty) event on failure.
  static event create();

  event() noexcept;
  event(event&& other) noexcept;
  event& operator=(event&& other) noexcept;
  event(const event&) = delete;
  event& operator=(const event&) = delete;
  ~event();

  bool valid() const noexcept { return impl_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }

  // Signals the event. False only for an invalid event or an OS failure.
  bool set() noexcept;
  // Drops a kept signal, if any (ResetEvent). False only for an invalid event or an OS failure.
  bool reset() noexcept;
  // Waits until signalled, consuming the signal. False only for an invalid event.
  bool wait() noexcept;
  // Waits at most `timeout_ms` milliseconds (infinite_wait: no limit). True when the signal was
  // consumed, false on time-out or failure.
  bool wait_for(std::uint32_t timeout_ms) noexcept;
  // Waits for whichever of `a` and `b` is signalled first and consumes only that one's signal.
  // When both are already signalled, `a` wins.
  static wait_result wait_any(event& a, event& b, std::uint32_t timeout_ms) noexcept;

  // The implementation's object (a HANDLE on Windows); for the seam's own use.
  event_impl* native() const noexcept { return impl_; }

private:
  explicit event(event_impl* impl) noexcept : impl_(impl) {}
  event_impl* impl_;
};

class completion_queue_impl;

// A FIFO of pointer-sized keys shared by any number of posting threads and taking threads.
// Key 0 is a wake-up entry: it is delivered like any other entry and carries no item.
class completion_queue {
public:
  // Creates a new queue; an invalid (empty) queue on failure.
  static completion_queue create();

  completion_queue() noexcept;
  completion_queue(completion_queue&& other) noexcept;
  completion_queue& operator=(completion_queue&& other) noexcept;
  completion_queue(const completion_queue&) = delete;
  completion_queue& operator=(const completion_queue&) = delete;
  ~completion_queue();

  bool valid() const noexcept { return impl_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }

  // Appends `key`. False when the queue is invalid or the OS refused.
  bool post(std::uintptr_t key) noexcept;
  // Blocks until an entry is there and removes the oldest one into `key`. False when the queue
  // is invalid or the OS reported a failure.
  bool take(std::uintptr_t& key) noexcept;

private:
  completion_queue_impl* impl_;
};

class thread_impl;

// A started OS thread. The owner must call `join` before destroying a joinable thread; the
// destructor of a still-running thread detaches it (it never blocks and never terminates).
class thread {
public:
  using routine = std::uint32_t (*)(void* argument);

  // Starts `entry(argument)` at once on a new thread named `name` (debuggers on Windows; `ps`,
  // `top` and gdb on Linux, where the kernel keeps the first 15 bytes). Invalid on failure.
  static thread start(const char* name, routine entry, void* argument);

  thread() noexcept;
  thread(thread&& other) noexcept;
  thread& operator=(thread&& other) noexcept;
  thread(const thread&) = delete;
  thread& operator=(const thread&) = delete;
  ~thread();

  bool valid() const noexcept { return impl_ != nullptr; }
  explicit operator bool() const noexcept { return valid(); }
  // The 32-bit id that `set_thread_debug_name` takes.
  std::uint32_t id() const noexcept;
  // Waits until the thread has returned. False when there is nothing to wait for.
  bool join() noexcept;

private:
  thread_impl* impl_;
};

// The 32-bit id of the calling thread (the same number `thread::id` reports).
std::uint32_t current_thread_id() noexcept;

// Gives the thread with `thread_id` a name. On Windows this follows the debugger convention
// (the naming exception, handled here so it is harmless without a debugger) and also sets the
// thread description; on Linux it sets the kernel's thread name (15 bytes at most).
void name_thread(std::uint32_t thread_id, const char* name) noexcept;
// The same with a short form for systems that keep only 15 bytes of a thread name (Linux): there
// `short_name` is written instead when `name` is longer than that (and is itself cut at 15
// bytes); Windows always uses `name`. A null `short_name` means none.
void name_thread(std::uint32_t thread_id, const char* name, const char* short_name) noexcept;

// Opaque handle of a loaded library; never owned (the seam neither loads nor unloads).
using library_handle = void*;

// The handle of a library already loaded in this process, looked up by its Windows file name,
// or null. Never loads a library. On Linux "name.dll" (any letter case in ".dll") stands for the
// shared object "libname.so" that this project builds; any other name is looked up as given.
library_handle find_loaded_library(const char* file_name) noexcept;

// The address of the exported function `name` of a loaded library, or null.
void* find_library_function(library_handle library, const char* name) noexcept;
// The addresses of the exported function `name` in every library loaded in this process now,
// each address once, in no particular order. Never loads a library. Empty on failure.
std::vector<void*> find_exported_functions(const char* name);

// Keeps the library (shared object or DLL) that contains `address` loaded until the process
// ends: later unloads by its host leave it mapped. Used before handing a function of this module
// to a library that keeps the pointer for ever. True when the library is pinned; false when
// `address` lies in no loaded library or the system refused.
bool keep_library_loaded(const void* address) noexcept;

// True while the process is ending (Windows: its other threads have been stopped and a library
// is being detached for the exit, not unloaded by its host). Teardown that waits for threads
// must be skipped then. Always false on POSIX, where exit handlers run with every thread alive.
bool process_is_terminating() noexcept;

// Whether a library's unload may wait for threads it started. False on Windows, where the
// unload runs under the loader lock that an ending thread needs; a library with threads then
// keeps itself loaded instead. True on POSIX.
bool unload_can_join_threads() noexcept;

// The system's message text for an error code, without a trailing line break; never empty.
std::string error_text(std::uint32_t code);

// The module's names for the same services, as its USB layer and its exports use them.
// A loaded library's handle by file name, or null; never loads a library.
inline library_handle get_loaded_shared_library(const char* file_name) noexcept {
  return find_loaded_library(file_name);
}
// The address of a loaded library's exported function, or null.
inline void* get_function_from_shared_library__or_nullptr(library_handle library,
                                                          const char* name) noexcept {
  return find_library_function(library, name);
}
// Names a thread for an attached debugger; without one it has no effect.
inline void set_thread_debug_name(std::uint32_t thread_id, const char* name) noexcept {
  name_thread(thread_id, name);
}
// The same, with the short form used where names are limited to 15 bytes (see name_thread).
inline void set_thread_debug_name(std::uint32_t thread_id, const char* name,
                                  const char* short_name) noexcept {
  name_thread(thread_id, name, short_name);
}

// Sleeps the calling thread for at least `ms` milliseconds.
void sleep_ms(std::uint32_t ms) noexcept;

} // namespace platform
