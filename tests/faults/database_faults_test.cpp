// The billing database as a faulty peer: nothing is published when it
// fails, and the run ends with the step and libpq's own words.
#include "cli/collection_pass.h"
#include "cli/runtime_limiter.h"
#include "console/deadline.h"
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "support/library_words.h"

#include <csignal>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

using faults::FakeStore;
using faults::outcome;
using test_support::FakeTrapper;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;
using namespace std::chrono_literals;

constexpr int k_file = 1;
constexpr std::string_view k_peer = "PostgreSQL";

class DatabaseFaults : public faults::FaultRun {
protected:
  // Nothing of the pass may reach the other peers once the database fails.
  static void expect_nothing_sent(const FakeTrapper& trapper,
                                  const FakeStore& store) {
    EXPECT_TRUE(trapper.received().empty());
    EXPECT_TRUE(store.sql->requests().empty());
    EXPECT_TRUE(store.rows->requests().empty());
  }

  static std::string connect_prefix() {
    return "Falha na execução: conectar ao banco de dados: ";
  }
};

TEST_F(DatabaseFaults, RefusedConnectionEndsTheRunBeforeAnySend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto port = faults::unused_port(address);
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(port);
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // libpq's words and strerror's follow the program's prefix.
  EXPECT_THAT(r.err,
              test_support::with_library_cause(connect_prefix() + "<cause>\n"));
  expect_nothing_sent(trapper, store);
  faults::record(k_peer, "refused", outcome(r, "nothing sent"), r.elapsed);
}

TEST_F(DatabaseFaults, SilentServerIsStoppedByTheRunBound) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::SilentPeer peer(address);
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(peer.port());
  std::ostringstream out;
  std::ostringstream err;
  const auto start = std::chrono::steady_clock::now();
  // The real bound is 300 s; the same limiter with 500 ms.
  EXPECT_THAT(
      [&] {
        const cli::runtime_limiter guard(500ms);
        cli::run_collection_pass(
            s, {{"ZABBIX_SERVER", faults::zabbix_server_of(trapper)}}, out, err);
      },
      ThrowsMessage<console::TimeoutException>(
          Eq(std::string(faults::k_timeout_line))));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(elapsed, 500ms);
  EXPECT_LT(elapsed, 3s);
  EXPECT_EQ(peer.accepted(), 1);
  EXPECT_EQ(out.str(), "");
  expect_nothing_sent(trapper, store);
  faults::record(k_peer,
                 "never answers (accepts, then silent)",
                 "library, bound 500 ms: TimeoutException \"Tempo limite…\" "
                 "(front end: that line on stdout, exit 0); nothing sent",
                 elapsed);
}

TEST_F(DatabaseFaults, PasswordLeavesTheProcessListWhileThePassWaits) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::SilentPeer peer(address);
  auto s = settings(address);
  s.db_ip = address;
  s.db_port = std::to_string(peer.port());
  s.db_password = "senha-no-ps";
  const support::SpawnVectors vectors(faults::argv_of(s), {});
  pid_t pid = -1;
  ASSERT_EQ(
      ::posix_spawn(
          &pid, TARVO_BINARY, nullptr, nullptr, vectors.argv(), vectors.envp()),
      0);
  // Once it knocks at the database it has read and hidden its arguments.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (peer.accepted() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  std::ostringstream cmdline;
  cmdline << std::ifstream("/proc/" + std::to_string(pid) + "/cmdline").rdbuf();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(peer.accepted(), 1);
  std::string expected;
  for (auto argument : faults::argv_of(s)) {
    expected += (argument == s.db_password ? "xxxxxxxxxxx" : argument) + '\0';
  }
  EXPECT_EQ(cmdline.str(), expected);
}

TEST_F(DatabaseFaults, ServerStallingMidStatementIsStoppedByTheRunBound) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::FaultyRelay relay(
      {.listen_address = address,
       .target_host = m_env.host,
       .target_port = static_cast<std::uint16_t>(std::stoi(m_env.port)),
       .delay = 0ms,
       .cut_after = "financeiro_titulo",
       .cut_bytes = 0,
       .stall = true});
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(relay.port());
  std::ostringstream out;
  std::ostringstream err;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(
      [&] {
        const cli::runtime_limiter guard(800ms);
        cli::run_collection_pass(
            s, {{"ZABBIX_SERVER", faults::zabbix_server_of(trapper)}}, out, err);
      },
      ThrowsMessage<console::TimeoutException>(
          Eq(std::string(faults::k_timeout_line))));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(relay.did_cut());
  EXPECT_GE(elapsed, 800ms);
  EXPECT_LT(elapsed, 3s);
  expect_nothing_sent(trapper, store);
  faults::record(k_peer,
                 "stalls mid-statement",
                 "library, bound 800 ms: TimeoutException while waiting for "
                 "the overdue rows; nothing sent",
                 elapsed);
}

TEST_F(DatabaseFaults, SlowServerOnlyMakesTheRunSlower) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::FaultyRelay relay(
      {.listen_address = address,
       .target_host = m_env.host,
       .target_port = static_cast<std::uint16_t>(std::stoi(m_env.port)),
       .delay = 150ms,
       .cut_after = std::nullopt,
       .cut_bytes = 0,
       .stall = false});
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(relay.port());
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_GE(r.elapsed, 600ms); // several round trips, each held back
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  EXPECT_EQ(store.rows_received(), 11U);
  faults::record(k_peer,
                 "slow (150 ms before every reply chunk)",
                 outcome(r, "all 27 values and 11 rows sent"),
                 r.elapsed);
}

TEST_F(DatabaseFaults, GarbageInsteadOfTheProtocolIsAConnectionError) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::GarbagePeer peer(address, "HTTP/1.1 400 Bad Request\r\n\r\n");
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(peer.port());
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith(connect_prefix()));
  EXPECT_THAT(r.err, HasSubstr("received invalid response to SSL negotiation"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  expect_nothing_sent(trapper, store);
  faults::record(k_peer, "garbage", outcome(r, "nothing sent"), r.elapsed);
}

TEST_F(DatabaseFaults, ReplyCutMidStatementEndsTheRunWithoutASignal) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::FaultyRelay relay(
      {.listen_address = address,
       .target_host = m_env.host,
       .target_port = static_cast<std::uint16_t>(std::stoi(m_env.port)),
       .delay = 0ms,
       .cut_after = "financeiro_titulo",
       .cut_bytes = 7,
       .stall = false});
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(relay.port());
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_TRUE(relay.did_cut());
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: consultar clientes em atraso: server closed "
            "the connection unexpectedly This probably means the server "
            "terminated abnormally before or while processing the "
            "request.\n");
  expect_nothing_sent(trapper, store);
  faults::record(k_peer,
                 "cut mid-way (7 bytes of the first result, then closed)",
                 outcome(r, "nothing sent"),
                 r.elapsed);
}

TEST_F(DatabaseFaults, ServerClosingRightAwayIsAConnectionError) {
  const auto address = faults::fault_address(k_file, __LINE__);
  faults::GarbagePeer peer(address, "");
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_ip = address;
  s.db_port = std::to_string(peer.port());
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith(connect_prefix()));
  EXPECT_THAT(r.err, HasSubstr("server closed the connection unexpectedly"));
  expect_nothing_sent(trapper, store);
  faults::record(k_peer,
                 "closes early (right after accepting)",
                 outcome(r, "nothing sent"),
                 r.elapsed);
}

TEST_F(DatabaseFaults, StatementRefusedByTheServerEndsTheRun) {
  // A database without the billing tables: the server refuses the first
  // statement.
  const std::string database = "faults_sem_tabelas";
  support::exec_sql(
      m_env, m_env.database, "DROP DATABASE IF EXISTS " + database);
  support::exec_sql(m_env, m_env.database, "CREATE DATABASE " + database);
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_name = database;
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err,
              StartsWith("Falha na execução: consultar clientes em atraso: "
                         "ERROR:  relation \"financeiro_titulo\" does not "
                         "exist"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  expect_nothing_sent(trapper, store);
  faults::record(k_peer,
                 "error reply (statement refused)",
                 outcome(r, "nothing sent"),
                 r.elapsed);
}

TEST_F(DatabaseFaults, WrongPasswordIsRefusedWithoutShowingIt) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  auto s = settings(address, store.rows_port());
  s.db_password = "senha-errada-42";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // The server offers TLS; under libpq's default sslmode (prefer) a refused
  // session is tried once more without it, and both refusals are reported.
  const std::string refusal =
      "connection to server at \"" + m_env.host + "\", port " + m_env.port
      + " failed: FATAL:  password authentication failed for user \""
      + m_env.user + "\"";
  EXPECT_EQ(r.err, connect_prefix() + refusal + " " + refusal + "\n");
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr("senha-errada-42")));
  expect_nothing_sent(trapper, store);
  faults::record(
      k_peer, "credentials refused", outcome(r, "nothing sent"), r.elapsed);
}

// TLS is libpq's own: the program names no TLS keyword, so PGSSLMODE and
// PGSSLROOTCERT reach libpq from the environment. The cluster's certificate
// names 127.0.0.1, the address the command line gives as DB_IP.
TEST_F(DatabaseFaults, VerifiedTlsSessionReadsTheDatabase) {
  ASSERT_FALSE(m_env.ca_file.empty())
      << "conn.env names no CA_FILE: a cluster of an older scripts/pg_cluster";
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.zabbix_host = "debug";
  const std::size_t from = support::log_size(m_env);
  const auto r = run(s,
                     "127.0.0.1:1",
                     {.env = {"PGSSLMODE=verify-full",
                              "PGSSLROOTCERT=" + m_env.ca_file,
                              "PGAPPNAME=tarvo-tls-verify-full"},
                      .stdout_to = std::nullopt});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, StartsWith("Modo debug ativado.\n"));
  EXPECT_THAT(r.out, HasSubstr("Ana Lúcia Conceição"));
  // The server's own word that the session was encrypted.
  EXPECT_THAT(support::read_log_from(m_env, from),
              HasSubstr("application_name=tarvo-tls-verify-full SSL enabled "
                        "(protocol=TLSv1."));
}

TEST_F(DatabaseFaults, TlsThatCannotBeHadEndsTheRunBeforeAnySend) {
  ASSERT_FALSE(m_env.other_ca_file.empty())
      << "conn.env names no OTHER_CA_FILE: a cluster of an older "
         "scripts/pg_cluster";
  const auto address = faults::fault_address(k_file, __LINE__);
  // A server without TLS: the relay answers the SSLRequest with 'N', as
  // PostgreSQL does with ssl=off.
  const faults::FaultyRelay plain(
      {.listen_address = address,
       .target_host = m_env.host,
       .target_port = static_cast<std::uint16_t>(std::stoi(m_env.port)),
       .delay = 0ms,
       .cut_after = std::nullopt,
       .cut_bytes = 0,
       .stall = false});
  struct Case {
    std::string fault;
    std::string host;
    std::string port;
    std::vector<std::string> env;
    std::string libpq_says;
  };
  const std::vector<Case> cases{
      {"TLS: certificate of another CA (verify-full)",
       m_env.host,
       m_env.port,
       {"PGSSLMODE=verify-full", "PGSSLROOTCERT=" + m_env.other_ca_file},
       "SSL error: certificate verify failed"},
      {"TLS: not offered (answers 'N'; PGSSLMODE=require)",
       address,
       std::to_string(plain.port()),
       {"PGSSLMODE=require"},
       "server does not support SSL, but SSL was required"},
  };
  FakeTrapper trapper;
  FakeStore store(address, faults::complete_table());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    auto s = settings(address, store.rows_port());
    s.db_ip = c.host;
    s.db_port = c.port;
    const auto r = run(s,
                       faults::zabbix_server_of(trapper),
                       {.env = c.env, .stdout_to = std::nullopt});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              connect_prefix() + "connection to server at \"" + c.host
                  + "\", port " + c.port + " failed: " + c.libpq_says + "\n");
    expect_nothing_sent(trapper, store);
    faults::record(k_peer, c.fault, outcome(r, "nothing sent"), r.elapsed);
  }
}

} // namespace
