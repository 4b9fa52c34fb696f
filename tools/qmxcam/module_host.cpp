// qmxcam, host side of the module (see module_host.h).
#include "tools/qmxcam/module_host.h"

#include "include/qmx_module.h"
#include "tools/qmxcam/host_os.h"

#include <cstring>
#include <vector>

namespace qmxcam {
namespace {

constexpr const char* expected_module_name = "ORBANITE_QMX_PAVIK_CAMERA_DEVICE";
constexpr std::size_t response_capacity = 4096;
constexpr int list_capacity = 16384;

const char* result_meaning(int code) {
  switch (code) {
  case QMX_OK:
    return "success";
  case QMX_TRANSACTION_FAILED:
    return "the camera did not complete a transaction";
  case QMX_INIT_FAILED:
    return "the USB context or the hotplug registration failed";
  case QMX_UNKNOWN_HANDLE:
    return "unknown or closed camera handle";
  case QMX_BAD_ARGUMENT:
    return "bad argument or unknown key on the get side";
  case QMX_BAD_SET_ARGUMENT:
    return "bad argument or unknown key on the set side";
  case QMX_CREATE_FAILED:
    return "the camera could not be opened";
  case QMX_CAMERA_COMMAND_FAILED:
    return "the camera did not complete \"arm\" or \"stop\"";
  case QMX_DISCONNECTED:
    return "the camera is unplugged";
  case QMX_TRUNCATED:
    return "the answer was cut to the buffer";
  case QMX_NULL_BUFFER:
    return "an answer was due but the buffer is null";
  default:
    return "unknown result code";
  }
}

template <typename F> bool take(void* library, const char* name, F& to) {
  to = reinterpret_cast<F>(library_symbol(library, name));
  return to != nullptr;
}

} // namespace

std::string describe_result(int code) {
  return std::to_string(code) + " (" + result_meaning(code) + ")";
}

bool module_host::read_identity(const std::string& file, std::string& name, std::string& version,
                                std::string& error) {
  void* library = load_library(file, error);
  if (library == nullptr) {
    error = "cannot load the module " + file + ": " + error;
    return false;
  }
  using text_fn = const char* (*)();
  text_fn get_name = nullptr;
  text_fn get_version = nullptr;
  if (!take(library, "ob_module_get_name", get_name) ||
      !take(library, "ob_module_get_version", get_version)) {
    error = file + " does not export the module entry points";
    return false;
  }
  name = get_name() != nullptr ? get_name() : "";
  version = get_version() != nullptr ? get_version() : "";
  return true;
}

bool module_host::load(const std::string& file, std::string& error) {
  void* library = load_library(file, error);
  if (library == nullptr) {
    error = "cannot load the module " + file + ": " + error;
    return false;
  }
  using name_fn = const char* (*)();
  using initialize_fn = int (*)(void*);
  using get_function_fn = void* (*)(const char*);
  name_fn get_name = nullptr;
  initialize_fn initialize = nullptr;
  get_function_fn get_function = nullptr;
  if (!take(library, "ob_module_get_name", get_name) ||
      !take(library, "ob_module_initialize", initialize) ||
      !take(library, "ob_get_function", get_function)) {
    error = file + " does not export the module entry points";
    return false;
  }
  const char* name = get_name();
  if (name == nullptr || std::strcmp(name, expected_module_name) != 0) {
    error = file + " is not the camera module (it calls itself \"" + (name != nullptr ? name : "") +
            "\")";
    return false;
  }
  if (const int result = initialize(nullptr); result != QMX_OK) {
    error = "the module did not initialise: " + describe_result(result);
    return false;
  }
  get_device_ids_ = reinterpret_cast<get_device_ids_fn>(get_function("get_device_ids"));
  create_ = reinterpret_cast<create_fn>(get_function("create"));
  destroy_ = reinterpret_cast<destroy_fn>(get_function("destroy"));
  get_data_ = reinterpret_cast<data_fn>(get_function("get_data__returns_zero_for_success"));
  set_data_ = reinterpret_cast<data_fn>(get_function("set_data__returns_zero_for_success"));
  get_module_data_ = reinterpret_cast<module_data_fn>(get_function("get_module_data"));
  set_module_data_ = reinterpret_cast<module_data_fn>(get_function("set_module_data"));
  if (!get_device_ids_ || !create_ || !destroy_ || !get_data_ || !set_data_ || !get_module_data_ ||
      !set_module_data_) {
    error = "the module's function table lacks a device function";
    return false;
  }
  return true;
}

void module_host::list(std::string& ids, std::string& serials) const {
  std::vector<char> id_text(list_capacity, '\0');
  std::vector<char> serial_text(list_capacity, '\0');
  get_device_ids_(id_text.data(), list_capacity, serial_text.data(), list_capacity);
  ids = id_text.data();
  serials = serial_text.data();
}

reply module_host::get(void* handle, const std::string& command, void* data,
                       std::size_t size) const {
  std::vector<char> response(response_capacity, '\0');
  reply r;
  r.code = get_data_(handle, command.c_str(), command.size() + 1, data, size, response.data(),
                     response.size() - 1);
  r.text = response.data();
  return r;
}

reply module_host::set(void* handle, const std::string& command, void* data,
                       std::size_t size) const {
  std::vector<char> response(response_capacity, '\0');
  reply r;
  r.code = set_data_(handle, command.c_str(), command.size() + 1, data, size, response.data(),
                     response.size() - 1);
  r.text = response.data();
  return r;
}

int module_host::wait_frame(void* handle, std::uint64_t& address) const {
  static constexpr char command[] = "image_wait_per_frame";
  char response[16] = {};
  address = 0;
  return get_data_(handle, command, sizeof command, &address, sizeof address, response,
                   sizeof response);
}

reply module_host::get_module_data(const std::string& key) const {
  std::vector<char> value(response_capacity, '\0');
  reply r;
  r.code = get_module_data_(key.c_str(), value.data(), static_cast<int>(value.size()));
  r.text = value.data();
  return r;
}

int module_host::set_module_data(const std::string& key) const {
  return set_module_data_(key.c_str(), nullptr, 0);
}

} // namespace qmxcam
