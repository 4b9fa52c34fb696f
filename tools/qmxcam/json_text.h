// qmxcam, JSON text for the --json answers: strings escaped as JSON requires, and objects
// built key by key in the order given.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace qmxcam {

// "text" with quotes, backslashes and control characters escaped.
std::string json_string(const std::string& text);
// ["a","b"]
std::string json_string_array(const std::vector<std::string>& texts);
// A number when `text` is a plain decimal number, else the text as a JSON string; null for "".
std::string json_number_or_string(const std::string& text);

class json_object {
public:
  void add(const std::string& key, const std::string& value) { add_raw(key, json_string(value)); }
  void add(const std::string& key, const char* value) { add_raw(key, json_string(value)); }
  void add(const std::string& key, bool value) { add_raw(key, value ? "true" : "false"); }
  void add(const std::string& key, double value);
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  void add(const std::string& key, T value) {
    add_raw(key, std::to_string(value));
  }
  // `value` is JSON text already.
  void add_raw(const std::string& key, const std::string& value);
  std::string text() const { return "{" + members_ + "}"; }

private:
  std::string members_;
};

} // namespace qmxcam
