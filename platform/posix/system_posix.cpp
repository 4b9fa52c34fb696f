// Platform seam, POSIX: threads, thread names, loaded-library lookup, error texts and sleeps.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace platform {

namespace {

constexpr std::size_t kernel_thread_name_max = 15;

std::uint32_t own_thread_id() noexcept {
  return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

// Writes the kernel's name of any thread of this process; the kernel cuts it at 15 bytes.
void write_thread_name(std::uint32_t thread_id, const char* name) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%u/comm", thread_id);
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  const std::size_t length = std::min(std::strlen(name), kernel_thread_name_max);
  [[maybe_unused]] const ssize_t written = ::write(fd, name, length);
  ::close(fd);
}

} // namespace

class thread_impl {
public:
  thread_impl(std::string name, thread::routine entry, void* argument)
      : name_(std::move(name)), entry_(entry), argument_(argument) {}

  bool start() {
    try {
      worker_ = std::thread([this] { run(); });
    } catch (...) {
      return false;
    }
    // The id is only known inside the new thread; the creator waits for it so that id() is
    // valid as soon as start() returns.
    std::unique_lock lock(started_mutex_);
    started_.wait(lock, [this] { return id_.load(std::memory_order_acquire) != 0; });
    return true;
  }

  std::uint32_t id() const noexcept { return id_.load(std::memory_order_acquire); }

  bool join() {
    if (!worker_.joinable()) {
      return false;
    }
    worker_.join();
    return true;
  }

  void detach() {
    if (worker_.joinable()) {
      worker_.detach();
    }
  }

private:
  void run() {
    const std::uint32_t id = own_thread_id();
    write_thread_name(id, name_.c_str());
    // The owner may drop this record (detaching the thread) as soon as the id is published.
    const thread::routine entry = entry_;
    void* const argument = argument_;
    {
      // Notified under the lock: the creator cannot return, and so cannot free this record,
      // before this thread has let go of it.
      std::lock_guard lock(started_mutex_);
      id_.store(id, std::memory_order_release);
      started_.notify_all();
    }
    entry(argument);
  }

  std::string name_;
  thread::routine entry_;
  void* argument_;
  std::atomic<std::uint32_t> id_{0};
  std::mutex started_mutex_;
  std::condition_variable started_;
  std::thread worker_;
};

thread thread::start(const char* name, routine entry, void* argument) {
  thread result;
  if (entry == nullptr) {
    return result;
  }
  auto* impl = new (std::nothrow) thread_impl(name != nullptr ? name : "", entry, argument);
  if (impl == nullptr) {
    return result;
  }
  if (!impl->start()) {
    delete impl;
    return result;
  }
  result.impl_ = impl;
  return result;
}

thread::thread() noexcept : impl_(nullptr) {}
thread::thread(thread&& other) noexcept : impl_(other.impl_) {
  other.impl_ = nullptr;
}
thread& thread::operator=(thread&& other) noexcept {
  if (this != &other) {
    if (impl_ != nullptr) {
      impl_->detach();
      delete impl_;
    }
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
thread::~thread() {
  if (impl_ != nullptr) {
    impl_->detach();
    delete impl_;
  }
}

std::uint32_t thread::id() const noexcept {
  return impl_ != nullptr ? impl_->id() : 0;
}

bool thread::join() noexcept {
  if (impl_ == nullptr) {
    return false;
  }
  try {
    return impl_->join();
  } catch (...) {
    return false;
  }
}

std::uint32_t current_thread_id() noexcept {
  return own_thread_id();
}

void name_thread(std::uint32_t thread_id, const char* name) noexcept {
  if (name != nullptr) {
    write_thread_name(thread_id, name);
  }
}

void name_thread(std::uint32_t thread_id, const char* name, const char* short_name) noexcept {
  if (name == nullptr) {
    return;
  }
  const bool fits = std::strlen(name) <= kernel_thread_name_max;
  write_thread_name(thread_id, fits || short_name == nullptr ? name : short_name);
}

library_handle find_loaded_library(const char* file_name) noexcept {
  if (file_name == nullptr) {
    return nullptr;
  }
  std::string name(file_name);
  constexpr std::size_t suffix_length = 4;
  if (name.size() > suffix_length) {
    std::string suffix = name.substr(name.size() - suffix_length);
    for (char& c : suffix) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (suffix == ".dll") {
      name = "lib" + name.substr(0, name.size() - suffix_length) + ".so";
    }
  }
  // RTLD_NOLOAD only finds a library that is already mapped; the reference it adds is given
  // back at once, so the handle stays valid exactly as long as the library's loader keeps it.
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    ::dlclose(handle);
  }
  return handle;
}

void* find_library_function(library_handle library, const char* name) noexcept {
  if (library == nullptr || name == nullptr) {
    return nullptr;
  }
  return ::dlsym(library, name);
}

std::vector<void*> find_exported_functions(const char* name) {
  std::vector<void*> found;
  if (name == nullptr) {
    return found;
  }
  // The names first: the loader's list is walked under its lock, which dlopen must not meet.
  std::vector<std::string> libraries;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* context) {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
          static_cast<std::vector<std::string>*>(context)->emplace_back(info->dlpi_name);
        }
        return 0;
      },
      &libraries);
  for (const std::string& library : libraries) {
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
      continue;
    }
    void* function = ::dlsym(handle, name);
    ::dlclose(handle);
    if (function != nullptr && std::find(found.begin(), found.end(), function) == found.end()) {
      found.push_back(function);
    }
  }
  return found;
}

bool keep_library_loaded(const void* address) noexcept {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  // RTLD_NOLOAD: only the library already mapped is touched. RTLD_NODELETE marks it so that no
  // dlclose unmaps it; the reference this call adds is kept on purpose.
  return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

bool process_is_terminating() noexcept {
  return false;
}

bool unload_can_join_threads() noexcept {
  return true;
}

std::string error_text(std::uint32_t code) {
  // The texts Windows gives for the codes that the seam produces.
  switch (code) {
  case error::success:
    return "The operation completed successfully.";
  case error::invalid_function:
    return "Incorrect function.";
  case error::file_not_found:
    return "The system cannot find the file specified.";
  case error::invalid_handle:
    return "The handle is invalid.";
  case error::not_enough_memory:
    return "Not enough memory resources are available to process this command.";
  case error::gen_failure:
    return "A device attached to the system is not functioning.";
  case error::sharing_violation:
    return "The process cannot access the file because it is being used by another process.";
  case error::invalid_parameter:
    return "The parameter is incorrect.";
  case error::insufficient_buffer:
    return "The data area passed to a system call is too small.";
  case error::no_more_items:
    return "No more data is available.";
  case error::operation_aborted:
    return "The I/O operation has been aborted because of either a thread exit or an application "
           "request.";
  case error::io_pending:
    return "Overlapped I/O operation is in progress.";
  case error::device_not_connected:
    return "The device is not connected.";
  case error::not_found:
    return "Element not found.";
  case error::timeout:
    return "This operation returned because the timeout period expired.";
  default:
    return "Unknown error " + std::to_string(code) + ".";
  }
}

void sleep_ms(std::uint32_t ms) noexcept {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace platform
