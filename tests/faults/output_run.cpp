#include "faults/output_run.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace faults {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace

support::RunResult run_with_stdout(const std::string& path,
                                   const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env,
                                   StdoutEnd end) {
  std::array<int, 2> out_pipe{-1, -1};
  std::array<int, 2> err_pipe{-1, -1};
  if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0
      || ::pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (end == StdoutEnd::reader_gone) {
    close_fd(out_pipe[0]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (end == StdoutEnd::closed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  const support::SpawnVectors vectors(argv, env);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(
      &pid, path.c_str(), &actions, nullptr, vectors.argv(), vectors.envp());
  posix_spawn_file_actions_destroy(&actions);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  if (rc != 0) {
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    throw std::runtime_error("spawn " + path + ": " + std::strerror(rc));
  }
  support::RunResult result;
  std::array<char, 65536> buf{};
  // Read standard error to its end and, for first_line, standard output up
  // to its first line feed, after which the reading end goes away.
  for (;;) {
    std::array<pollfd, 2> fds{pollfd{err_pipe[0], POLLIN, 0},
                              pollfd{out_pipe[0], POLLIN, 0}};
    if (err_pipe[0] < 0 && out_pipe[0] < 0) {
      break;
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      continue;
    }
    if (err_pipe[0] >= 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      const ssize_t n = ::read(err_pipe[0], buf.data(), buf.size());
      if (n > 0) {
        result.err.append(buf.data(), static_cast<std::size_t>(n));
      } else {
        close_fd(err_pipe[0]);
      }
    }
    if (out_pipe[0] >= 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      // One byte at a time so nothing past the first line feed is taken.
      const ssize_t n = ::read(out_pipe[0], buf.data(), 1);
      if (n > 0) {
        result.out.push_back(buf[0]);
      }
      if (n <= 0 || buf[0] == '\n') {
        close_fd(out_pipe[0]);
      }
    }
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

} // namespace faults
