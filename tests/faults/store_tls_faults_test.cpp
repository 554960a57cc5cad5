// The store behind a TLS-terminating nginx, as QuestDB's documentation
// advises for its open-source edition: the operator's credentials over
// https, and the checks that keep a run from talking to the wrong server.
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "faults/tls_peers.h"
#include "support/library_words.h"
#include "timeseries/ilp_parser.h"

#include <fstream>
#include <gmock/gmock.h>
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
  const auto rows_port = faults::unused_port(proxy);
  const faults::TlsFiles files(proxy);
  std::ofstream(files.path("password")) << "s3nha:secreta\n";
  std::ofstream(files.path("token")) << "qt1-token\r\n";
  const std::string https = "QUESTDB_TLS_CONNECT=https";
  const std::string ca = "QUESTDB_TLS_CA_FILE=" + files.path("ca.pem");
  const std::string user = "QUESTDB_USER=coletor";
  const std::string password =
      "QUESTDB_PASSWORD_FILE=" + files.path("password");
  // A refused certificate: twice for the SQL requests, once for the rows,
  // each naming its endpoint; libcurl's own words follow the verdict.
  const auto sql_lines = [&](const std::string& verdict) {
    const std::string line = "Error: https://" + proxy
                             + ":9000/exec: negociação TLS: " + verdict + ": "
                             + std::string(test_support::k_cause) + "\n";
    return line + line + "OK\n";
  };
  const auto rows_line = [&](const std::string& verdict) {
    return "Erro: Could not flush buffer: https://" + proxy + ":"
           + std::to_string(rows_port) + "/write: negociação TLS: " + verdict
           + ": " + std::string(test_support::k_cause) + "\n";
  };
  const std::string other_ca =
      "o certificado do servidor não é de uma AC confiável (QUESTDB_TLS_CA_"
      "FILE, ou as do sistema sem ela)";
  const std::string other_name =
      "o certificado do servidor não vale para o endereço QUEST_DB_IP";
  struct Case {
    const char* fault;
    std::vector<std::string> env;
    const char* cert;  // the proxy's certificate
    std::string token; // the store takes this token, or else the pair
    int status;
    std::string out;
    std::string err; // with out "OK" and no error: everything reached the store
  };
  const std::vector<Case> cases{
      {"https, CA file, user and password",
       {https, ca, user, password},
       "store",
       {},
       0,
       "OK\n",
       ""},
      {"https, CA file, token",
       {https, ca, "QUESTDB_TOKEN_FILE=" + files.path("token")},
       "store",
       "qt1-token",
       0,
       "OK\n",
       ""},
      {"credentials refused (certificate from another CA)",
       {https,
        "QUESTDB_TLS_CA_FILE=" + files.path("other_ca.pem"),
        user,
        password},
       "store",
       {},
       0,
       sql_lines(other_ca),
       rows_line(other_ca)},
      {"credentials refused (certificate for another name)",
       {https, ca, user, password},
       "store_other_name",
       {},
       0,
       sql_lines(other_name),
       rows_line(other_name)},
      {"garbage (plain HTTP to the TLS port)",
       {user, password},
       "store",
       {},
       1,
       "",
       "Falha na execução: http://" + proxy
           + ":9000/exec answered HTTP 400 text/html: The plain HTTP request "
             "was sent to HTTPS port\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    FakeQuestDb sql({store,
                     9000,
                     faults::complete_table(),
                     "coletor",
                     "s3nha:secreta",
                     c.token});
    FakeQuestDb rows({store, 0, {}, "coletor", "s3nha:secreta", c.token});
    const faults::NginxTls nginx(
        proxy,
        {{9000, store, 9000}, {rows_port, store, rows.port()}},
        files.path(std::string(c.cert) + ".pem"),
        files.path(std::string(c.cert) + ".key"));
    FakeTrapper trapper;
    const auto r = run(settings(proxy, std::to_string(rows_port)),
                       faults::zabbix_server_of(trapper),
                       {.env = c.env, .stdout_to = std::nullopt});
    EXPECT_EQ(r.status, c.status);
    EXPECT_THAT(r.out, test_support::with_library_cause(c.out));
    EXPECT_THAT(r.err, test_support::with_library_cause(c.err));
    EXPECT_LT(r.elapsed, std::chrono::seconds(5)); // a refusal is not retried
    EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
    auto requests = sql.requests();
    const auto written = rows.requests();
    requests.insert(requests.end(), written.begin(), written.end());
    for (const auto& request : requests) {
      EXPECT_TRUE(request.authorized) << request.header("Authorization");
    }
    const bool taken = c.err.empty();
    EXPECT_EQ(requests.size(), taken ? 2U : 0U);
    if (taken && written.size() == 1) {
      EXPECT_EQ(test_support::parse_ilp(written[0].body).size(), 11U);
    }
    faults::record(k_peer,
                   c.fault,
                   outcome(r, taken ? "11 rows taken" : "store untouched"),
                   r.elapsed);
  }
}

TEST_F(StoreTls, HttpsToAPlainHttpPortIsNamedForEachEndpoint) {
  // The store (or a proxy) answers in plain HTTP: the verdict comes from
  // OpenSSL's error code, each line names its endpoint, and the rows are
  // not tried again, since that port will not start to speak TLS.
  const auto address = faults::fault_address(k_file, __LINE__);
  const std::string http = "HTTP/1.1 400 Bad Request\r\n\r\n";
  const faults::GarbagePeer sql(address, http, 9000);
  const faults::GarbagePeer rows(address, http);
  FakeTrapper trapper;
  const auto r = run(settings(address, std::to_string(rows.port())),
                     faults::zabbix_server_of(trapper),
                     {.env = {"QUESTDB_TLS_CONNECT=https"},
                      .stdout_to = std::nullopt});
  const std::string verdict =
      "negociação TLS: o servidor não responde em TLS (porta HTTP sem TLS?): "
      + std::string(test_support::k_cause) + "\n";
  const std::string sql_line =
      "Error: https://" + address + ":9000/exec: " + verdict;
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, test_support::with_library_cause(sql_line + sql_line + "OK\n"));
  EXPECT_THAT(r.err,
              test_support::with_library_cause(
                  "Erro: Could not flush buffer: https://" + address + ":"
                  + std::to_string(rows.port()) + "/write: " + verdict));
  EXPECT_LT(r.elapsed, std::chrono::seconds(5));
  faults::record(k_peer,
                 "garbage (https to a plain HTTP port)",
                 outcome(r, "named per endpoint, not retried"),
                 r.elapsed);
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
