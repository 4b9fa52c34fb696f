// qmxcam, command line (see options.h).
#include "tools/qmxcam/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qmxcam {

bool parse_command_line(const std::vector<std::string>& words, const std::vector<option_row>& rows,
                        command_line& parsed, std::string& error) {
  bool options_ended = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_ended || word.size() < 2 || word[0] != '-') {
      parsed.arguments.push_back(word);
      continue;
    }
    const bool letter = (word[1] >= 'a' && word[1] <= 'z') || (word[1] >= 'A' && word[1] <= 'Z');
    if (word[1] != '-' && word != "-h") {
      if (letter) {
        // Options are long only; a short one is a mistake, not an operand ("-5" still is one).
        error = "unknown option '" + word + "' (options are written --name)";
        return false;
      }
      parsed.arguments.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      parsed.help = true;
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    bool inline_value = false;
    if (const std::size_t equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      inline_value = true;
    }
    const option_row* row = nullptr;
    for (const option_row& candidate : rows) {
      if (name == candidate.name) {
        row = &candidate;
      }
    }
    if (row == nullptr) {
      error = "unknown option '--" + name + "'";
      return false;
    }
    if (row->value == nullptr) {
      if (inline_value) {
        error = "option '--" + name + "' takes no value";
        return false;
      }
    } else if (!inline_value) {
      if (i + 1 >= words.size()) {
        error = "option '--" + name + "' needs a value (" + row->value + ")";
        return false;
      }
      value = words[++i];
    }
    parsed.values[name] = value;
  }
  return true;
}

std::string describe_options(const std::vector<option_row>& rows) {
  std::string text = "Options:\n";
  for (const option_row& row : rows) {
    std::string left = std::string("  --") + row.name;
    if (row.value != nullptr) {
      left += std::string(" ") + row.value;
    }
    if (left.size() < 30) {
      left.resize(30, ' ');
    } else {
      left += "\n" + std::string(30, ' ');
    }
    text += left + row.help + "\n";
  }
  text += "  -h, --help                  this help\n";
  return text;
}

bool read_unsigned(const std::string& text, unsigned long long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

bool read_double(const std::string& text, double& value) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  // "nan" and "inf" would make a duration that never ends.
  return errno == 0 && *end == '\0' && std::isfinite(value);
}

} // namespace qmxcam
