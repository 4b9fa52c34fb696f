// qmxcam, JSON text (see json_text.h).
#include "tools/qmxcam/json_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qmxcam {

std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
    case '"':
      quoted += "\\\"";
      break;
    case '\\':
      quoted += "\\\\";
      break;
    case '\n':
      quoted += "\\n";
      break;
    case '\r':
      quoted += "\\r";
      break;
    case '\t':
      quoted += "\\t";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        quoted += escaped;
      } else {
        quoted += c;
      }
    }
  }
  quoted += '"';
  return quoted;
}

std::string json_string_array(const std::vector<std::string>& texts) {
  std::string array = "[";
  for (const std::string& text : texts) {
    if (array.size() > 1) {
      array += ',';
    }
    array += json_string(text);
  }
  array += ']';
  return array;
}

std::string json_number_or_string(const std::string& text) {
  if (text.empty()) {
    return "null";
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const bool plain = text.find_first_not_of("-0123456789.") == std::string::npos;
  if (*end == '\0' && plain && std::isfinite(value) && text != "-" && text.back() != '.' &&
      text.front() != '.') {
    return text;
  }
  return json_string(text);
}

void json_object::add(const std::string& key, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
  add_raw(key, text);
}

void json_object::add_raw(const std::string& key, const std::string& value) {
  if (!members_.empty()) {
    members_ += ',';
  }
  members_ += json_string(key);
  members_ += ':';
  members_ += value;
}

} // namespace qmxcam
