// Every name of the module's export list resolves in the loaded module, looked up through the
// platform seam as the module itself looks up other libraries: on Windows each plain name and
// each decorated alias name@N of the .def file, on Linux each name of the version script.
#include "include/qmx_libusb.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> listed_names = {
#include "module_export_names.inc"
};

TEST(module_exports, every_listed_name_resolves) {
  // A call into the module keeps it among this program's loaded libraries.
  ASSERT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
  platform::library_handle module = platform::find_loaded_library("orbanite_qmx_camera.dll");
  ASSERT_NE(module, nullptr);
  ASSERT_FALSE(listed_names.empty());
  for (const std::string& name : listed_names) {
    EXPECT_NE(platform::find_library_function(module, name.c_str()), nullptr) << name;
  }
  EXPECT_EQ(platform::find_library_function(module, "libusb_no_such_function"), nullptr);
}

#if defined(_WIN32)
TEST(module_exports, decorated_aliases_reach_the_plain_functions) {
  platform::library_handle module = platform::find_loaded_library("orbanite_qmx_camera.dll");
  ASSERT_NE(module, nullptr);
  for (const std::string& name : listed_names) {
    const auto at = name.find('@');
    if (at == std::string::npos) {
      continue;
    }
    const std::string plain = name.substr(0, at);
    EXPECT_EQ(platform::find_library_function(module, name.c_str()),
              platform::find_library_function(module, plain.c_str()))
        << name;
  }
}
#endif

} // namespace
