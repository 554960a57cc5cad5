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
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace faults {

namespace {

std::string temporary_directory(const char* name) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / name).string() + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp for ") + name + " failed");
  }
  return pattern;
}

} // namespace

TlsFiles::TlsFiles(const std::string& store_ip)
    : m_dir(temporary_directory("tarvo-tls")) {
  std::vector<std::string> argv{TARVO_MAKE_TEST_CERTS, m_dir};
  if (!store_ip.empty()) {
    argv.insert(argv.end(), {"ec", store_ip});
  }
  const auto r = support::run_program(TARVO_MAKE_TEST_CERTS, argv);
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

std::string NginxTls::binary() {
  constexpr const char* k_path = "/usr/sbin/nginx";
  return ::access(k_path, X_OK) == 0 ? k_path : "";
}

NginxTls::NginxTls(const std::string& address,
                   const std::vector<Route>& routes,
                   const std::string& cert,
                   const std::string& key)
    : m_dir(temporary_directory("tarvo-nginx")) {
  // One process in the foreground, as root (no workers that would drop to
  // another user), writing nothing outside the directory.
  std::ofstream conf(m_dir + "/nginx.conf");
  conf << "daemon off; master_process off; pid nginx.pid; events {}\n"
       << "http { access_log off; ssl_certificate " << cert
       << "; ssl_certificate_key " << key << ";\n";
  for (const char* temp :
       {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << temp << "_temp_path " << temp << ";\n";
  }
  for (const auto& r : routes) {
    conf << "server { listen " << address << ":" << r.port
         << " ssl; location / { proxy_pass http://" << r.target_host << ":"
         << r.target_port << "; proxy_http_version 1.1; "
         << "proxy_set_header Connection \"\"; } }\n";
  }
  conf << "}\n";
  conf.close();
  const support::SpawnVectors vectors(
      {binary(), "-p", m_dir + "/", "-e", "error.log", "-c", "nginx.conf"}, {});
  if (::posix_spawn(&m_pid,
                    binary().c_str(),
                    nullptr,
                    nullptr,
                    vectors.argv(),
                    vectors.envp())
      != 0) {
    throw std::runtime_error("cannot start nginx");
  }
  // nginx opens every listener before it serves any.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!connect_to(address, routes.front().port)) {
    if (std::chrono::steady_clock::now() > until) {
      std::ostringstream log;
      log << std::ifstream(m_dir + "/error.log").rdbuf();
      stop(); // a constructor that throws runs no destructor
      throw std::runtime_error("nginx did not start listening: " + log.str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

NginxTls::~NginxTls() {
  stop();
}

void NginxTls::stop() noexcept {
  if (m_pid > 0) {
    ::kill(m_pid, SIGQUIT); // nginx's graceful stop
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

} // namespace faults
