// Platform seam, Windows: threads, thread names, loaded-library lookup, error texts and sleeps.
#include "platform/platform.h"
#include "platform/windows/windows_api.h"

#include <psapi.h>

#include <algorithm>

#include <new>
#include <string>

namespace platform {

namespace {

// The exception code and record by which a debugger learns a thread's name.
constexpr DWORD thread_name_exception = 0x406D1388;
constexpr DWORD thread_name_record_type = 0x1000;

#pragma pack(push, 8)
struct thread_name_record {
  DWORD type;
  LPCSTR name;
  DWORD thread_id;
  DWORD flags;
};
#pragma pack(pop)

// Swallows the naming exception for the short time it is raised, so that it is harmless without
// a debugger; an attached debugger sees it first and records the name.
LONG CALLBACK ignore_thread_name_exception(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == thread_name_exception) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void raise_thread_name_exception(DWORD thread_id, const char* name) {
  thread_name_record record{thread_name_record_type, name, thread_id, 0};
  void* handler = ::AddVectoredExceptionHandler(1, ignore_thread_name_exception);
  if (handler == nullptr) {
    return; // without the handler the exception would end the process
  }
  ::RaiseException(thread_name_exception, 0, sizeof record / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&record));
  ::RemoveVectoredExceptionHandler(handler);
}

// Newer systems also keep a thread description that tools show without a debugger.
void set_thread_description(DWORD thread_id, const char* name) {
  using set_description_fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  auto set_description = reinterpret_cast<set_description_fn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  if (set_description == nullptr) {
    return;
  }
  const int wide_length = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (wide_length <= 0) {
    return;
  }
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), wide_length);
  HANDLE handle = ::OpenThread(THREAD_SET_LIMITED_INFORMATION, FALSE, thread_id);
  if (handle == nullptr) {
    return;
  }
  set_description(handle, wide.c_str());
  ::CloseHandle(handle);
}

} // namespace

class thread_impl {
public:
  HANDLE handle = nullptr;
  DWORD id = 0;
  thread::routine entry = nullptr;
  void* argument = nullptr;
};

namespace {

DWORD WINAPI thread_trampoline(void* parameter) {
  auto* impl = static_cast<thread_impl*>(parameter);
  return impl->entry(impl->argument);
}

} // namespace

thread thread::start(const char* name, routine entry, void* argument) {
  thread result;
  if (entry == nullptr) {
    return result;
  }
  auto* impl = new (std::nothrow) thread_impl;
  if (impl == nullptr) {
    return result;
  }
  impl->entry = entry;
  impl->argument = argument;
  // Suspended until the record is complete: the trampoline reads it.
  impl->handle = ::CreateThread(nullptr, 0, thread_trampoline, impl, CREATE_SUSPENDED, &impl->id);
  if (impl->handle == nullptr) {
    delete impl;
    return result;
  }
  if (name != nullptr) {
    name_thread(impl->id, name);
  }
  ::ResumeThread(impl->handle);
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
      ::CloseHandle(impl_->handle);
      delete impl_;
    }
    impl_ = other.impl_;
    other.impl_ = nullptr;
  }
  return *this;
}
thread::~thread() {
  // A detached thread keeps running; only its record must outlive the trampoline's read of it,
  // which happens before the routine starts.
  if (impl_ != nullptr) {
    ::CloseHandle(impl_->handle);
    delete impl_;
  }
}

std::uint32_t thread::id() const noexcept {
  return impl_ != nullptr ? impl_->id : 0;
}

bool thread::join() noexcept {
  return impl_ != nullptr && ::WaitForSingleObject(impl_->handle, INFINITE) == WAIT_OBJECT_0;
}

std::uint32_t current_thread_id() noexcept {
  return ::GetCurrentThreadId();
}

void name_thread(std::uint32_t thread_id, const char* name) noexcept {
  if (name == nullptr) {
    return;
  }
  raise_thread_name_exception(thread_id, name);
  try {
    set_thread_description(thread_id, name);
  } catch (...) {
    // The description is a convenience; a failed allocation only leaves it unset.
  }
}

void name_thread(std::uint32_t thread_id, const char* name, const char* /*short_name*/) noexcept {
  // Windows keeps names of any length: the full name serves debuggers and tools alike.
  name_thread(thread_id, name);
}

library_handle find_loaded_library(const char* file_name) noexcept {
  if (file_name == nullptr) {
    return nullptr;
  }
  return ::GetModuleHandleA(file_name);
}

void* find_library_function(library_handle library, const char* name) noexcept {
  if (library == nullptr || name == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::vector<void*> find_exported_functions(const char* name) {
  std::vector<void*> found;
  if (name == nullptr) {
    return found;
  }
  // The process's module list as the loader keeps it (no snapshot, which can fail while another
  // thread loads a library); grown until it holds every module.
  std::vector<HMODULE> modules(256);
  DWORD needed = 0;
  for (;;) {
    const auto bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    if (::K32EnumProcessModules(::GetCurrentProcess(), modules.data(), bytes, &needed) == FALSE) {
      return found;
    }
    if (needed <= bytes) {
      modules.resize(needed / sizeof(HMODULE));
      break;
    }
    modules.resize(needed / sizeof(HMODULE) + 16);
  }
  for (HMODULE module : modules) {
    void* function = reinterpret_cast<void*>(::GetProcAddress(module, name));
    if (function != nullptr && std::find(found.begin(), found.end(), function) == found.end()) {
      found.push_back(function);
    }
  }
  return found;
}

bool keep_library_loaded(const void* address) noexcept {
  if (address == nullptr) {
    return false;
  }
  HMODULE module = nullptr;
  constexpr DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
  return ::GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module) != FALSE;
}

bool unload_can_join_threads() noexcept {
  return false;
}

bool process_is_terminating() noexcept {
  // ntdll's RtlDllShutdownInProgress answers whether DLL detach notifications come from the
  // process exit; it is looked up by name since the SDK headers do not declare it.
  using shutdown_query = BOOLEAN(WINAPI*)();
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) {
    return false;
  }
  const auto query = reinterpret_cast<shutdown_query>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlDllShutdownInProgress")));
  return query != nullptr && query() != FALSE;
}

std::string error_text(std::uint32_t code) {
  char* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length =
      ::FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result;
  if (length != 0 && text != nullptr) {
    result.assign(text, length);
  }
  if (text != nullptr) {
    ::LocalFree(text);
  }
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  if (result.empty()) {
    result = "Unknown error " + std::to_string(code) + ".";
  }
  return result;
}

void sleep_ms(std::uint32_t ms) noexcept {
  ::Sleep(ms);
}

} // namespace platform
