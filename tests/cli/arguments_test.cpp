// The front end as a user meets it: the program run with real arguments.
#include "support/run_program.h"
#include "support/library_words.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using support::run_program;

std::vector<std::string> full_form(const std::string& mode,
                                   const std::string& zabbix_host = "h") {
  // The database port 1 refuses connections, so a run that tries to connect
  // fails fast.
  return {TARVO_BINARY,
          mode,
          "x",
          "127.0.0.1",
          "1",
          "db",
          "u",
          "segredo-nao-mostrar",
          "1",
          "127.0.0.1",
          "9009",
          zabbix_host};
}

TEST(CountError, EveryWrongCountGivesItsLineAndStatusOne) {
  for (const std::size_t count : {0U, 2U, 5U, 10U, 12U, 13U}) {
    SCOPED_TRACE(count);
    std::vector<std::string> argv{TARVO_BINARY};
    for (std::size_t i = 0; i < count; ++i) {
      argv.push_back(i == 0 ? "version" : "a");
    }
    const auto r = run_program(TARVO_BINARY, argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Falha na execução: parâmetros incorretos. São esperados 11 "
              "parâmetros e foram recebidos "
                  + std::to_string(count) + " parâmetros.\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Version, BannerInBothFormsAndNothingElse) {
  const auto short_form =
      run_program(TARVO_BINARY, {"./tarvo_clientes_db", "version"});
  EXPECT_EQ(short_form.status, 0);
  ASSERT_EQ(short_form.out.front(), ' ');
  const std::string notice =
      short_form.out.substr(0, short_form.out.find('\n') + 1);
  EXPECT_EQ(short_form.out, notice + " tarvo_clientes_db  1.9.0\n");
  EXPECT_EQ(short_form.err, "");

  auto argv = full_form("version");
  argv[0] = "/opt/./bin/tarvo";
  const auto full = run_program(TARVO_BINARY, argv);
  EXPECT_EQ(full.status, 0);
  EXPECT_EQ(full.out, notice + "/opt/ bin/tarvo  1.9.0\n");
  EXPECT_EQ(full.err, "");
}

TEST(Version, UnflushableOutputEndsWithStatusTwo) {
  const auto r = run_program(TARVO_BINARY,
                             {TARVO_BINARY, "version"},
                             {.env = {}, .stdout_to = "/dev/full"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
}

TEST(ShortForm, AnyOtherModeIsAUsageErrorAndContactsNothing) {
  for (const char* mode : {"discovery_clientes", "launch_x", "Version", ""}) {
    SCOPED_TRACE(mode);
    const auto r = run_program(TARVO_BINARY, {TARVO_BINARY, mode});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Uso: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ZABBIX_SERVER"), std::string::npos) << r.err;
  }
}

TEST(FullForm, ModesThatMatchNothingOrLaunchEndQuietly) {
  for (const char* mode : {"Version",
                           "",
                           "DISCOVERY_CLIENTES",
                           "discovery_clientes ",
                           "launch_",
                           "x_launch_y"}) {
    SCOPED_TRACE(mode);
    const auto r = run_program(TARVO_BINARY, full_form(mode));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

TEST(FullForm, DatabaseFailureIsOneLineOnStandardErrorWithoutThePassword) {
  struct Case {
    const char* name;
    std::string db_ip;
    std::string db_port;
    const char* expected;
  };
  const Case cases[] = {
      // libpq's own words follow the prefix; only the settings are ours.
      {"refused port", "127.0.0.1", "1", "<cause>"},
      {"port not a number", "127.0.0.1", "abc", "<cause>\"abc\"<cause>"},
      {"unresolvable host", "nao-existe.invalid", "5432", "<cause>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* zabbix_host : {"debug", "monitorado"}) {
      auto argv = full_form("discovery_clientes", zabbix_host);
      argv[3] = c.db_ip;
      argv[4] = c.db_port;
      const auto r = run_program(TARVO_BINARY, argv);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_THAT(r.err,
                  test_support::with_library_cause(
                      std::string("Falha na execução: conectar ao banco de "
                                  "dados: ")
                      + c.expected + "\n"));
      EXPECT_EQ(r.err.find("segredo-nao-mostrar"), std::string::npos);
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
  }
}

} // namespace
