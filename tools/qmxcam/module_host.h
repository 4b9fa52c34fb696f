// qmxcam, host side of the module: loads the module at run time (never linked), checks its
// name, initialises it and takes the device functions from its function table; text commands
// with their result codes, and the meaning of each code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmxcam {

// The module's result code in words ("14 (the camera is unplugged)").
std::string describe_result(int code);

// A result code with the module's text answer.
struct reply {
  int code = 0;
  std::string text;
  bool ok() const { return code == 0; }
};

class module_host {
public:
  using get_device_ids_fn = int (*)(char*, int, char*, int);
  using create_fn = int (*)(const char*, void**);
  using destroy_fn = int (*)(void*);
  using data_fn = int (*)(void*, const char*, std::size_t, void*, std::size_t, char*, std::size_t);
  using module_data_fn = int (*)(const char*, void*, int);

  // The name and version the module at `file` reports, read without initialising it; false
  // with a message in `error`.
  static bool read_identity(const std::string& file, std::string& name, std::string& version,
                            std::string& error);

  // Loads and initialises the module from `file`; false with a message in `error`.
  bool load(const std::string& file, std::string& error);

  // Device IDs and serial numbers as the module lists them, each followed by a comma.
  void list(std::string& ids, std::string& serials) const;
  int create(const std::string& id, void** handle) const { return create_(id.c_str(), handle); }
  int destroy(void* handle) const { return destroy_(handle); }

  // A text command through the get or set side; `data` and `size` as the module takes them.
  reply get(void* handle, const std::string& command, void* data = nullptr,
            std::size_t size = 0) const;
  reply set(void* handle, const std::string& command, void* data = nullptr,
            std::size_t size = 0) const;
  // The next frame's slot address through "image_wait_per_frame" (0 when acquisition stopped).
  int wait_frame(void* handle, std::uint64_t& address) const;

  reply get_module_data(const std::string& key) const;
  int set_module_data(const std::string& key) const;

private:
  get_device_ids_fn get_device_ids_ = nullptr;
  create_fn create_ = nullptr;
  destroy_fn destroy_ = nullptr;
  data_fn get_data_ = nullptr;
  data_fn set_data_ = nullptr;
  module_data_fn get_module_data_ = nullptr;
  module_data_fn set_module_data_ = nullptr;
};

} // namespace qmxcam
