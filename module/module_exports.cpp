// Module, exports: the module's identity texts, the function table, initialisation with the
// installed registry, the device functions as exports, and the teardown order at unload.
#include "include/qmx_libusb_internal.h"
#include "include/qmx_module.h"
#include "module/camera_registry.h"

#include "camera/commands.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* module_name = "ORBANITE_QMX_PAVIK_CAMERA_DEVICE";
constexpr const char* module_type = "DEVICE";
constexpr const char* module_version = "BUILD_VERSION";
constexpr std::uint32_t camera_vendor_id = 0x2F4E;
constexpr std::uint32_t camera_product_id = 0x4002;

struct module_function {
  const char* name;
  const char* signature;
  const char* description;
  void* address;
};

struct module_attribute {
  const char* name;
};

struct module_info {
  std::vector<module_function> functions;
  std::vector<module_attribute> attributes;
};

// Written only by ob_module_initialize, which the host must not run beside any other call.
std::unique_ptr<module_info> the_module_info;
std::unique_ptr<qmx::camera_registry> the_registry;

template <typename F> void* address_of(F* function) {
  return reinterpret_cast<void*>(function);
}

void append_function_table(module_info& info) {
  const module_function rows[] = {
      {"get_device_ids", "void get_device_ids (char* device_ids, int str_size);",
       "This function will get all detected devices of this type.", address_of(&get_device_ids)},
      {"create", "int create (char* device_id, void** device_handle);",
       "This function will create and return a QMX compact scientific camera object.",
       address_of(&create)},
      {"destroy", "int destroy (void* device_handle);",
       "This function will destroy the specified QMX compact scientific camera object.",
       address_of(&destroy)},
      {"get_data__returns_zero_for_success",
       "int get_parameter (void* handle, const char* command, size_t command_size_bytes, void "
       "*data_or_null, size_t data_size_bytes, char* response, size_t response_size_bytes);",
       "This function will get the value of the specified parameter for the specified camera "
       "object.",
       address_of(&get_data__returns_zero_for_success)},
      {"set_data__returns_zero_for_success",
       "int set_parameter (void* handle, const char* command, size_t command_size_bytes, void "
       "*data_or_null, size_t data_size_bytes, char* response, size_t response_size_bytes);",
       "This function will set the value of the specified parameter for the specified camera "
       "object.",
       address_of(&set_data__returns_zero_for_success)},
      {"get_module_data", "int get_module_data (const char* param, void* value, int size);",
       "This function will get the value of the specified parameter for this module.",
       address_of(&ob_get_module_data)},
      {"set_module_data", "int set_module_data (const char* param, void* value, int size);",
       "This function will set the value of the specified parameter for this module.",
       address_of(&ob_set_module_data)},
  };
  info.functions.insert(info.functions.end(), std::begin(rows), std::end(rows));
}

// Whether an entry's camera is unplugged now, read under its state lock.
bool entry_disconnected(void* context) {
  auto* entry = static_cast<qmx::camera_entry*>(context);
  qmx::lock_guard state_lock(entry->state_mutex);
  return entry->disconnected;
}

// One text command on an open camera. The handle must be one this module issued for a camera
// that is open (else 6); a get command on an unplugged camera answers 14 before anything else,
// while set commands ask at their own step. `failure` answers an allocation failure.
int run_text_command(void* handle, qmx::command_request request, bool get_side,
                     int (*run)(qmx::camera&, const qmx::command_request&), int failure) {
  qmx::camera_registry* registry = qmx::installed_registry();
  qmx::camera_entry* entry = registry != nullptr ? registry->find_entry(handle) : nullptr;
  if (entry == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  qmx::camera* camera_object = nullptr;
  {
    qmx::lock_guard state_lock(entry->state_mutex);
    if (get_side && entry->disconnected) {
      return QMX_DISCONNECTED;
    }
    camera_object = entry->camera.get();
  }
  if (camera_object == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  request.disconnected = entry_disconnected;
  request.disconnected_context = entry;
  try {
    return run(*camera_object, request);
  } catch (...) {
    return failure;
  }
}

// Tears down what the module built, in order: the USB layer's monitor record stays with the
// layer (it is never freed while a subscription may use it), then the function table, then the
// registry. Skipped when the process is already ending, and wherever the module keeps itself
// loaded (there this runs only at the process's end): the other threads are gone then, ended by
// the system wherever they stood, so waiting for them would never return and the locks and
// conditions they used may never be free again.
struct module_lifetime {
  module_lifetime() = default;
  module_lifetime(const module_lifetime&) = delete;
  module_lifetime& operator=(const module_lifetime&) = delete;
  ~module_lifetime() {
    if (!usb::unload_can_join_threads() || usb::process_is_terminating()) {
      (void)the_module_info.release();
      (void)the_registry.release();
      return;
    }
    the_module_info.reset();
    the_registry.reset();
  }
};
module_lifetime lifetime;

} // namespace

namespace qmx {

camera_registry* installed_registry() {
  return the_registry.get();
}

} // namespace qmx

extern "C" {

QMX_MODULE_API const char* ob_module_get_name(void) {
  return module_name;
}
QMX_MODULE_API const char* ob_module_get_type(void) {
  return module_type;
}
QMX_MODULE_API const char* ob_module_get_version(void) {
  return module_version;
}

QMX_MODULE_API int ob_module_initialize(void* /*host*/) {
  try {
    if (the_module_info == nullptr) {
      the_module_info = std::make_unique<module_info>();
    }
    // The registry runs threads of this module. Where an unload cannot wait for them to end,
    // the module stays loaded instead, so that they never run in unmapped code.
    if (!usb::unload_can_join_threads()) {
      usb::keep_module_loaded();
    }
    std::vector<std::uint32_t> product_ids{camera_product_id};
    auto registry =
        std::make_unique<qmx::camera_registry>(camera_vendor_id, std::move(product_ids));
    const bool failed = registry->init_failed();
    std::unique_ptr<qmx::camera_registry> previous = std::move(the_registry);
    the_registry = std::move(registry);
    previous.reset();
    if (failed) {
      return QMX_INIT_FAILED;
    }
    append_function_table(*the_module_info);
    return QMX_OK;
  } catch (...) {
    return QMX_INIT_FAILED; // a thread or an allocation could not be had
  }
}

QMX_MODULE_API int ob_module_uninitialize(void) {
  return QMX_OK;
}

QMX_MODULE_API void* ob_get_function(const char* name) {
  if (name == nullptr || the_module_info == nullptr) {
    return nullptr;
  }
  for (const module_function& row : the_module_info->functions) {
    if (std::strcmp(row.name, name) == 0) {
      return row.address;
    }
  }
  return nullptr;
}

QMX_MODULE_API const char* ob_get_function_name(std::uint32_t index) {
  if (the_module_info == nullptr || index >= the_module_info->functions.size()) {
    return nullptr;
  }
  return the_module_info->functions[index].name;
}

QMX_MODULE_API int ob_get_num_mod_attributes(void) {
  return the_module_info == nullptr ? 0 : static_cast<int>(the_module_info->attributes.size());
}

QMX_MODULE_API int get_device_ids(char* device_ids, int str_size, char* serial_numbers,
                                  int serial_numbers_size) {
  qmx::camera_registry* registry = qmx::installed_registry();
  try {
    if (registry != nullptr) {
      return registry->get_device_ids(device_ids, str_size, serial_numbers, serial_numbers_size);
    }
  } catch (...) {
    // Out of memory while listing: answer as if nothing was found.
  }
  (void)qmx::copy_text_answer("", device_ids,
                              str_size > 0 ? static_cast<std::size_t>(str_size) : 0);
  (void)qmx::copy_text_answer(
      "", serial_numbers,
      serial_numbers_size > 0 ? static_cast<std::size_t>(serial_numbers_size) : 0);
  return QMX_OK;
}

QMX_MODULE_API int create(const char* device_id, void** device_handle) {
  qmx::camera_registry* registry = qmx::installed_registry();
  try {
    return registry == nullptr ? QMX_CREATE_FAILED : registry->create(device_id, device_handle);
  } catch (...) {
    return QMX_CREATE_FAILED;
  }
}

QMX_MODULE_API int destroy(void* device_handle) {
  qmx::camera_registry* registry = qmx::installed_registry();
  try {
    return registry == nullptr ? QMX_UNKNOWN_HANDLE : registry->destroy(device_handle);
  } catch (...) {
    return QMX_UNKNOWN_HANDLE;
  }
}

QMX_MODULE_API int get_data__returns_zero_for_success(void* handle, const char* command,
                                                      size_t command_size_bytes, void* data_or_null,
                                                      size_t data_size_bytes, char* response,
                                                      size_t response_size_bytes) {
  return run_text_command(
      handle,
      {command, command_size_bytes, data_or_null, data_size_bytes, response, response_size_bytes},
      true, qmx::get_command, QMX_BAD_ARGUMENT);
}

QMX_MODULE_API int set_data__returns_zero_for_success(void* handle, const char* command,
                                                      size_t command_size_bytes, void* data_or_null,
                                                      size_t data_size_bytes, char* response,
                                                      size_t response_size_bytes) {
  return run_text_command(
      handle,
      {command, command_size_bytes, data_or_null, data_size_bytes, response, response_size_bytes},
      false, qmx::set_command, QMX_BAD_SET_ARGUMENT);
}

QMX_MODULE_API void* get_function_from_shared_library__or_nullptr(void* library, const char* name) {
  return usb::library_function(library, name);
}

} // extern "C"
