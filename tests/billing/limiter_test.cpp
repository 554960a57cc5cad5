// The run's time bound interrupts a billing step blocked on a silent peer.
#include "billing/collect.h"
#include "cli/runtime_limiter.h"
#include "console/deadline.h"

#include <arpa/inet.h>
#include <chrono>
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

TEST(RuntimeLimiter, InterruptsADatabaseThatNeverAnswers) {
  SilentPeer peer;
  console::RunSettings s;
  s.db_ip = "127.0.0.1";
  s.db_port = std::to_string(peer.port());
  s.db_name = "billing";
  s.db_user = "u";
  s.db_password = "p";
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

} // namespace
