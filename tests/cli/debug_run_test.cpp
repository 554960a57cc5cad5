// The debug run end to end: the program against the test billing database.
#include "support/pg_test.h"
#include "support/run_program.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class DebugRun : public support::PgTest {
protected:
  std::vector<std::string> argv(const std::string& database,
                                const std::string& zabbix_host) const {
    return {TARVO_BINARY,
            "discovery_clientes",
            "",
            m_env.host,
            m_env.port,
            database,
            m_env.user,
            m_env.password,
            "1",
            "127.0.0.1",
            "9009",
            zabbix_host};
  }

};

TEST_F(DebugRun, PrintsTheReportByteForByteAndContactsNothingElse) {
  // ZABBIX_SERVER names a port where nothing listens: debug mode must not try
  // it.
  const auto r = support::run_program(
      TARVO_BINARY,
      argv(m_env.database, "debug"),
      {.env = {"ZABBIX_SERVER=127.0.0.1:1", "TZ=America/Sao_Paulo"},
       .stdout_to = std::nullopt});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            read_file(std::string(TARVO_EXPECTED_DIR)
                      + "/expected/debug_report_pop_1.txt"));
}

TEST_F(DebugRun, EmptyDatabaseGoesFromBannerToBannerWithIntegerZeros) {
  support::create_billing_database(m_env, "billing_debug_vazio", "");
  const auto r =
      support::run_program(TARVO_BINARY, argv("billing_debug_vazio", "debug"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      "Modo debug ativado.\n\x1b[0;32m\nVersão do script: 1.9.0\x1b[1;36m \n\n"
      "\x1b[1;36m...============================================= Clientes "
      "==============================================...\n\x1b[0;0m\n"
      "\x1b[1;36m...======================================== Informações "
      "Gerais "
      "==========================================...\n\x1b[0;0m\n"
      "Títulos totais em atraso:                       0\n"
      "Valor total em dívida:                          0\n"
      "Títulos dentro do prazo de vencimento:          0\n"
      "Valor em aberto dentro do prazo de vencimento:  None\n");
}

TEST_F(DebugRun, DatabaseFailureEndsBeforeTheReport) {
  const auto r =
      support::run_program(TARVO_BINARY, argv("nao_existe", "debug"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("database \"nao_existe\" does not exist"),
            std::string::npos)
      << r.err;
}

TEST_F(DebugRun, ReportToAFullDeviceIsNotASuccess) {
  const auto r = support::run_program(TARVO_BINARY,
                                      argv(m_env.database, "debug"),
                                      {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_NE(r.status, 0);
}

} // namespace
