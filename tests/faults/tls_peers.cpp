#include "faults/tls_peers.h"

#include "faults/tcp_peers.h"
#include "support/run_program.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

namespace faults {

TlsFiles::TlsFiles() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tarvo-tls.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp for the TLS files failed");
  }
  m_dir = pattern;
  const auto r = support::run_program(TARVO_MAKE_TEST_CERTS,
                                      {TARVO_MAKE_TEST_CERTS, m_dir});
  if (r.status != 0) {
    throw std::runtime_error("make_test_certs failed: " + r.err);
  }
  std::ifstream psk(path("psk.key"));
  std::getline(psk, m_psk_hex);
}

TlsFiles::~TlsFiles() {
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

OpenSslServer::OpenSslServer(const std::string& address,
                             const std::vector<std::string>& args)
    : m_port(unused_port(address)) {
  std::vector<std::string> argv{"openssl",
                                "s_server",
                                "-accept",
                                address + ":" + std::to_string(m_port),
                                "-quiet"};
  argv.insert(argv.end(), args.begin(), args.end());
  const support::SpawnVectors vectors(argv, {});
  // Its input is a pipe that stays open and silent: s_server writes what it
  // reads there to the connection, and ends the connection at its end.
  int input[2] = {-1, -1};
  if (::pipe2(input, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe for openssl s_server");
  }
  const transport::Fd read_end(input[0]);
  m_input = transport::Fd(input[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, read_end.get(), 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawnp(
      &m_pid, "openssl", &actions, nullptr, vectors.argv(), vectors.envp());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error("cannot start openssl s_server");
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!connect_to(address, m_port)) {
    if (std::chrono::steady_clock::now() > until) {
      throw std::runtime_error("openssl s_server did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

OpenSslServer::~OpenSslServer() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

} // namespace faults
