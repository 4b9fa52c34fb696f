// Native-path tests: the entry of each suite. The bridge serves the test bus for the whole run; a
// process that cannot connect it (the driver is not installed: no Wine, or the installer failed)
// says so and fails without running a case.
#include "tests/native/native_suite.h"

#include <cstdio>

namespace native_test {

namespace {
bus_bridge* current = nullptr;
}

bus_bridge& the_bridge() {
  return *current;
}

} // namespace native_test

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ::testing::InitGoogleTest(&argc, argv);
  std::string error;
  std::unique_ptr<native_test::bus_bridge> bridge = native_test::bus_bridge::connect(error);
  if (bridge == nullptr) {
    std::fprintf(stderr, "native path: the test bus driver cannot be served: %s\n", error.c_str());
    return 1;
  }
  native_test::current = bridge.get();
  const int result = RUN_ALL_TESTS();
  native_test::current = nullptr;
  const std::uint64_t failures = bridge->failures();
  if (failures != 0) {
    std::fprintf(stderr, "native path: the bridge failed %llu time(s), first: %s\n",
                 static_cast<unsigned long long>(failures), bridge->first_failure().c_str());
  }
  bridge.reset();
  return result != 0 || failures != 0 ? 1 : 0;
}
