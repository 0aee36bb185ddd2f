// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/credential_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/file_names.h"
#include "platform/program_home.h"

namespace kestrel::net {

namespace {

// A password or token is one line; anything longer is not what we asked for.
constexpr std::size_t kMaxSecretOutput = 16 * 1024;
// How often the wait looks at the abort flag.
constexpr int kSliceMilliseconds = 50;

struct Child {
  pid_t pid = -1;
  int output = -1;
};

Child Start(const std::string& command) {
  // Commands run in the program's home, where their relative names point.
  const std::string home = platform::ResolveName(platform::ProgramHome());
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return {};
  }
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    (void)!chdir(home.c_str());
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);
  return {pid, pipe_fds[0]};
}

int Reap(pid_t pid, bool kill_first) {
  if (kill_first) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
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
      close(child.output);
      Reap(child.pid, true);
      error = aborted ? "stopped" : "the command took too long";
      return std::nullopt;
    }
    pollfd entry{child.output, POLLIN, 0};
    if (poll(&entry, 1, kSliceMilliseconds) <= 0) continue;
    char buffer[1024];
    const ssize_t got = read(child.output, buffer, sizeof buffer);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
      if (output.size() > kMaxSecretOutput) {
        close(child.output);
        Reap(child.pid, true);
        error = "the command printed too much";
        return std::nullopt;
      }
    } else if (got == 0 || errno != EINTR) {
      finished = true;
    }
  }
  close(child.output);
  const int status = Reap(child.pid, false);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
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
