// Module, module data: the module version and the connection-event slot, with the blocking wait
// for the next event and its release.
#include "camera/commands.h"
#include "include/qmx_module.h"
#include "module/camera_registry.h"

#include <cstring>

namespace {

constexpr const char* version_text = "BUILD_VERSION";

// Waits for the next connection event (or a release) and consumes it; the event text of the
// moment. Null when no registry is installed.
bool take_connection_event(std::string& text) {
  qmx::camera_registry* registry = qmx::installed_registry();
  if (registry == nullptr) {
    return false;
  }
  qmx::camera_list& list = registry->list();
  qmx::unique_lock event_lock(list.event_mutex);
  while (!list.event_ready) {
    event_lock.wait(list.event_signal);
  }
  list.event_ready = false;
  text = list.event_text;
  return true;
}

} // namespace

extern "C" {

QMX_MODULE_API int ob_get_module_data(const char* param, void* value, int size) {
  if (param == nullptr) {
    return QMX_BAD_ARGUMENT;
  }
  try {
    if (std::strcmp(param, "connect_disconnect") == 0) {
      std::string text;
      if (!take_connection_event(text)) {
        return QMX_BAD_ARGUMENT; // not initialised: there is nothing to wait for
      }
      return qmx::copy_text_answer(text, static_cast<char*>(value),
                                   size > 0 ? static_cast<std::size_t>(size) : 0);
    }
    if (std::strcmp(param, "version") == 0) {
      return qmx::copy_text_answer(version_text, static_cast<char*>(value),
                                   size > 0 ? static_cast<std::size_t>(size) : 0);
    }
  } catch (...) {
    return QMX_BAD_ARGUMENT;
  }
  return QMX_BAD_ARGUMENT;
}

QMX_MODULE_API int ob_set_module_data(const char* param, void* /*value*/, int /*size*/) {
  if (param == nullptr || std::strcmp(param, "connect_disconnect_release") != 0) {
    return QMX_BAD_SET_ARGUMENT;
  }
  qmx::camera_registry* registry = qmx::installed_registry();
  if (registry == nullptr) {
    return QMX_BAD_SET_ARGUMENT;
  }
  qmx::camera_list& list = registry->list();
  qmx::lock_guard event_lock(list.event_mutex);
  list.event_ready = true;
  list.event_signal.notify_one();
  return QMX_OK;
}

} // extern "C"
