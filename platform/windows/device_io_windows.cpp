// Platform seam, Windows: the camera controller's kernel driver through CreateFileA,
// DeviceIoControl and overlapped I/O, and its interfaces through the SetupAPI.
#include "platform/device_io_internal.h"
#include "platform/windows/windows_api.h"

#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace platform {

namespace {

static_assert(sizeof(OVERLAPPED) <= native_overlapped_size, "OVERLAPPED does not fit");

constexpr std::uint32_t close_poll_ms = 1;

// An open interface path of the driver, and the records whose requests it may still carry: a
// request ends some time after its file is closed (the driver ends it when the system tells it
// of the close, and the system then writes the outcome and the IN data into the program's
// memory), so closing waits for each of them.
struct native_file {
  HANDLE handle = INVALID_HANDLE_VALUE;
  completion_record_impl* requests = nullptr; // linked through native_previous / native_next
};

native_file* native_of(const device_file_impl& file) {
  return static_cast<native_file*>(file.handle);
}

// Guards every native file's list and every record's links. Built once and never destroyed:
// records may be destroyed while the process tears down its static objects.
std::mutex& links_mutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

// Takes a record off its file's list. Lock held.
void unlink(completion_record_impl& record) {
  auto* file = static_cast<native_file*>(record.native_file);
  if (file == nullptr) {
    return;
  }
  (record.native_previous != nullptr ? record.native_previous->native_next : file->requests) =
      record.native_next;
  if (record.native_next != nullptr) {
    record.native_next->native_previous = record.native_previous;
  }
  record.native_file = nullptr;
  record.native_previous = nullptr;
  record.native_next = nullptr;
}

// Puts a record on a file's list. Lock held; the record is on no list.
void link(native_file& file, completion_record_impl& record) {
  record.native_file = &file;
  record.native_previous = nullptr;
  record.native_next = file.requests;
  if (file.requests != nullptr) {
    file.requests->native_previous = &record;
  }
  file.requests = &record;
}

OVERLAPPED* overlapped_of(completion_record_impl& record) {
  return reinterpret_cast<OVERLAPPED*>(record.native_overlapped);
}

const OVERLAPPED* overlapped_of(const completion_record_impl& record) {
  return reinterpret_cast<const OVERLAPPED*>(record.native_overlapped);
}

constexpr DWORD present_interfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE; // 0x12

std::uint32_t driver_open(const qmx_device_source* /*source*/, const char* path, bool exclusive,
                          void** handle_out) {
  *handle_out = nullptr;
  auto* file = new (std::nothrow) native_file;
  if (file == nullptr) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const DWORD share = exclusive ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
  file->handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  if (file->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    delete file;
    return error;
  }
  *handle_out = file;
  return 0;
}

void driver_close(const device_file_impl& file) noexcept {
  native_file* native = native_of(file);
  if (native == nullptr) {
    return;
  }
  ::CloseHandle(native->handle);
  // The callers free the buffers and records of the file's requests once this returns, so it
  // returns only once the system has written the last of them. Records of requests that are over
  // leave the list as they are found (or when they are destroyed meanwhile, under the same lock).
  for (;;) {
    {
      std::lock_guard lock(links_mutex());
      for (completion_record_impl* record = native->requests; record != nullptr;) {
        completion_record_impl* next = record->native_next;
        if (HasOverlappedIoCompleted(overlapped_of(*record))) {
          unlink(*record);
        }
        record = next;
      }
      if (native->requests == nullptr) {
        break;
      }
    }
    sleep_ms(close_poll_ms);
  }
  delete native;
}

std::uint32_t driver_request(const device_file_impl& file, std::uint32_t code, void* buffer,
                             std::uint32_t length, std::uint32_t* bytes_returned) {
  HANDLE handle = native_of(file)->handle;
  DWORD bytes = 0;
  // The file is opened for overlapped I/O; a request without a record is waited for here.
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    return ::GetLastError();
  }
  std::uint32_t result = 0;
  if (::DeviceIoControl(handle, code, buffer, length, buffer, length, &bytes, &overlapped) ==
      FALSE) {
    result = ::GetLastError();
    if (result == ERROR_IO_PENDING) {
      result =
          ::GetOverlappedResult(handle, &overlapped, &bytes, TRUE) != FALSE ? 0 : ::GetLastError();
    }
  }
  ::CloseHandle(overlapped.hEvent);
  *bytes_returned = bytes;
  return result;
}

std::uint32_t driver_submit(const device_file_impl& file, std::uint32_t code, void* buffer,
                            std::uint32_t length, completion_record_impl& record) {
  // A fresh OVERLAPPED on the record's event; DeviceIoControl resets the event as it starts.
  OVERLAPPED* overlapped = overlapped_of(record);
  std::memset(overlapped, 0, sizeof *overlapped);
  overlapped->hEvent = static_cast<HANDLE>(static_cast<void*>(record.done.native()));
  native_file* native = native_of(file);
  {
    std::lock_guard lock(links_mutex());
    unlink(record);
    link(*native, record);
  }
  if (::DeviceIoControl(native->handle, code, buffer, length, buffer, length, nullptr,
                        overlapped) != FALSE) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_IO_PENDING) {
    // Refused: the record carries nothing (the system leaves its OVERLAPPED as it was).
    std::lock_guard lock(links_mutex());
    unlink(record);
  }
  return error;
}

std::uint32_t driver_outcome(const device_file_impl* file, completion_record_impl& record,
                             std::uint32_t* bytes, bool wait) {
  HANDLE handle = file != nullptr ? native_of(*file)->handle : nullptr;
  DWORD count = 0;
  OVERLAPPED* overlapped = overlapped_of(record);
  if (!wait && !HasOverlappedIoCompleted(overlapped)) {
    // GetOverlappedResult says ERROR_IO_INCOMPLETE here; the seam says pending on every system.
    if (bytes != nullptr) {
      *bytes = 0;
    }
    return ERROR_IO_PENDING;
  }
  // The record's event is set when the request completes, so the wait needs no file: the
  // outcome also serves after the file was closed.
  const BOOL ok = ::GetOverlappedResult(handle, overlapped, &count, wait ? TRUE : FALSE);
  if (bytes != nullptr) {
    *bytes = count;
  }
  if (ok != FALSE) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  return error == ERROR_IO_INCOMPLETE ? ERROR_IO_PENDING : error;
}

bool driver_completed(const completion_record_impl& record) noexcept {
  return HasOverlappedIoCompleted(overlapped_of(record));
}

std::uint32_t driver_cancel(const device_file_impl& file, completion_record_impl& record) {
  return ::CancelIoEx(native_of(file)->handle, overlapped_of(record)) != FALSE ? 0
                                                                               : ::GetLastError();
}

void driver_enumerate(const qmx_device_source* /*source*/, const interface_class_guid& guid,
                      interface_enumeration& result) {
  GUID class_guid;
  class_guid.Data1 = guid.data1;
  class_guid.Data2 = guid.data2;
  class_guid.Data3 = guid.data3;
  std::memcpy(class_guid.Data4, guid.data4.data(), sizeof class_guid.Data4);

  HDEVINFO set = ::SetupDiGetClassDevsA(&class_guid, nullptr, nullptr, present_interfaces);
  if (set == INVALID_HANDLE_VALUE) {
    result.list_error = ::GetLastError();
    result.ended_with_no_more_items = false;
    return;
  }
  std::vector<unsigned char> detail_buffer;
  for (DWORD member = 0;; ++member) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (::SetupDiEnumDeviceInterfaces(set, nullptr, &class_guid, member, &interface_data) ==
        FALSE) {
      result.ended_with_no_more_items = ::GetLastError() == ERROR_NO_MORE_ITEMS;
      break;
    }
    DWORD size = 0;
    if (::SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &size, nullptr) ==
            FALSE &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      result.ended_with_no_more_items = false;
      break;
    }
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    try {
      if (detail_buffer.size() < size) {
        detail_buffer.assign(size, 0);
      }
    } catch (...) {
      result.ended_with_no_more_items = false;
      break;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (::SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, size, nullptr, &info) ==
        FALSE) {
      result.ended_with_no_more_items = false;
      break;
    }
    try {
      result.paths.emplace_back(detail->DevicePath);
    } catch (...) {
      // Out of memory: this device is left out.
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

const device_source_ops kernel_driver{"kernel driver", driver_enumerate, driver_open,
                                      driver_close,    driver_request,   driver_submit,
                                      driver_outcome,  driver_completed, driver_cancel};

} // namespace

const device_source_ops* native_driver_source() noexcept {
  return &kernel_driver;
}

void forget_native_record(completion_record_impl& record) noexcept {
  std::lock_guard lock(links_mutex());
  unlink(record);
}

} // namespace platform
