// The run's time bound, and libpq's connect_timeout, interrupt a billing step
// blocked on a silent peer.
#include "billing/collect.h"
#include "billing/db_error.h"
#include "cli/runtime_limiter.h"
#include "console/deadline.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Accepts connections into its backlog and never says a word.
class SilentPeer {
public:
  SilentPeer() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(m_fd, 8);
    socklen_t len = sizeof addr;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
  }
  ~SilentPeer() { close(m_fd); }
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;
  int port() const { return m_port; }

private:
  int m_fd;
  int m_port = 0;
};

console::RunSettings settings_for(const SilentPeer& peer) {
  console::RunSettings s;
  s.db_ip = "127.0.0.1";
  s.db_port = std::to_string(peer.port());
  s.db_name = "billing";
  s.db_user = "u";
  s.db_password = "p";
  return s;
}

TEST(RuntimeLimiter, InterruptsADatabaseThatNeverAnswers) {
  SilentPeer peer;
  const console::RunSettings s = settings_for(peer);
  const auto start = std::chrono::steady_clock::now();
  try {
    const cli::runtime_limiter guard(std::chrono::milliseconds(300));
    billing::collect_clients(s);
    FAIL() << "the silent peer was answered";
  } catch (const console::TimeoutException& e) {
    EXPECT_EQ(
        std::string(e.what()),
        "Tempo limite de execução excedido: a execução foi interrompida.");
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  // Leaving the guard lifts the bound.
  EXPECT_NO_THROW(console::deadline::check());
}

// PGCONNECT_TIMEOUT (libpq's connect_timeout) still bounds the connection,
// well inside the run's bound, as it would with a blocking libpq connect.
TEST(RuntimeLimiter, ConnectTimeoutFromTheEnvironmentEndsTheConnection) {
  SilentPeer peer;
  const console::RunSettings s = settings_for(peer);
  ::setenv("PGCONNECT_TIMEOUT", "1", 1); // libpq waits at least 2 s
  const auto start = std::chrono::steady_clock::now();
  try {
    const cli::runtime_limiter guard(std::chrono::seconds(20));
    billing::collect_clients(s);
    ADD_FAILURE() << "the silent peer was answered";
  } catch (const billing::DbError& e) {
    EXPECT_EQ(std::string(e.what()),
              "conectar ao banco de dados: timeout expired");
  }
  ::unsetenv("PGCONNECT_TIMEOUT");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

} // namespace
