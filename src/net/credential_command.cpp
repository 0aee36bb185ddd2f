// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/credential_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "platform/child_start.h"
#include "platform/file_names.h"
#include "platform/program_home.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace kestrel::net {

namespace {

// A password or token is one line; anything longer is not what we asked for.
constexpr std::size_t kMaxSecretOutput = 16 * 1024;
// How often the wait looks at the abort flag.
constexpr int kSliceMilliseconds = 50;

struct Child {
  pid_t pid = -1;
  platform::UniqueFd output;
};

Child Start(const std::string& command) {
  // Commands run in the program's home, where their relative names point.
  const std::string home = platform::ResolveName(platform::ProgramHome());
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  platform::UniqueFd read_end(pipe_fds[0]);
  platform::UniqueFd write_end(pipe_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
  // A group of its own: whatever the command starts is ended with it.
  const platform::ChildStart start(true);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, start.attributes(),
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  // The child holds its own copy: the end of its output is seen once it exits.
  write_end.Reset();
  if (spawned != 0) return {};
  return {pid, std::move(read_end)};
}

void Kill(pid_t pid) {
  kill(-pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Waits for the command to exit once its output has closed, until `deadline`;
// nullopt when it is still running then.
std::optional<int> WaitForExit(pid_t pid, const std::atomic<bool>& aborted,
                               std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return status;
    if (aborted || std::chrono::steady_clock::now() > deadline) return std::nullopt;
    poll(nullptr, 0, kSliceMilliseconds / 5);
  }
}

}  // namespace

std::optional<std::string> RunCredentialCommand(const std::string& command, int timeout_seconds,
                                                const std::atomic<bool>& aborted,
                                                std::string& error) {
  Child child = Start(command);
  if (child.pid < 0) {
    error = "cannot start the command";
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::string output;
  bool finished = false;
  while (!finished) {
    if (aborted || std::chrono::steady_clock::now() > deadline) {
      child.output.Reset();
      Kill(child.pid);
      error = aborted ? "stopped" : "the command took too long";
      return std::nullopt;
    }
    pollfd entry{child.output.get(), POLLIN, 0};
    if (poll(&entry, 1, kSliceMilliseconds) <= 0) continue;
    char buffer[1024];
    const ssize_t got = read(child.output.get(), buffer, sizeof buffer);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
      if (output.size() > kMaxSecretOutput) {
        child.output.Reset();
        Kill(child.pid);
        error = "the command printed too much";
        return std::nullopt;
      }
    } else if (got == 0 || errno != EINTR) {
      finished = true;
    }
  }
  child.output.Reset();
  // A command that closed its output but goes on gets the same time limit.
  const std::optional<int> status = WaitForExit(child.pid, aborted, deadline);
  if (!status) {
    Kill(child.pid);
    error = aborted ? "stopped" : "the command did not end in time";
    return std::nullopt;
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    error = "the command failed";
    return std::nullopt;
  }
  const std::size_t end = output.find_first_of("\r\n");
  if (end != std::string::npos) output.resize(end);
  if (output.empty()) {
    error = "the command printed nothing";
    return std::nullopt;
  }
  return output;
}

}  // namespace kestrel::net
