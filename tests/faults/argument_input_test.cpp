// Awkward command lines: every count, empty texts, huge texts, invalid UTF-8
// and LIKE metacharacters. Whatever comes in, the run ends with a status of
// its own and what it sends stays well formed.
#include "cli/arguments.h"
#include "cli/front_end.h"
#include "console/text_form.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "timeseries/ilp_parser.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iostream>
#include <nlohmann/json.hpp>

namespace {

using faults::FakeStore;
using test_support::FakeTrapper;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int k_file = 6;

// Each request the trapper received is strict JSON with one row.
void expect_requests_are_json(const FakeTrapper& trapper) {
  for (const auto& request : trapper.received()) {
    ASSERT_GE(request.raw.size(), 13U);
    const auto body = nlohmann::json::parse(request.raw.substr(13));
    EXPECT_EQ(body.at("data").size(), 1U);
  }
}

// Each /write body is line protocol the store reads; returns its lines.
std::vector<test_support::IlpLine> rows_of(const FakeStore& store) {
  std::vector<test_support::IlpLine> lines;
  for (const auto& request : store.rows->requests()) {
    auto parsed = test_support::parse_ilp(request.body);
    lines.insert(lines.end(), parsed.begin(), parsed.end());
  }
  return lines;
}

class ArgumentInput : public faults::FaultRun {
protected:
  // The debug report's last two total lines: open titles and their amount.
  static std::pair<std::string, std::string>
  open_totals(const std::string& report) {
    const std::string count_label =
        "Títulos dentro do prazo de vencimento:          ";
    const std::string amount_label =
        "Valor em aberto dentro do prazo de vencimento:  ";
    const auto c = report.find(count_label);
    const auto a = report.find(amount_label);
    if (c == std::string::npos || a == std::string::npos) {
      return {};
    }
    const auto value = [&](std::size_t at, std::size_t skip) {
      const auto start = at + skip;
      return report.substr(start, report.find('\n', start) - start);
    };
    return {value(c, count_label.size()), value(a, amount_label.size())};
  }
};

TEST_F(ArgumentInput, EveryCountFromZeroToThirteen) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto closed = std::to_string(faults::unused_port(address));
  FakeTrapper trapper;
  // The eleven of a full form that would reach a database (refused here).
  const std::vector<std::string> full{"discovery_clientes",
                                      "",
                                      address,
                                      closed,
                                      "billing",
                                      "u",
                                      "p",
                                      "1",
                                      address,
                                      "9009",
                                      "pop"};
  for (std::size_t n = 0; n <= 13; ++n) {
    SCOPED_TRACE("count " + std::to_string(n));
    std::vector<std::string> argv{TARVO_BINARY};
    for (std::size_t i = 0; i < n; ++i) {
      argv.push_back(i < full.size() ? full[i] : "extra");
    }
    const auto r = support::run_program(
        TARVO_BINARY,
        argv,
        {.env = {"ZABBIX_SERVER=" + faults::zabbix_server_of(trapper)},
         .stdout_to = std::nullopt});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    if (n == 1) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, cli::usage_text(TARVO_BINARY));
    } else if (n == 11) {
      EXPECT_EQ(r.out, "");
      EXPECT_THAT(r.err,
                  StartsWith("Falha na execução: conectar ao banco de dados: "
                             "connection to server at \""
                             + address + "\""));
    } else {
      EXPECT_EQ(r.out, cli::count_error_line(n));
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_TRUE(trapper.received().empty());
}

TEST_F(ArgumentInput, EmptyTexts) {
  // Eleven empty arguments: a mode that matches nothing.
  const std::vector<std::string> eleven_empty(12, "");
  auto argv = eleven_empty;
  argv[0] = TARVO_BINARY;
  auto r = support::run_program(TARVO_BINARY, argv);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  // One empty argument: the short form with a mode other than version.
  r = support::run_program(TARVO_BINARY, {TARVO_BINARY, ""});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, cli::usage_text(TARVO_BINARY));
}

TEST_F(ArgumentInput, EmptyPublicationSettings) {
  // Empty host name, POP filter and store address and port: the values go
  // under the empty host, the store cannot be addressed at all.
  FakeTrapper trapper;
  auto s = settings("");
  s.quest_db_port = "";
  s.pop_id = "";
  s.zabbix_host = "";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Error: No host part in the URL\n"
            "Error: No host part in the URL\n"
            "OK\n");
  EXPECT_THAT(r.err, StartsWith("Erro: "));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), faults::k_fixture_sends);
  for (const auto& request : received) {
    EXPECT_EQ(request.host, "");
  }
  // An empty POP filter matches every contract with a POP.
  EXPECT_EQ(received[2].value, "8");
  EXPECT_EQ(received[3].value, "1160.0");
  expect_requests_are_json(trapper);
}

TEST_F(ArgumentInput, EmptyConnectionSettingsAreADatabaseError) {
  FakeTrapper trapper;
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.db_name = "";
  s.db_user = "";
  s.db_password = "";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err,
              StartsWith("Falha na execução: conectar ao banco de dados: "));
  EXPECT_TRUE(trapper.received().empty());
}

TEST_F(ArgumentInput, PortTextsThatAreNoPort) {
  for (const std::string port : {"abc", "70000", "-1", " 5432"}) {
    SCOPED_TRACE(port);
    FakeTrapper trapper;
    auto s = settings(faults::fault_address(k_file, __LINE__));
    s.db_port = port;
    const auto r = run(s, faults::zabbix_server_of(trapper));
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err,
                StartsWith("Falha na execução: conectar ao banco de dados: "));
    EXPECT_TRUE(trapper.received().empty());
  }
}

TEST_F(ArgumentInput, OneMebibyteArgumentIsBeyondWhatTheKernelPasses) {
  // execve refuses any single argument above 128 KiB (MAX_ARG_STRLEN), so a
  // 1 MiB argument never reaches the program; the in-process runs below
  // give the program such texts directly.
  EXPECT_THAT(
      [] {
        support::run_program(
            TARVO_BINARY,
            {TARVO_BINARY, "version", std::string(1U << 20U, 'x')});
      },
      ::testing::ThrowsMessage<std::runtime_error>(
          HasSubstr("Argument list too long")));
}

TEST_F(ArgumentInput, LargestArgumentsTheKernelPasses) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  const std::size_t largest = 128U * 1024U - 1U; // without its NUL
  auto s = settings(address, store.rows_port());
  s.host = std::string(largest, 'h');
  s.pop_id = std::string(largest, '9');
  s.zabbix_host = std::string(largest - 2, 'z') + "é";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.err, "");
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), faults::k_fixture_sends);
  for (const auto& request : received) {
    EXPECT_EQ(request.host, s.zabbix_host);
  }
  EXPECT_EQ(received[2].value, "0");
  EXPECT_EQ(received[3].value, "None");
  const auto lines = rows_of(store);
  ASSERT_EQ(lines.size(), 11U);
  for (const auto& line : lines) {
    ASSERT_NE(line.field("tarvoIdentification"), nullptr);
    EXPECT_EQ(line.field("tarvoIdentification")->text, s.zabbix_host);
  }
}

class InProcessRun : public faults::FaultRun {
protected:
  void TearDown() override { ::unsetenv("ZABBIX_SERVER"); }

  // The whole front end in this process, standard output and error kept.
  struct Result {
    int status = -1;
    std::string out;
    std::string err;
  };
  static Result run_here(std::vector<std::string> args,
                         const std::string& zabbix_server) {
    ::setenv("ZABBIX_SERVER", zabbix_server.c_str(), 1);
    args.insert(args.begin(), "tarvo_clientes_db");
    Result r;
    {
      const faults::Capture out(std::cout);
      const faults::Capture err(std::cerr);
      r.status = cli::run(args);
      r.out = out.text();
      r.err = err.text();
    }
    std::cout.clear();
    return r;
  }
};

TEST_F(InProcessRun, OneMebibyteTextsInEveryPosition) {
  const std::string mib(1U << 20U, 'm');
  FakeTrapper trapper;
  // Twelve of them: the count error.
  auto r = run_here(std::vector<std::string>(12, mib),
                    faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, cli::count_error_line(12));
  // Eleven: a mode that matches nothing, nothing else is read.
  r = run_here(std::vector<std::string>(11, mib),
               faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  // One: the short form.
  r = run_here({mib}, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(trapper.received().empty());
}

TEST_F(InProcessRun, OneMebibyteHostAndPopFilterArePublished) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.host = std::string(1U << 20U, 'h');
  s.pop_id = std::string(1U << 20U, '%');
  s.zabbix_host = std::string((1U << 20U) - 2U, 'z') + "ç";
  auto args = faults::argv_of(s);
  args.erase(args.begin());
  const auto r = run_here(args, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.err, "");
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), faults::k_fixture_sends);
  for (const auto& request : received) {
    EXPECT_EQ(request.host, s.zabbix_host);
  }
  // A pattern of only wildcards matches every contract with a POP.
  EXPECT_EQ(received[2].value, "8");
  const auto lines = rows_of(store);
  ASSERT_EQ(lines.size(), 11U);
  EXPECT_EQ(lines[0].field("tarvoIdentification")->text, s.zabbix_host);
}

TEST_F(ArgumentInput, InvalidUtf8HostNameStaysWellFormedJson) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.zabbix_host = "pop\xff\xfe-\xc3(\xed\xa0\x80";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\n");
  expect_requests_are_json(trapper);
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), faults::k_fixture_sends);
  // Each byte that starts no well-formed sequence becomes U+FFFD.
  EXPECT_EQ(received[0].host,
            "pop\xef\xbf\xbd\xef\xbf\xbd-\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf"
            "\xbd\xef\xbf\xbd");
  // The rows carry the setting's bytes unchanged, and still parse.
  const auto lines = rows_of(store);
  ASSERT_EQ(lines.size(), 11U);
  EXPECT_EQ(lines[0].field("tarvoIdentification")->text, s.zabbix_host);
}

TEST_F(ArgumentInput, InvalidUtf8PopFilterIsRefusedByTheServer) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.pop_id = "1\xff\xc3";
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: consultar títulos em aberto: ERROR:  invalid "
            "byte sequence for encoding \"UTF8\": 0xff CONTEXT:  unnamed "
            "portal parameter $1\n");
  EXPECT_TRUE(trapper.received().empty());
  EXPECT_TRUE(store.sql->requests().empty());
}

TEST_F(ArgumentInput, SettingsQuotedInErrorLinesKeepTheOutputUtf8) {
  // libpq quotes the database name, the ingestion client the port text:
  // each byte that starts no UTF-8 sequence comes out as U+FFFD.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.db_name = "b\xff\xc3(";
  auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(faults::is_utf8(r.err)) << r.err;
  EXPECT_THAT(r.err,
              HasSubstr("FATAL:  database \"b\xef\xbf\xbd\xef\xbf\xbd(\" "
                        "does not exist\n"));
  EXPECT_TRUE(trapper.received().empty());

  s = settings(address, "9\xff");
  r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.err,
            "Erro: \"addr\" must be an integer of at least 1, not "
            "\"9\xef\xbf\xbd\"\n");
}

TEST(WellFormedUtf8, ReplacesEachByteThatStartsNoSequence) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string r = "\xef\xbf\xbd";
  const std::vector<Case> cases{
      {"", ""},
      {"ação 𝄞 \U0010FFFF", "ação 𝄞 \U0010FFFF"},
      {"\xff", r},
      {"a\xc3", "a" + r},                  // cut at the end
      {"\xc3(", r + "("},                  // continuation missing
      {"\x80\xbf", r + r},                 // stray continuations
      {"\xc0\x80", r + r},                 // overlong NUL
      {"\xe0\x80\xaf", r + r + r},         // overlong slash
      {"\xed\xa0\x80", r + r + r},         // a surrogate
      {"\xf4\x90\x80\x80", r + r + r + r}, // above U+10FFFF
      {"\xf8\x88\x80\x80\x80", r + r + r + r + r},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(console::well_formed_utf8(c.in), c.out);
    EXPECT_TRUE(faults::is_utf8(c.out));
  }
}

TEST_F(ArgumentInput, PopFilterOfQuotesBackslashesAndWildcards) {
  struct Case {
    std::string pop_id;
    std::string count;
    std::string amount;
  };
  // The fixture's POP ids are 1, 2, 10, 11, 21 (and contracts without one).
  const std::vector<Case> cases{
      {"%", "8", "1160.0"},
      {"_", "8", "1160.0"},
      {"%_%_", "5", "985.0"}, // two characters or more: 10, 11, 21
      {"'", "0", "None"},
      {"''", "0", "None"},
      {"\"", "0", "None"},
      {"\\", "0", "None"},
      {"\\%", "0", "None"}, // an escaped, literal percent sign
      {"1\\", "0", "None"}, // "%1\%": the escape takes the closing percent
      {"'; DROP TABLE financeiro_titulo; --", "0", "None"},
      {"%'\"\\_", "0", "None"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pop_id);
    auto s = settings(faults::fault_address(k_file, __LINE__));
    s.pop_id = c.pop_id;
    s.zabbix_host = "debug";
    const auto r = run(s, "127.0.0.1:1");
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(open_totals(r.out), std::make_pair(c.count, c.amount));
  }
  // The billing tables are all still there.
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.zabbix_host = "debug";
  const auto after = run(s, "127.0.0.1:1");
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(open_totals(after.out),
            std::make_pair(std::string("6"), std::string("1050.0")));
}

} // namespace
