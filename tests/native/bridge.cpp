// Native-path tests: the bridge between the test bus driver and the simulator (see bridge.h).
//
// Threads: the fetching thread takes the driver's messages in order and carries each out on the
// simulator (opens, requests, cancels, closes: the order of one file's messages is kept); the
// answering thread sends the simulator's answers back to the driver, several per request to the
// driver; plugs and unplugs run on the thread that plugs or unplugs the simulated camera (the
// simulator's listener). The simulator completes requests on its own threads, possibly with its
// lock held, so its completions only queue the answer.
//
// Lock order: the simulator's lock, then `requests_mutex`, then `answers_mutex`; `cameras_mutex`
// and `failure_mutex` alone. No call into the simulator is made with a lock of the bridge held.
#include "tests/native/bridge.h"

#include "platform/device_source.h"
#include "sim/hotplug_monitor.h"
#include "sim/qmx_sim.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace native_test {

namespace {

constexpr DWORD bus_wait_ms = 30000;
constexpr std::size_t answer_batch_bytes = 256 * 1024;
constexpr std::uint32_t io_pending = ERROR_IO_PENDING;

const GUID control_class = {QMX_TEST_BUS_CLASS_DATA1, QMX_TEST_BUS_CLASS_DATA2,
                            QMX_TEST_BUS_CLASS_DATA3, QMX_TEST_BUS_CLASS_DATA4};

// The status a request ends with in the driver for a Win32 error of the simulator, chosen so that
// the program that sent the request reads the same error back.
std::uint32_t status_for(std::uint32_t error) {
  switch (error) {
  case 0:
    return 0;
  case ERROR_INVALID_FUNCTION:
    return 0xC0000010; // STATUS_INVALID_DEVICE_REQUEST
  case ERROR_FILE_NOT_FOUND:
    return 0xC0000034; // STATUS_OBJECT_NAME_NOT_FOUND
  case ERROR_NOT_ENOUGH_MEMORY:
    return 0xC0000017; // STATUS_NO_MEMORY
  case ERROR_GEN_FAILURE:
    return 0xC0000001; // STATUS_UNSUCCESSFUL
  case ERROR_SHARING_VIOLATION:
    return 0xC0000043; // STATUS_SHARING_VIOLATION
  case ERROR_INVALID_PARAMETER:
    return 0xC000000D; // STATUS_INVALID_PARAMETER
  case ERROR_OPERATION_ABORTED:
    return 0xC0000120; // STATUS_CANCELLED
  case ERROR_DEVICE_NOT_CONNECTED:
    return 0xC000009D; // STATUS_DEVICE_NOT_CONNECTED
  case ERROR_NOT_FOUND:
    return 0xC0000225; // STATUS_NOT_FOUND
  default:
    return 0xC0070000u | (error & 0xFFFFu); // a Win32 error carried as a status
  }
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

// The child's instance ID for a simulator path ("\\?\usb#vid_2f4e&pid_4002#SERIAL#{...}"): the
// part naming the device, kept to the characters an instance ID may hold. Distinct simulator paths
// give distinct instances (the bus refuses a clash).
std::string instance_for(const std::string& sim_path) {
  std::size_t start = sim_path.find('#');
  start = start == std::string::npos ? std::string::npos : sim_path.find('#', start + 1);
  const std::size_t end = start == std::string::npos ? start : sim_path.find('#', start + 1);
  std::string part =
      end == std::string::npos ? sim_path : sim_path.substr(start + 1, end - start - 1);
  for (char& c : part) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '&' || c == '-';
    if (!plain) {
      c = '_';
    }
  }
  part.resize(std::min<std::size_t>(part.size(), QMX_TEST_BUS_INSTANCE_CAPACITY - 1));
  return part;
}

std::string control_interface_path() {
  HDEVINFO set =
      SetupDiGetClassDevsA(&control_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::string path;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &control_class, 0, &data) != FALSE) {
    std::vector<char> detail_buffer(1024, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail,
                                         static_cast<DWORD>(detail_buffer.size()), nullptr,
                                         nullptr) != FALSE) {
      path = detail->DevicePath;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

// A request to the bus, waited for up to `timeout_ms` (then cancelled). 0, or the error.
DWORD bus_request(HANDLE bus, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* bytes, DWORD timeout_ms = bus_wait_ms) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    return GetLastError();
  }
  DWORD count = 0;
  DWORD result = 0;
  if (DeviceIoControl(bus, code, const_cast<void*>(in), in_size, out, out_size, &count,
                      &overlapped) == FALSE) {
    result = GetLastError();
    if (result == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
        CancelIoEx(bus, &overlapped);
        GetOverlappedResult(bus, &overlapped, &count, TRUE);
        result = WAIT_TIMEOUT;
      } else {
        result = GetOverlappedResult(bus, &overlapped, &count, FALSE) != FALSE ? 0 : GetLastError();
      }
    }
  }
  CloseHandle(overlapped.hEvent);
  if (bytes != nullptr) {
    *bytes = count;
  }
  return result;
}

} // namespace

// One request being carried out by the simulator.
struct served_request {
  qmx_device_completion completion; // first: the simulator hands its address back
  bus_bridge::impl* owner = nullptr;
  std::uint64_t tag = 0;
  std::uint32_t error = 0;
  std::uint32_t bytes = 0;
  std::vector<std::uint8_t> buffer;
};

// A camera file the driver told of, as the simulator opened it.
struct served_file {
  qmx_device_file* file = nullptr;
  std::uint32_t open_error = 0; // why the simulator refused it, when it did
};

// A simulated camera on the bus, by its instance ID there.
struct camera_on_bus {
  std::string sim_path;
  std::string bus_path; // empty until the bus has plugged it
  std::uint32_t number = 0;
};

struct bus_bridge::impl {
  HANDLE bus = INVALID_HANDLE_VALUE;
  const qmx_device_source* sim = nullptr;
  HANDLE stop_event = nullptr;
  std::thread fetcher;
  std::thread answerer;

  // The fetching thread's own.
  std::unordered_map<std::uint64_t, served_file> files;

  std::mutex requests_mutex;
  std::unordered_map<std::uint64_t, served_request*> in_flight; // by tag

  std::mutex answers_mutex;
  std::condition_variable answers_ready;
  std::deque<served_request*> answers;
  bool answers_closing = false;

  mutable std::mutex cameras_mutex;
  std::map<std::string, camera_on_bus> cameras; // by instance ID, in upper case

  std::atomic<std::uint64_t> served{0};
  std::atomic<std::uint64_t> failure_count{0};
  mutable std::mutex failure_mutex;
  std::string failure_text;

  void fail(const std::string& what) {
    if (failure_count.fetch_add(1) == 0) {
      std::lock_guard lock(failure_mutex);
      failure_text = what;
    }
  }

  // ---- Answers -------------------------------------------------------------------------------

  void queue_answer(served_request* r) {
    {
      std::lock_guard lock(answers_mutex);
      answers.push_back(r);
    }
    answers_ready.notify_one();
  }

  static void on_complete(qmx_device_completion* self, std::uint32_t error, std::uint32_t bytes) {
    auto* r = reinterpret_cast<served_request*>(self);
    r->error = error;
    r->bytes = bytes;
    {
      std::lock_guard lock(r->owner->requests_mutex);
      r->owner->in_flight.erase(r->tag);
    }
    r->owner->queue_answer(r);
  }

  void answer_loop() {
    std::vector<std::uint8_t> out;
    for (;;) {
      std::vector<served_request*> batch;
      {
        std::unique_lock lock(answers_mutex);
        answers_ready.wait(lock, [&] { return !answers.empty() || answers_closing; });
        if (answers.empty()) {
          return;
        }
        std::size_t size = 0;
        while (!answers.empty() && (batch.empty() || size < answer_batch_bytes)) {
          served_request* r = answers.front();
          answers.pop_front();
          size += sizeof(qmx_test_answer) + r->buffer.size();
          batch.push_back(r);
        }
      }
      out.clear();
      for (served_request* r : batch) {
        qmx_test_answer answer{};
        answer.tag = r->tag;
        answer.status = status_for(r->error);
        answer.bytes =
            r->error == 0
                ? std::min<std::uint32_t>(r->bytes, static_cast<std::uint32_t>(r->buffer.size()))
                : 0;
        const std::size_t at = out.size();
        out.resize(at + QMX_TEST_RECORD_ALIGN(sizeof answer + answer.bytes), 0);
        std::memcpy(out.data() + at, &answer, sizeof answer);
        std::memcpy(out.data() + at + sizeof answer, r->buffer.data(), answer.bytes);
        delete r;
      }
      const DWORD error = bus_request(bus, QMX_TEST_BUS_ANSWER, out.data(),
                                      static_cast<DWORD>(out.size()), nullptr, 0, nullptr);
      if (error != 0) {
        fail("the driver refused answers: error " + std::to_string(error));
      }
    }
  }

  void answer_now(std::uint64_t tag, std::uint32_t error) {
    auto* r = new served_request;
    r->owner = this;
    r->tag = tag;
    r->error = error;
    queue_answer(r);
  }

  // ---- Messages ------------------------------------------------------------------------------

  std::string sim_path_of(const std::string& instance) {
    std::lock_guard lock(cameras_mutex);
    const auto found = cameras.find(upper(instance));
    return found == cameras.end() ? std::string() : found->second.sim_path;
  }

  void open_file(const qmx_test_message& m, const std::uint8_t* data) {
    served_file f;
    const std::string instance(reinterpret_cast<const char*>(data),
                               strnlen(reinterpret_cast<const char*>(data), m.length));
    const std::string path = sim_path_of(instance);
    f.open_error =
        path.empty()
            ? ERROR_DEVICE_NOT_CONNECTED
            : sim->open(path.c_str(), (m.flags & QMX_TEST_MESSAGE_EXCLUSIVE) != 0 ? 1 : 0, &f.file);
    if (f.open_error != 0) {
      f.file = nullptr;
    }
    files[m.file] = f;
  }

  void serve_request(const qmx_test_message& m, const std::uint8_t* data) {
    const auto found = files.find(m.file);
    if (found == files.end() || found->second.file == nullptr) {
      answer_now(m.tag,
                 found == files.end() ? ERROR_DEVICE_NOT_CONNECTED : found->second.open_error);
      return;
    }
    auto* r = new served_request;
    r->completion.complete = on_complete;
    r->owner = this;
    r->tag = m.tag;
    r->buffer.assign(data, data + m.length);
    {
      std::lock_guard lock(requests_mutex);
      in_flight[m.tag] = r;
    }
    ++served;
    std::uint32_t bytes = 0;
    const std::uint32_t result =
        sim->submit(found->second.file, m.code, r->buffer.data(), m.length, &bytes, &r->completion);
    // Completed or pending: the completion answers (it may have done so already). Refused: the
    // simulator never completes it, so it is answered here.
    if (result != 0 && result != io_pending) {
      {
        std::lock_guard lock(requests_mutex);
        in_flight.erase(m.tag);
      }
      r->error = result;
      r->bytes = 0;
      queue_answer(r);
    }
  }

  void cancel_request(const qmx_test_message& m) {
    const auto file = files.find(m.file);
    qmx_device_completion* completion = nullptr;
    {
      std::lock_guard lock(requests_mutex);
      const auto found = in_flight.find(m.tag);
      if (found != in_flight.end()) {
        completion = &found->second->completion;
      }
    }
    // The record may complete and be freed meanwhile; only this thread makes new ones, so the
    // address then names no request of the simulator's and the cancel finds nothing.
    if (completion != nullptr && file != files.end() && file->second.file != nullptr) {
      sim->cancel(file->second.file, completion);
    }
  }

  void close_file(const qmx_test_message& m) {
    const auto found = files.find(m.file);
    if (found == files.end()) {
      return;
    }
    if (found->second.file != nullptr) {
      sim->close(found->second.file); // ends the file's requests, each with its answer
    }
    files.erase(found);
  }

  void handle(const std::uint8_t* messages, std::size_t size) {
    std::size_t at = 0;
    while (size - at >= sizeof(qmx_test_message)) {
      qmx_test_message m;
      std::memcpy(&m, messages + at, sizeof m);
      if (m.size < sizeof m || m.size > size - at) {
        fail("a malformed message from the driver");
        return;
      }
      switch (m.kind) {
      case QMX_TEST_MESSAGE_OPEN:
        open_file(m, messages + at + sizeof m);
        break;
      case QMX_TEST_MESSAGE_REQUEST:
        serve_request(m, messages + at + sizeof m);
        break;
      case QMX_TEST_MESSAGE_CANCEL:
        cancel_request(m);
        break;
      case QMX_TEST_MESSAGE_CLOSE:
        close_file(m);
        break;
      default:
        fail("an unknown message from the driver: " + std::to_string(m.kind));
        break;
      }
      at += m.size;
    }
  }

  // Fetches until stopped; `serving` is told once the driver knows this process as its server
  // (the first fetch has reached it), or that it refused.
  void fetch_loop(std::promise<DWORD>* serving) {
    std::vector<std::uint8_t> buffer(QMX_TEST_BUS_FETCH_ROOM);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
      DWORD bytes = 0;
      const BOOL done = DeviceIoControl(bus, QMX_TEST_BUS_FETCH, nullptr, 0, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
      const DWORD started = done != FALSE ? 0 : GetLastError();
      if (serving != nullptr) {
        serving->set_value(started == ERROR_IO_PENDING ? 0 : started);
        serving = nullptr;
      }
      if (started != 0 && started != ERROR_IO_PENDING) {
        fail("the driver refused a fetch: error " + std::to_string(started));
        break;
      }
      const HANDLE waits[2] = {overlapped.hEvent, stop_event};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(bus, &overlapped);
        GetOverlappedResult(bus, &overlapped, &bytes, TRUE);
        break;
      }
      if (GetOverlappedResult(bus, &overlapped, &bytes, FALSE) == FALSE) {
        fail("a fetch failed: error " + std::to_string(GetLastError()));
        break;
      }
      handle(buffer.data(), bytes);
    }
    CloseHandle(overlapped.hEvent);
  }

  // ---- Plugging ------------------------------------------------------------------------------

  // The camera is known by its instance before the bus plugs it: a program may open its
  // interface as soon as it appears, before the bus's answer reaches the bridge.
  void plug(const std::string& sim_path) {
    qmx_test_plug in{};
    const std::string instance = instance_for(sim_path);
    std::memcpy(in.instance, instance.c_str(), instance.size() + 1);
    {
      std::lock_guard lock(cameras_mutex);
      cameras[upper(instance)] = {sim_path, {}, 0};
    }
    qmx_test_plugged out{};
    const DWORD error =
        bus_request(bus, QMX_TEST_BUS_PLUG, &in, sizeof in, &out, sizeof out, nullptr);
    if (error != 0) {
      fail("the bus did not plug " + sim_path + ": error " + std::to_string(error));
      std::lock_guard lock(cameras_mutex);
      cameras.erase(upper(instance));
      return;
    }
    out.path[sizeof out.path - 1] = '\0';
    {
      std::lock_guard lock(cameras_mutex);
      camera_on_bus& camera = cameras[upper(instance)];
      camera.bus_path = out.path;
      camera.number = out.camera;
    }
    hotplug_monitor_report(QMX_SIM_EVENT_ARRIVED, out.path);
  }

  void unplug(const std::string& sim_path) {
    const std::string key = upper(instance_for(sim_path));
    std::uint32_t number = 0;
    std::string bus_path;
    {
      std::lock_guard lock(cameras_mutex);
      const auto found = cameras.find(key);
      if (found != cameras.end()) {
        number = found->second.number;
        bus_path = found->second.bus_path;
      }
    }
    if (number == 0) {
      fail("an unplug of a camera the bus does not hold: " + sim_path);
      return;
    }
    const qmx_test_unplug in{number, 0};
    const DWORD error = bus_request(bus, QMX_TEST_BUS_UNPLUG, &in, sizeof in, nullptr, 0, nullptr);
    if (error != 0) {
      fail("the bus did not unplug " + sim_path + ": error " + std::to_string(error));
    }
    {
      std::lock_guard lock(cameras_mutex);
      cameras.erase(key);
    }
    hotplug_monitor_report(QMX_SIM_EVENT_LEFT, bus_path.c_str());
  }

  bool unplug_all() {
    const qmx_test_unplug in{0, 0};
    const DWORD error = bus_request(bus, QMX_TEST_BUS_UNPLUG, &in, sizeof in, nullptr, 0, nullptr);
    std::lock_guard lock(cameras_mutex);
    cameras.clear();
    return error == 0;
  }

  static void on_sim_change(void* context, std::uint32_t event, const char* path) {
    auto* self = static_cast<impl*>(context);
    if (event == QMX_SIM_EVENT_ARRIVED) {
      self->plug(path);
    } else if (event == QMX_SIM_EVENT_LEFT) {
      self->unplug(path);
    }
  }

  // ---- Start and stop --------------------------------------------------------------------------

  void stop() {
    qmx_sim_remove_hotplug_listener(on_sim_change, this);
    unplug_all();
    if (fetcher.joinable()) {
      SetEvent(stop_event);
      fetcher.join();
    }
    for (auto& [id, f] : files) {
      if (f.file != nullptr) {
        sim->close(f.file);
      }
    }
    files.clear();
    if (answerer.joinable()) {
      {
        std::lock_guard lock(answers_mutex);
        answers_closing = true;
      }
      answers_ready.notify_all();
      answerer.join();
    }
    if (bus != INVALID_HANDLE_VALUE) {
      CloseHandle(bus);
      bus = INVALID_HANDLE_VALUE;
    }
    if (stop_event != nullptr) {
      CloseHandle(stop_event);
      stop_event = nullptr;
    }
    qmx_sim_set_device_source(1);
    hotplug_monitor_relay_simulator(1);
  }
};

std::unique_ptr<bus_bridge> bus_bridge::connect(std::string& error) {
  auto state = std::make_unique<impl>();
  const std::string path = control_interface_path();
  if (path.empty()) {
    error = "the test bus is not installed (no interface of its control class)";
    return nullptr;
  }
  state->bus =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (state->bus == INVALID_HANDLE_VALUE) {
    error = "the test bus cannot be opened: error " + std::to_string(GetLastError());
    return nullptr;
  }
  HMODULE simulator = GetModuleHandleA(QMX_SIM_LIBRARY_FILE_NAME);
  const auto table_function =
      simulator == nullptr ? nullptr
                           : reinterpret_cast<qmx_device_source_function>(reinterpret_cast<void*>(
                                 GetProcAddress(simulator, QMX_DEVICE_SOURCE_FUNCTION)));
  state->sim = table_function == nullptr ? nullptr : table_function();
  if (state->sim == nullptr || state->sim->version != QMX_DEVICE_SOURCE_VERSION) {
    error = "the simulator library is not loaded";
    CloseHandle(state->bus);
    return nullptr;
  }
  state->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  qmx_sim_set_device_source(0);
  hotplug_monitor_relay_simulator(0);
  impl* raw = state.get();
  state->answerer = std::thread([raw] { raw->answer_loop(); });
  std::promise<DWORD> serving;
  std::future<DWORD> served = serving.get_future();
  state->fetcher = std::thread([raw, &serving] { raw->fetch_loop(&serving); });
  const DWORD refused = served.get();
  if (refused != 0) {
    error = "the test bus refused to be served: error " + std::to_string(refused) +
            " (does another process serve it?)";
    state->stop();
    return nullptr;
  }
  // Cameras left by an earlier process go first.
  if (!state->unplug_all()) {
    error = "the test bus did not unplug the cameras left on it";
    state->stop();
    return nullptr;
  }
  qmx_sim_add_hotplug_listener(impl::on_sim_change, raw);
  return std::unique_ptr<bus_bridge>(new bus_bridge(std::move(state)));
}

bus_bridge::bus_bridge(std::unique_ptr<impl> state) : impl_(std::move(state)) {}

bus_bridge::~bus_bridge() {
  impl_->stop();
}

void bus_bridge::reset() {
  qmx_sim_reset();
  if (!impl_->unplug_all()) {
    impl_->fail("the bus did not unplug every camera at a reset");
  }
}

std::string bus_bridge::bus_path(int camera) const {
  char sim_path[512] = {};
  if (qmx_sim_camera_path(camera, sim_path, sizeof sim_path) != 0) {
    return {};
  }
  std::lock_guard lock(impl_->cameras_mutex);
  const auto found = impl_->cameras.find(upper(instance_for(sim_path)));
  return found == impl_->cameras.end() ? std::string() : found->second.bus_path;
}

std::uint64_t bus_bridge::requests_served() const {
  return impl_->served.load();
}

std::uint64_t bus_bridge::failures() const {
  return impl_->failure_count.load();
}

std::string bus_bridge::first_failure() const {
  std::lock_guard lock(impl_->failure_mutex);
  return impl_->failure_text;
}

bool bus_bridge::driver_counters(qmx_test_counters& counters) const {
  DWORD bytes = 0;
  return bus_request(impl_->bus, QMX_TEST_BUS_COUNTERS, nullptr, 0, &counters, sizeof counters,
                     &bytes) == 0 &&
         bytes == sizeof counters;
}

} // namespace native_test
