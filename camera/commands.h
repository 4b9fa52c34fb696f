// Camera parameters, text commands: the get and set command entry points of an open camera,
// after the module has checked the handle and the connection.
#pragma once

#include <cstddef>

namespace qmx {

struct camera;

// One text command as the host passed it.
struct command_request {
  const char* command;     // keyword, optionally a blank and an argument
  std::size_t command_size; // bytes including the terminator
  void* data;
  std::size_t data_size;
  char* response;
  std::size_t response_size;
};

// Result codes of the host interface (0 success, 1, 6, 7, 13, 15, 16).
int get_command(camera& c, const command_request& request);
int set_command(camera& c, const command_request& request);

} // namespace qmx
