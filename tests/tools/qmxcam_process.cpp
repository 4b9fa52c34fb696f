// Tests of qmxcam, process side (see qmxcam_process.h).
#include "tests/tools/qmxcam_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace qmxcam_test {

using clock_type = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string scratch(const std::string& name) {
  return ::testing::TempDir() + "qmxcam_test_" + std::to_string(getpid()) + "_" + name;
}

run_result run(const std::vector<std::string>& arguments, const run_options& options) {
  const std::string out = options.stdout_file.empty() ? scratch("out") : options.stdout_file;
  const std::string err = scratch("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A terminal for standard error: the pseudo-terminal's far side, read here while it runs.
  int terminal = -1;
  if (options.terminal_columns > 0) {
    terminal = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    grantpt(terminal);
    unlockpt(terminal);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(options.terminal_columns);
    ioctl(terminal, TIOCSWINSZ, &size);
    posix_spawn_file_actions_addopen(&actions, 2, ptsname(terminal), O_RDWR | O_NOCTTY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (!options.working_folder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_folder.c_str());
  }
  std::vector<std::string> words = {QMXCAM_FILE};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  run_result result;
  const auto start = clock_type::now();
  const int spawned = posix_spawn(&child, QMXCAM_FILE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);
  if (spawned != 0) {
    return result;
  }
  std::string terminal_text;
  std::thread terminal_reader;
  if (terminal >= 0) {
    terminal_reader = std::thread([&] {
      char chunk[4096];
      // Ends with an error once the program and every holder of its side have closed it.
      for (ssize_t n; (n = read(terminal, chunk, sizeof chunk)) > 0;) {
        terminal_text.append(chunk, static_cast<std::size_t>(n));
      }
    });
  }
  bool signalled = options.signal == 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      break;
    }
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!signalled && elapsed * 1000 >= options.signal_after_ms) {
      kill(child, options.signal);
      signalled = true;
    }
    if (elapsed >= options.limit_seconds) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.hung = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.killed_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (options.stdout_file.empty()) {
    result.out = read_file(out);
    std::remove(out.c_str());
  }
  if (terminal >= 0) {
    terminal_reader.join();
    close(terminal);
    result.err = terminal_text;
  } else {
    result.err = read_file(err);
    std::remove(err.c_str());
  }
  return result;
}

} // namespace qmxcam_test
