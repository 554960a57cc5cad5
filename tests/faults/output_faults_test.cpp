// Standard output that cannot be written: the run ends with its documented
// status, never with a signal, and what it publishes is published anyway.
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/output_run.h"
#include "faults/tcp_peers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using faults::FakeStore;
using faults::outcome;
using faults::StdoutEnd;
using test_support::FakeTrapper;
using ::testing::StartsWith;

constexpr int k_file = 5;
constexpr std::string_view k_peer = "standard output";

class OutputFaults : public faults::FaultRun {
protected:
  support::RunResult run_to(const console::RunSettings& s,
                            const FakeTrapper& trapper,
                            StdoutEnd end) const {
    return faults::run_with_stdout(
        TARVO_BINARY,
        faults::argv_of(s),
        {"ZABBIX_SERVER=" + faults::zabbix_server_of(trapper)},
        end);
  }

  // The publication is done before the one line it prints.
  static void expect_published(const FakeTrapper& trapper,
                               const FakeStore& store) {
    EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
    EXPECT_EQ(store.rows_received(), 11U);
  }
};

TEST_F(OutputFaults, FullDeviceAfterPublishingIsStatusTwo) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper),
                     {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  expect_published(trapper, store);
  faults::record(k_peer,
                 "full (/dev/full), publication",
                 outcome(r, "everything published"),
                 r.elapsed);
}

TEST_F(OutputFaults, PipeWithoutReaderAfterPublishingIsStatusTwo) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  const auto r = run_to(
      settings(address, store.rows_port()), trapper, StdoutEnd::reader_gone);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  expect_published(trapper, store);
  faults::record(k_peer,
                 "reader gone (pipe closed before the start)",
                 outcome(r, "no SIGPIPE; everything published"),
                 r.elapsed);
}

TEST_F(OutputFaults, ClosedDescriptorAfterPublishingIsStatusTwo) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  const auto r =
      run_to(settings(address, store.rows_port()), trapper, StdoutEnd::closed);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  expect_published(trapper, store);
  faults::record(k_peer,
                 "closed (no descriptor 1)",
                 outcome(r, "everything published"),
                 r.elapsed);
}

TEST_F(OutputFaults, BannerAndCountErrorToAFullDevice) {
  const auto banner =
      support::run_program(TARVO_BINARY,
                           {TARVO_BINARY, "version"},
                           {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(banner.signal, 0);
  EXPECT_EQ(banner.status, 2);
  EXPECT_EQ(banner.err, "");
  // The count error already ends with status 1, written or not.
  const auto count =
      support::run_program(TARVO_BINARY,
                           {TARVO_BINARY, "a", "b"},
                           {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(count.signal, 0);
  EXPECT_EQ(count.status, 1);
  EXPECT_EQ(count.err, "");
  faults::record(k_peer,
                 "full (/dev/full), banner and count error",
                 "version: " + outcome(banner)
                     + "; count error: " + outcome(count),
                 banner.elapsed + count.elapsed);
}

TEST_F(OutputFaults, SmallDebugReportToAFullDeviceFailsAtTheEnd) {
  // The whole report fits the output buffer: the failure shows when it is
  // flushed at the end of the run.
  const std::string database = "faults_saida_vazia";
  support::create_billing_database(m_env, database, "");
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.db_name = database;
  s.zabbix_host = "debug";
  FakeTrapper trapper;
  const auto r = run(s,
                     faults::zabbix_server_of(trapper),
                     {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(trapper.received().empty());
  faults::record(k_peer,
                 "full (/dev/full), short debug report",
                 outcome(r, "nothing published"),
                 r.elapsed);
}

TEST_F(OutputFaults, LargeDebugReportWhoseReaderLeavesEndsAsAFailure) {
  // A report far larger than a pipe holds: `| head -1` reads its first line
  // and goes, the rest cannot be written.
  const std::string database = "faults_saida_grande";
  support::create_billing_database(
      m_env,
      database,
      "INSERT INTO admcore_pessoa VALUES (1, repeat('Relatório ', 40000), "
      "NULL);"
      "INSERT INTO admcore_cliente VALUES (1, 1, NULL);"
      "INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, "
      "status, data_vencimento, data_documento) VALUES "
      "(1, 1, NULL, 10, 1, '2024-01-10', NULL);");
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.db_name = database;
  s.zabbix_host = "debug";
  FakeTrapper trapper;
  const auto r = run_to(s, trapper, StdoutEnd::first_line);
  EXPECT_EQ(r.out, "Modo debug ativado.\n");
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Falha na execução: escrever relatório de depuração: falha na "
            "saída padrão\n");
  EXPECT_TRUE(trapper.received().empty());

  const auto full = run(s,
                        faults::zabbix_server_of(trapper),
                        {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(full.signal, 0);
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, r.err);
  faults::record(k_peer,
                 "reader leaves after 1 line (| head -1), 400 kB report",
                 outcome(r) + "; same to /dev/full",
                 r.elapsed);
}

} // namespace
