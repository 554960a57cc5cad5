#include "support/run_program.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace support {

SpawnVectors::SpawnVectors(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env)
    : m_args(argv) {
  // getenv() finds the first entry of a name, so an inherited entry would
  // hide an extra one of the same name: the extras replace them.
  const auto overridden = [&](std::string_view entry) {
    const auto eq = entry.find('=');
    if (eq == std::string_view::npos) {
      return false;
    }
    const auto name = entry.substr(0, eq + 1);
    return std::any_of(
        extra_env.begin(), extra_env.end(), [&](const std::string& extra) {
          return extra.starts_with(name);
        });
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) {
      m_env.emplace_back(*e);
    }
  }
  m_env.insert(m_env.end(), extra_env.begin(), extra_env.end());
  for (auto& a : m_args) {
    m_argv.push_back(a.data());
  }
  m_argv.push_back(nullptr);
  for (auto& e : m_env) {
    m_envp.push_back(e.data());
  }
  m_envp.push_back(nullptr);
}

RunResult run_program(const std::string& path,
                      const std::vector<std::string>& argv,
                      const RunOptions& options) {
  std::array<int, 2> out_pipe{};
  std::array<int, 2> err_pipe{};
  if (pipe(out_pipe.data()) != 0 || pipe(err_pipe.data()) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdout_to) {
    posix_spawn_file_actions_addopen(&actions,
                                     1,
                                     options.stdout_to->c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);

  const support::SpawnVectors vectors(argv, options.env);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(
      &pid, path.c_str(), &actions, nullptr, vectors.argv(), vectors.envp());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("spawn " + path + ": " + std::strerror(rc));
  }
  RunResult result;
  std::array<pollfd, 2> fds{pollfd{out_pipe[0], POLLIN, 0},
                            pollfd{err_pipe[0], POLLIN, 0}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  int open_fds = 2;
  std::array<char, 65536> buf{};
  while (open_fds > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      continue;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = read(fds[i].fd, buf.data(), buf.size());
        if (n > 0) {
          sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_fds;
        }
      }
    }
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

} // namespace support
