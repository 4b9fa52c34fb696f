// Lookup of already loaded libraries and their functions, and system error texts.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

// Called directly as well, so that the test executable really loads the probe library.
extern "C" int seam_probe_answer();

namespace {

using answer_fn = int (*)();

TEST(library_lookup, finds_a_loaded_library_by_its_windows_file_name) {
  platform::library_handle library = platform::find_loaded_library("qmx_seam_probe.dll");
  ASSERT_NE(library, nullptr);
  auto answer =
      reinterpret_cast<answer_fn>(platform::find_library_function(library, "seam_probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(answer(), seam_probe_answer());
  EXPECT_EQ(platform::find_library_function(library, "no_such_function"), nullptr);
}

TEST(library_lookup, module_names_reach_the_same_library_and_function) {
  platform::library_handle library = platform::get_loaded_shared_library("qmx_seam_probe.dll");
  ASSERT_EQ(library, platform::find_loaded_library("qmx_seam_probe.dll"));
  auto answer = reinterpret_cast<answer_fn>(
      platform::get_function_from_shared_library__or_nullptr(library, "seam_probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(platform::get_function_from_shared_library__or_nullptr(library, "missing"), nullptr);
  // Naming the calling thread must be harmless with no debugger attached.
  platform::set_thread_debug_name(platform::current_thread_id(), "seam_main");
}

TEST(library_lookup, never_loads_a_library_that_is_not_loaded) {
  // The library exists beside the test but nothing loaded it.
  EXPECT_EQ(platform::find_loaded_library("qmx_seam_unloaded.dll"), nullptr);
  EXPECT_EQ(platform::find_loaded_library("qmx_seam_unloaded.dll"), nullptr)
      << "a first lookup must not have loaded it";
}

TEST(library_lookup, missing_library_and_null_arguments_give_null) {
  EXPECT_EQ(platform::find_loaded_library("qmx_no_such_library.dll"), nullptr);
  EXPECT_EQ(platform::find_loaded_library(nullptr), nullptr);
  EXPECT_EQ(platform::find_library_function(nullptr, "seam_probe_answer"), nullptr);
  platform::library_handle library = platform::find_loaded_library("qmx_seam_probe.dll");
  EXPECT_EQ(platform::find_library_function(library, nullptr), nullptr);
}

TEST(error_texts, known_codes_have_distinct_single_line_texts) {
  const unsigned codes[] = {platform::error::file_not_found, platform::error::sharing_violation,
                            platform::error::operation_aborted, platform::error::io_pending};
  std::set<std::string> texts;
  for (unsigned code : codes) {
    const std::string text = platform::error_text(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(codes));
}

} // namespace
