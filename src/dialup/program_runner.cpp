// SPDX-License-Identifier: GPL-2.0-or-later
#include "dialup/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/child_start.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace kestrel::dialup {
namespace {

// Listings of connections are short; more is not ours to read.
constexpr std::size_t kMaxOutput = 256 * 1024;
// How often a running program is checked for cancellation.
constexpr int kPollStepMs = 50;
// How long an ended program gets to go after SIGTERM before SIGKILL.
constexpr auto kTermGrace = std::chrono::milliseconds(500);

void EndChild(pid_t pid) {
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kTermGrace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    poll(nullptr, 0, 10);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                         const std::atomic<bool>* cancel) {
  ProgramResult result;
  if (arguments.empty()) return result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  platform::UniqueFd read_end(pipe_fds[0]);
  platform::UniqueFd write_end(pipe_fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const platform::ChildStart start(false);
  const int spawned =
      posix_spawnp(&pid, argv[0], &actions, start.attributes(), argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  // The child holds its own copy: the end of its output is seen once it exits.
  write_end.Reset();
  if (spawned != 0) return result;
  result.started = true;

  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool open = true;
  while (open) {
    if ((cancel && *cancel) || std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      break;
    }
    pollfd fd{read_end.get(), POLLIN, 0};
    const int ready = poll(&fd, 1, kPollStepMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      open = false;
    } else if (result.output.size() < kMaxOutput) {
      result.output.append(buffer, static_cast<std::size_t>(got));
    }
  }
  read_end.Reset();
  if (result.timed_out) {
    EndChild(pid);
    return result;
  }
  // Output closed: the program is ending; still bounded by the limit.
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
      break;
    }
    if ((cancel && *cancel) || std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      EndChild(pid);
      break;
    }
    poll(nullptr, 0, 10);
  }
  return result;
}

}  // namespace kestrel::dialup
