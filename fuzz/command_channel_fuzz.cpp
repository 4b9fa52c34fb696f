// Fuzz target: the get and set commands of an open camera and its serial channel, against a
// simulated camera through the real USB layer. An input is a sequence of steps: get or set
// commands whose own bytes are hostile (any size, with or without terminator, keywords with and
// without arguments, text for the camera), camera replies of any length from 0 to 1024 bytes
// with or without a terminator (the simulator's reply overrides), and refused or failing command
// transfers. Checked after every command: the result is one the entry point documents; nothing is
// read beyond the command's size or a data text's terminator, and nothing is written beyond the
// response's size (the sanitizer guards every such buffer); a get command that fails writes
// nothing; a text written is terminated inside the buffer as the copy rule says ("image_metadata"
// by its bounded copy); a reply the camera was told to send comes back exactly (up to its first
// zero byte and cut as the copy rule says), whatever an earlier reply left; and the binning
// factors stay 1 to 16 with the image size derived from them.
//
// The camera object is built once per process (building one costs a transport's 500 ms pause on
// teardown); what an input changed is put back after it. Commands that wait (the image waits,
// "image_poll" with a time-out, "stop" with its pause) and arming into a buffer are not run.
#include "camera/camera.h"
#include "camera/commands.h"
#include "camera/geometry.h"
#include "camera/serial_channel.h"
#include "fuzz/asan_poison.h"
#include "include/qmx_libusb.h"
#include "sim/qmx_sim.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t max_steps = 32;
constexpr std::size_t max_reply_bytes = 1024;   // a reply override holds at most this
constexpr std::size_t max_command_bytes = 1100; // beyond the channel's 1024
constexpr std::size_t max_response_bytes = 1100;
constexpr std::uint8_t response_fill = 0xA5; // never a terminator
constexpr int get_results[] = {0, 1, 6, 14, 15, 16};
constexpr int set_results[] = {0, 1, 6, 7, 13, 14, 15, 16};

// Keywords of both tables, camera commands, and words that resemble them: the start of a command.
constexpr std::array<std::string_view, 33> words{{
    "hbin",
    "vbin",
    "roi",
    "pqmx",
    "acquisition_bytes_per_frame",
    "image_poll_timeout_ms",
    "image_metadata",
    "usb_speed",
    "hbin.min",
    "hbin.max",
    "vbin.min",
    "vbin.max",
    "image_width",
    "image_height",
    "qmx_module.acquisition_statistics",
    "image_poll",
    "image_wait",
    "image_wait_per_frame",
    "image_wait_release",
    "dev_bytes_per_frame",
    "unblock_image_wait_for_frame",
    "arm",
    "stop",
    "sernum",
    "id",
    "gain",
    "exposure_ms",
    "fps",
    "temperature",
    "num_calibration_lines",
    "data_packets_per_frame",
    "hbi",
    "",
}};
// Words whose reply an override replaces (the first word of the text the camera reads).
constexpr std::array<std::string_view, 9> reply_words{
    {"sernum", "roi", "gain", "id", "num_calibration_lines", "data_packets_per_frame", "fps",
     "temperature", "x"}};
// Camera commands that change the camera's state when they carry an argument (or, for "arm" and
// "stop", at all); an input whose camera text holds one of them gets the camera put back.
constexpr std::array<std::string_view, 6> camera_state_words{
    {"roi", "exposure_ms", "gain", "fps", "arm", "stop"}};
constexpr std::array<std::string_view, 5> camera_resets{
    {"stop", "roi 0 0 1279 1023", "exposure_ms 10", "gain 0", "fps 0"}};

// Stops the run with the failed condition's line, so that a finding says what broke.
void require_at(bool condition, int line) {
  if (!condition) {
    std::fprintf(stderr, "command_channel_fuzz: check on line %d failed\n", line);
    std::abort();
  }
}
#define require(condition) require_at((condition), __LINE__)

class reader {
public:
  reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint32_t u16() { return byte() | (static_cast<std::uint32_t>(byte()) << 8); }
  // Up to `n` bytes of the input (fewer at its end).
  std::string_view bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(position_, size_));
    const std::string_view out(reinterpret_cast<const char*>(data_) + position_, n);
    position_ += n;
    return out;
  }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// One buffer the module reads or writes, an allocation of its own: its `size` bytes at the start,
// the rest poisoned, so any access beyond `size` is reported.
class guarded_buffer {
public:
  explicit guarded_buffer(std::size_t capacity)
      : storage_(new char[capacity]), capacity_(capacity) {}
  ~guarded_buffer() { ASAN_UNPOISON_MEMORY_REGION(storage_.get(), capacity_); }
  guarded_buffer(const guarded_buffer&) = delete;
  guarded_buffer& operator=(const guarded_buffer&) = delete;

  char* hold(std::string_view bytes, std::size_t size) {
    ASAN_UNPOISON_MEMORY_REGION(storage_.get(), capacity_);
    require(size <= capacity_);
    std::memset(storage_.get(), response_fill, size);
    if (!bytes.empty()) {
      std::memcpy(storage_.get(), bytes.data(), std::min(bytes.size(), size));
    }
    ASAN_POISON_MEMORY_REGION(storage_.get() + size, capacity_ - size);
    return storage_.get();
  }

private:
  std::unique_ptr<char[]> storage_;
  std::size_t capacity_;
};

// The keyword rule of the text commands: at least the keyword's bytes before the last byte of
// the command, the keyword's bytes first, then a terminator or a blank.
bool matches(std::string_view command, std::string_view keyword) {
  return command.size() >= keyword.size() + 1 && command.substr(0, keyword.size()) == keyword &&
         (command[keyword.size()] == '\0' || command[keyword.size()] == ' ');
}

// The camera, its transport and the simulated world, built once for the process and taken down
// at its exit (before the simulator's own static objects go).
struct fuzz_world {
  libusb_context* context = nullptr;
  int camera_id = 0;
  qmx::camera* camera = nullptr;
  qmx::acquisition_parameters initial_parameters;
  bool disconnected = false;
};

fuzz_world* world = nullptr;

void take_down_world() {
  if (world == nullptr) {
    return;
  }
  delete world->camera;
  libusb_exit(world->context);
  qmx_sim_reset();
  delete world;
  world = nullptr;
}

bool is_disconnected(void* context) {
  return static_cast<const fuzz_world*>(context)->disconnected;
}

std::uint64_t overridden_replies() {
  qmx_sim_fault_counters counters{};
  counters.struct_size = sizeof counters;
  require(qmx_sim_get_fault_counters(world->camera_id, &counters) == 0);
  return counters.replies_overridden;
}

// The text a reply override makes the host see: the bytes up to the first zero byte.
std::string reply_text(const std::string& reply) {
  return reply.substr(0, std::min(reply.find('\0'), reply.size()));
}

// What one input changed, to be put back after it, and the reply override still pending (one at
// a time, so that a reply that was overridden is known to be this one).
struct input_state {
  std::vector<std::string> camera_texts;
  std::array<bool, reply_words.size()> overridden{};
  bool command_fault = false;
  bool override_pending = false;
  std::size_t pending_word = 0;
  std::string pending_reply;
};

// Builds a command's bytes from the input: a word, a separator, an argument, and a size that may
// count the terminator or not, fall short of the text or run past it.
std::string command_bytes(reader& in) {
  const std::uint8_t shape = in.byte();
  std::string text(words[in.byte() % words.size()]);
  if ((shape & 0x01) != 0) {
    const char separators[] = {' ', '\0', '_', '\t', '.'};
    text += separators[in.byte() % sizeof separators];
  }
  if ((shape & 0x02) != 0) {
    if ((shape & 0x04) != 0) {
      text += words[in.byte() % words.size()]; // "pqmx gain", "hbin hbin"
      text += ' ';
    }
    text += in.bytes(in.byte() % 24); // numbers, signs, bases, anything
  }
  if ((shape & 0x08) != 0) {
    const std::size_t length = in.u16() % 1100;
    text += std::string(length, "x0 "[in.byte() % 3]); // long commands
  }
  if ((shape & 0x10) == 0) {
    text += '\0';
  }
  if ((shape & 0x20) != 0) {
    // A size that counts fewer or more bytes than the text: the extra bytes are zero.
    const int delta = static_cast<int>(in.byte() % 5) - 2;
    text.resize(static_cast<std::size_t>(std::max(0, static_cast<int>(text.size()) + delta)));
  }
  if (text.size() > max_command_bytes) {
    text.resize(max_command_bytes);
  }
  return text;
}

// Whether a command would wait (or sleep) instead of answering: such commands are not run.
bool waits(bool set_side, std::string_view command, const void* data, std::size_t data_size) {
  qmx::frame_assembly_state& a = world->camera->frames.assembly;
  if (set_side) {
    // "stop" pauses 100 ms; "arm" with a buffer arms (and waits for the frame path to drain).
    return matches(command, "stop") ||
           (matches(command, "arm") && data != nullptr && data_size >= 1 && !world->disconnected);
  }
  if (matches(command, "image_wait")) {
    std::lock_guard lock(a.image_wait_lock);
    return !a.image_wait_flag;
  }
  if (matches(command, "image_wait_per_frame")) {
    return true;
  }
  const std::int32_t poll = a.poll_timeout_ms.load();
  return matches(command, "image_poll") && (poll == -1 || poll > 0);
}

// The checks after one command. `expected_reply` is the reply text the camera was told to send
// when that reply answered this command (`reply_known`).
void check_command(bool set_side, std::string_view command, int result, const char* response,
                   std::size_t response_size, bool response_null, std::string_view expected_reply,
                   bool reply_known) {
  if (set_side) {
    require(std::find(std::begin(set_results), std::end(set_results), result) !=
            std::end(set_results));
  } else {
    require(std::find(std::begin(get_results), std::end(get_results), result) !=
            std::end(get_results));
  }
  const qmx::acquisition_parameters p = qmx::parameters_of(*world->camera);
  require(p.hbin >= 1 && p.hbin <= 16 && p.vbin >= 1 && p.vbin <= 16);
  require(p.image_width == p.roi_width / p.hbin && p.image_height == p.roi_height / p.vbin);

  if (response_null || response_size == 0) {
    return; // nothing could be written (the sanitizer guards the zero-size buffer)
  }
  const std::string_view written(response, response_size);
  const bool untouched =
      written.find_first_not_of(static_cast<char>(response_fill)) == std::string_view::npos;
  if (!set_side && (result == 1 || result == 6 || result == 14 || result == 16)) {
    require(untouched);
    return;
  }
  if (!set_side && matches(command, "image_metadata")) {
    require(result == 0);
    const char* text = world->camera->frames.assembly.metadata_enabled ? "on" : "off";
    std::string want(response_size, '\0');
    std::strncpy(want.data(), text, response_size);
    require(written == want);
    return;
  }
  if (untouched) {
    return;
  }
  const std::size_t terminator = written.find('\0');
  require(terminator != std::string_view::npos);
  if (result == 15) {
    require(terminator == response_size - 1); // cut to the buffer, terminated in its last byte
  }
  if (reply_known) {
    // The pass-through reads the reply into 1024 bytes (1023 and a terminator); "pqmx" reads it
    // into the response itself.
    const bool pqmx = matches(command, "pqmx");
    const std::string_view text =
        pqmx ? expected_reply : expected_reply.substr(0, qmx::serial_buffer_bytes - 1);
    require(written.substr(0, terminator) == text.substr(0, response_size - 1));
    if (!pqmx) {
      require(result == (text.size() < response_size ? 0 : 15));
    }
  }
}

// One get or set command built from the input, run through the command table.
void run_command(reader& in, bool set_side, input_state& state) {
  const std::string command = command_bytes(in);
  const std::uint8_t options = in.byte();

  // Data: null, an 8-byte area (the frame hand-outs write an address there), or a text with its
  // terminator (the set side reads "image_metadata" and "image_poll_timeout_ms" data as text).
  std::string data_bytes;
  if ((options & 0x06) == 0x02) {
    data_bytes.assign(8, '\0');
  } else if ((options & 0x06) == 0x04) {
    data_bytes = std::string(in.bytes(in.byte() % 16));
    data_bytes.erase(std::remove(data_bytes.begin(), data_bytes.end(), '\0'), data_bytes.end());
    data_bytes += '\0';
  } else if ((options & 0x06) == 0x06) {
    data_bytes = (options & 0x08) != 0 ? "on" : "-1";
    data_bytes += '\0';
  }
  const bool data_null = data_bytes.empty();
  if (!set_side && !data_null && data_bytes.size() < sizeof(std::uint64_t)) {
    // The get side writes a frame's 8-byte address into any data it is given (its size is not
    // read): a host always passes room for one.
    data_bytes.resize(sizeof(std::uint64_t), '\0');
  }
  const std::size_t data_size = data_null ? 0 : in.byte();
  // The camera counts as unplugged for this command (the set side asks at the steps that need
  // the camera).
  world->disconnected = (options & 0x40) != 0 && (options & 0x01) != 0;
  if (waits(set_side, command, data_null ? nullptr : data_bytes.data(), data_size)) {
    return;
  }
  guarded_buffer command_buffer(std::max<std::size_t>(command.size(), 1));
  guarded_buffer data_buffer(std::max<std::size_t>(data_bytes.size(), 1));
  guarded_buffer response_buffer(max_response_bytes);
  const bool response_null = (options & 0x10) != 0;
  const std::size_t response_size =
      (options & 0x20) != 0 ? in.byte() % 8 : in.u16() % (max_response_bytes + 1);

  qmx::command_request request{};
  request.command = command_buffer.hold(command, command.size());
  request.command_size = command.size();
  request.data = data_null ? nullptr : data_buffer.hold(data_bytes, data_bytes.size());
  request.data_size = data_size;
  request.response = response_null ? nullptr : response_buffer.hold({}, response_size);
  request.response_size = response_size;
  if ((options & 0x40) != 0) {
    request.disconnected = is_disconnected;
    request.disconnected_context = world;
  }
  // Whatever text the camera may have been sent, for putting the camera back afterwards.
  state.camera_texts.push_back(command);

  const std::uint64_t overridden = overridden_replies();
  const int result = set_side ? qmx::set_command(*world->camera, request)
                              : qmx::get_command(*world->camera, request);
  const bool override_taken = overridden_replies() != overridden;
  // On the get side a pass-through or "pqmx" makes one transaction: when its reply was the
  // override, the host must see exactly that reply.
  const bool reply_known = override_taken && state.override_pending && !set_side &&
                           !matches(command, "acquisition_bytes_per_frame");
  check_command(set_side, command, result, request.response, response_size, response_null,
                reply_text(state.pending_reply), reply_known);
  if (override_taken) {
    state.override_pending = false;
  }
  world->disconnected = false;
}

// The next reply to commands starting with one of the reply words: `length` bytes (0 to 1024)
// from the input, repeated or padded, with or without zero bytes. Replaces an override still
// pending.
void set_reply_override(reader& in, input_state& state) {
  const std::size_t word = in.byte() % reply_words.size();
  const std::uint8_t shape = in.byte();
  const std::size_t length = in.u16() % (max_reply_bytes + 1);
  std::string reply(in.bytes(in.byte() % 32));
  if (reply.empty()) {
    reply = "7";
  }
  if ((shape & 0x01) != 0) {
    while (reply.size() < length) {
      reply += reply; // a pattern repeated to any length
    }
  } else {
    reply.resize(std::max(reply.size(), length), static_cast<char>(in.byte()));
  }
  reply.resize(length);
  if ((shape & 0x02) != 0) {
    std::replace(reply.begin(), reply.end(), '\0', 'z'); // no terminator anywhere
  }
  if (state.override_pending) {
    const std::string old(reply_words[state.pending_word]);
    require(qmx_sim_set_reply_override(world->camera_id, old.c_str(), "", 0, 0) == 0);
  }
  const std::string name(reply_words[word]);
  require(qmx_sim_set_reply_override(world->camera_id, name.c_str(), reply.data(),
                                     static_cast<std::uint32_t>(reply.size()), 1) == 0);
  state.overridden[word] = true;
  state.override_pending = true;
  state.pending_word = word;
  state.pending_reply = reply;
}

// Puts back what an input changed: reply overrides and transfer faults cleared, the camera's own
// settings restored when a command may have changed them, and the camera object's settings.
void restore(input_state& state) {
  for (std::size_t i = 0; i < reply_words.size(); ++i) {
    if (state.overridden[i]) {
      const std::string name(reply_words[i]);
      require(qmx_sim_set_reply_override(world->camera_id, name.c_str(), "", 0, 0) == 0);
    }
  }
  if (state.command_fault) {
    require(qmx_sim_set_endpoint_fault(world->camera_id, QMX_SIM_ENDPOINT_UART_TX, 0, 0, 0) == 0);
  }
  const bool camera_changed =
      std::any_of(state.camera_texts.begin(), state.camera_texts.end(), [](const std::string& t) {
        return std::any_of(camera_state_words.begin(), camera_state_words.end(),
                           [&](std::string_view w) { return t.find(w) != std::string::npos; });
      });
  qmx::camera& c = *world->camera;
  if (camera_changed) {
    for (std::string_view text : camera_resets) {
      const std::string command(text);
      char reply[qmx::serial_buffer_bytes];
      require(qmx::transact(c.channel, command.c_str(), command.size() + 1, reply, sizeof reply));
    }
  }
  {
    std::lock_guard lock(c.parameters_mutex);
    c.parameters = world->initial_parameters;
  }
  qmx::frame_assembly_state& a = c.frames.assembly;
  {
    std::lock_guard path(a.path_mutex);
    a.metadata_enabled = false;
  }
  a.poll_timeout_ms.store(0);
  {
    std::lock_guard lock(a.image_wait_lock);
    a.image_wait_flag = false;
  }
  world->disconnected = false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  world = new fuzz_world;
  require(libusb_init(&world->context) == 0);
  world->camera_id = qmx_sim_camera_add("FUZZ0001", 0x0300);
  require(world->camera_id != 0);
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(world->context, &list);
  require(count == 1);
  world->camera = new qmx::camera(list[0]);
  libusb_free_device_list(list, 1);
  require(!world->camera->parameters.transport_failed);
  require(qmx::read_roi(*world->camera) == 0);
  world->initial_parameters = qmx::parameters_of(*world->camera);
  std::atexit(take_down_world);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reader in(data, size);
  input_state state;
  for (std::size_t n = 0; n < max_steps && !in.empty(); ++n) {
    const std::uint8_t op = in.byte();
    switch (op % 4) {
    case 0:
    case 1:
      run_command(in, op % 4 == 1, state);
      break;
    case 2:
      set_reply_override(in, state);
      break;
    default: { // the next command transfer is refused, or fails after it was accepted
      const int kind = (op & 0x04) != 0 ? QMX_SIM_FAULT_REFUSE : QMX_SIM_FAULT_FAIL;
      require(qmx_sim_set_endpoint_fault(world->camera_id, QMX_SIM_ENDPOINT_UART_TX, kind, 31, 1) ==
              0);
      state.command_fault = true;
      break;
    }
    }
  }
  restore(state);
  return 0;
}
