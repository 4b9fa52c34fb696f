// qmxcam, command line: each subcommand declares its options as a table (name, whether it takes
// a value, help text); parsing, the error messages and the help text come from that table.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qmxcam {

struct option_row {
  const char* name;  // without the leading "--"
  const char* value; // the value's placeholder ("N", "FILE"), or null for a flag
  const char* help;
};

struct command_line {
  std::map<std::string, std::string> values; // option name to value ("" for a flag)
  std::vector<std::string> arguments;        // operands, in order
  bool help = false;

  bool has(const std::string& name) const { return values.count(name) != 0; }
  std::string value(const std::string& name, const std::string& otherwise = "") const {
    const auto found = values.find(name);
    return found == values.end() ? otherwise : found->second;
  }
};

// Parses `words` against `rows`: "--name VALUE", "--name=VALUE", flags, "-h"/"--help", "--"
// to end the options. A word of a dash and a digit ("-5") is an operand. False with a message
// in `error` for an unknown option (also any other single-dash word) or a missing value.
bool parse_command_line(const std::vector<std::string>& words, const std::vector<option_row>& rows,
                        command_line& parsed, std::string& error);

// The options part of a help text, one line per row.
std::string describe_options(const std::vector<option_row>& rows);

// Strict number readers for option values: the whole text must be the number, and a finite
// one.
bool read_unsigned(const std::string& text, unsigned long long& value);
bool read_double(const std::string& text, double& value);

} // namespace qmxcam
