#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace support {

/// What a finished child process left behind.
struct RunResult {
  std::string out; ///< standard output, whole
  std::string err; ///< standard error, whole
  int status = -1; ///< exit status, or -1 when a signal ended it
  int signal = 0;  ///< the signal that ended it, 0 if none
  std::chrono::milliseconds elapsed{0};
};

struct RunOptions {
  std::vector<std::string> env; ///< extra NAME=value entries
  std::optional<std::string>
      stdout_to; ///< a file to write standard output to, e.g. /dev/full
};

/// The argument and environment vectors posix_spawn wants: the arguments
/// (argv[0] included), and this process's environment with the extra
/// NAME=value entries after it, in place of inherited entries of the same
/// names. Both stay valid while the object lives.
class SpawnVectors {
public:
  SpawnVectors(const std::vector<std::string>& argv,
               const std::vector<std::string>& extra_env);
  SpawnVectors(const SpawnVectors&) = delete;
  SpawnVectors& operator=(const SpawnVectors&) = delete;
  char* const* argv() const { return m_argv.data(); }
  char* const* envp() const { return m_envp.data(); }

private:
  std::vector<std::string> m_args;
  std::vector<std::string> m_env;
  std::vector<char*> m_argv;
  std::vector<char*> m_envp;
};

/// Runs the program with the arguments (argv[0] included), waits for it.
RunResult run_program(const std::string& path,
                      const std::vector<std::string>& argv,
                      const RunOptions& options = {});

} // namespace support
