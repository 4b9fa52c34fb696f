// Camera parameters, text commands: the camera pass-through, which carries every command the
// module does not answer itself to the camera and its reply back to the host.
#include "camera/commands.h"

#include "camera/camera.h"
#include "camera/serial_channel.h"

#include <cstring>
#include <string>

namespace qmx {

namespace {

constexpr int ok = 0;
constexpr int transaction_failed = 1;
constexpr int bad_argument = 6;
constexpr int truncated = 15;
constexpr int null_response = 16;

// The response copy rule: the whole text when it fits with its terminator, else size - 1
// characters and a terminator in the last byte (15). A size of 0 writes nothing (15).
int copy_response(const std::string& text, char* response, std::size_t size) {
  if (response == nullptr) {
    return null_response;
  }
  if (size == 0) {
    return truncated;
  }
  if (text.size() < size) {
    std::memcpy(response, text.c_str(), text.size() + 1);
    return ok;
  }
  std::memcpy(response, text.data(), size - 1);
  response[size - 1] = '\0';
  return truncated;
}

// Sends the whole command to the camera and answers its reply. A command of no bytes, or of
// more than the channel's 1024 bytes, is refused (6) without reaching the camera.
int pass_through(camera& c, const command_request& request) {
  if (request.command == nullptr || request.command_size == 0 ||
      request.command_size > serial_buffer_bytes) {
    return bad_argument;
  }
  char reply[serial_buffer_bytes] = {};
  if (!transact(c, request.command, request.command_size, reply, sizeof reply)) {
    return transaction_failed;
  }
  return copy_response(reply, request.response, request.response_size);
}

} // namespace

int get_command(camera& c, const command_request& request) { return pass_through(c, request); }

int set_command(camera& c, const command_request& request) { return pass_through(c, request); }

} // namespace qmx
