// The store behind a TLS-terminating nginx, as QuestDB's documentation
// advises for its open-source edition: the operator's credentials over
// https, and the checks that keep a run from talking to the wrong server.
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "faults/tls_peers.h"
#include "timeseries/ilp_parser.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

using faults::outcome;
using test_support::FakeQuestDb;
using test_support::FakeTrapper;

constexpr int k_file = 8;
constexpr std::string_view k_peer = "store over TLS (nginx)";

class StoreTls : public faults::FaultRun {};

TEST_F(StoreTls, CredentialsAndCertificateChecksThroughARealProxy) {
  if (faults::NginxTls::binary().empty()) {
    GTEST_SKIP() << "nginx is not installed (scripts/install_deps)";
  }
  const auto proxy = faults::fault_address(k_file, __LINE__);
  const auto store = faults::fault_address(k_file, __LINE__);
  const faults::TlsFiles files(proxy);
  std::ofstream(files.path("password")) << "s3nha:secreta\n";
  std::ofstream(files.path("token")) << "qt1-token-secreto\n";
  const std::vector<std::string> https{"QUESTDB_TLS_CONNECT=https",
                                       "QUESTDB_TLS_CA_FILE="
                                           + files.path("ca.pem")};
  const std::vector<std::string> basic{"QUESTDB_USER=coletor",
                                       "QUESTDB_PASSWORD_FILE="
                                           + files.path("password")};
  const auto with = [](std::vector<std::string> a,
                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::string refused = "negociação TLS: o certificado do servidor ";
  struct Case {
    const char* fault;
    std::vector<std::string> env;
    const char* cert;        // the proxy's certificate
    std::string token;       // the store takes this token, or the basic pair
    std::string tls_failure; // empty: everything reaches the store
  };
  const std::vector<Case> cases{
      {"https, CA file, user and password",
       with(https, basic),
       "store",
       {},
       {}},
      {"https, CA file, token",
       with(https, {"QUESTDB_TOKEN_FILE=" + files.path("token")}),
       "store",
       "qt1-token-secreto",
       {}},
      {"credentials refused (certificate from another CA)",
       with({"QUESTDB_TLS_CONNECT=https",
             "QUESTDB_TLS_CA_FILE=" + files.path("other_ca.pem")},
            basic),
       "store",
       {},
       refused
           + "não é de uma AC confiável (QUESTDB_TLS_CA_FILE, ou as do sistema "
             "sem ela): SSL certificate problem: unable to get local issuer "
             "certificate"},
      {"credentials refused (certificate for another name)",
       with(https, basic),
       "store_other_name",
       {},
       refused
           + "não vale para o endereço QUEST_DB_IP: SSL: no alternative "
             "certificate subject name matches target host name '"
           + proxy + "'"},
      {"garbage (plain HTTP to the TLS port)", basic, "store", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const bool plain = c.env == basic; // no https: nginx's own 400 page
    FakeQuestDb sql({store,
                     9000,
                     faults::complete_table(),
                     "coletor",
                     "s3nha:secreta",
                     c.token});
    FakeQuestDb rows({store, 0, {}, "coletor", "s3nha:secreta", c.token});
    const auto rows_port = faults::unused_port(proxy);
    const faults::NginxTls nginx(
        proxy,
        {{9000, store, 9000}, {rows_port, store, rows.port()}},
        files.path(std::string(c.cert) + ".pem"),
        files.path(std::string(c.cert) + ".key"));
    FakeTrapper trapper;
    const auto r = run(settings(proxy, std::to_string(rows_port)),
                       faults::zabbix_server_of(trapper),
                       {.env = c.env, .stdout_to = std::nullopt});
    EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
    for (const auto& secret : {"s3nha", "qt1-token"}) {
      EXPECT_EQ(r.out.find(secret), std::string::npos);
      EXPECT_EQ(r.err.find(secret), std::string::npos);
    }
    if (plain) {
      // The run ends where a creation reply that is not JSON ends it.
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err,
                "Falha na execução: http://" + proxy
                    + ":9000/exec answered HTTP 400 text/html: The plain "
                      "HTTP request was sent to HTTPS port\n");
    } else if (!c.tls_failure.empty()) {
      EXPECT_EQ(r.status, 0);
      const std::string line = "Error: " + c.tls_failure + "\n";
      EXPECT_EQ(r.out, line + line + "OK\n");
      EXPECT_EQ(r.err,
                "Erro: Could not flush buffer: https://" + proxy + ":"
                    + std::to_string(rows_port) + "/write: " + c.tls_failure
                    + "\n");
      EXPECT_LT(r.elapsed, std::chrono::seconds(5)); // not retried
    }
    if (plain || !c.tls_failure.empty()) {
      EXPECT_TRUE(sql.requests().empty());
      EXPECT_TRUE(rows.requests().empty());
      faults::record(k_peer, c.fault, outcome(r, "store untouched"), r.elapsed);
      continue;
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(r.err, "");
    auto requests = sql.requests();
    const auto written = rows.requests();
    requests.insert(requests.end(), written.begin(), written.end());
    ASSERT_EQ(requests.size(), 2U);
    for (const auto& request : requests) {
      EXPECT_TRUE(request.authorized) << request.header("Authorization");
    }
    EXPECT_EQ(test_support::parse_ilp(written[0].body).size(), 11U);
    faults::record(k_peer, c.fault, outcome(r, "11 rows taken"), r.elapsed);
  }
}

TEST_F(StoreTls, UnusableSettingsEndTheRunBeforeTheDatabaseIsRead) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::SilentPeer database(address);
  FakeTrapper trapper;
  auto s = settings(address);
  s.db_ip = address;
  s.db_port = std::to_string(database.port());
  const support::RunOptions options{.env = {"QUESTDB_USER=coletor"},
                                    .stdout_to = std::nullopt};
  const auto r = run(s, faults::zabbix_server_of(trapper), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: QUESTDB_PASSWORD_FILE é obrigatória com "
            "QUESTDB_USER\n");
  EXPECT_EQ(database.accepted(), 0);
  EXPECT_TRUE(trapper.received().empty());
  // The debug report publishes nothing and reads no store setting.
  auto debug = settings(address);
  debug.zabbix_host = "debug";
  EXPECT_EQ(run(debug, faults::zabbix_server_of(trapper), options).status, 0);
}

} // namespace
