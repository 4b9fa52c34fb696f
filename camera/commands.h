// Camera parameters, text commands: the get and set command entry points of an open camera,
// after the module has checked the handle.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qmx {

struct camera;

// One text command as the host passed it.
struct command_request {
  const char* command;      // keyword, optionally a blank and an argument
  std::size_t command_size; // bytes including the terminator
  void* data;
  std::size_t data_size;
  char* response;
  std::size_t response_size;
  // Whether the camera is unplugged now; asked by the commands that need the camera, each at its
  // own step. Null: never.
  bool (*disconnected)(void* context) = nullptr;
  void* disconnected_context = nullptr;
};

// The module's own get keyword that reports the acquisition statistics. The dot and the
// module's prefix keep it apart from any camera command.
inline constexpr const char* statistics_keyword = "qmx_module.acquisition_statistics";

// The copy rule of every text answer of the host interface: the size counts the terminator; a
// text shorter than the size is copied whole with its terminator, any other is cut to size - 1
// characters with a terminator in the last byte, and with a size of 0 nothing is written. 0 when
// copied whole, 15 when cut or when nothing could be written, 16 for a null buffer.
int copy_text_answer(std::string_view text, char* buffer, std::size_t size);

// Result codes of the host interface (0 success, 1, 6, 7, 13, 14, 15, 16).
int get_command(camera& c, const command_request& request);
int set_command(camera& c, const command_request& request);

// One line per keyword of the get (false) or set (true) table: the keyword and what it does.
std::string command_help(bool set_side);

} // namespace qmx
