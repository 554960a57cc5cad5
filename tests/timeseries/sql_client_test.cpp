#include "console/deadline.h"
#include "support/fake_questdb.h"
#include "support/library_words.h"
#include "timeseries/reply_error.h"
#include "timeseries/sql_client.h"
#include "timeseries/tls_failure.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using test_support::FakeQuestDb;
using test_support::HttpReply;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Pair;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;
using test_support::with_library_cause;
using timeseries::run_query;

FakeQuestDb store_on(const char* address,
                     test_support::HttpScript script = {}) {
  return FakeQuestDb({address, 9000, std::move(script)});
}

class SqlClientTest : public ::testing::Test {
protected:
  void TearDown() override { console::deadline::disarm(); }
  std::ostringstream out;
};

TEST_F(SqlClientTest, QueryIsFormEncodedFirstThenFmtJson) {
  auto store = store_on("127.0.1.1", {HttpReply::json(R"({"ddl":"OK"})")});
  const std::string sql = "\n  SELECT a+b, 'x;y' FROM t WHERE c = 1 & d ~ é%  ";
  const auto reply = run_query("127.0.1.1", sql, out);

  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, nlohmann::json::parse(R"({"ddl":"OK"})"));
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/exec");
  EXPECT_EQ(requests[0].raw_query,
            "query=%0a++SELECT+a%2bb%2c+%27x%3by%27+FROM+t+WHERE+c+%3d+1+%26+d+"
            "~+%c3%a9%25++"
            "&fmt=json");
  EXPECT_THAT(requests[0].params,
              ElementsAre(Pair("query", sql), Pair("fmt", "json")));
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(out.str(), "");
}

TEST_F(SqlClientTest, SendsTheStoresBasicCredentials) {
  auto store = store_on("127.0.1.2");
  (void)run_query("127.0.1.2", "SHOW COLUMNS FROM tarvoClientes", out);
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].header("Authorization"),
            "Basic " + test_support::base64("korviadmin:sentinelKQ"));
  EXPECT_TRUE(requests[0].authorized);
}

TEST_F(SqlClientTest, ErrorStatusWithJsonBodyIsReturnedSilently) {
  const std::string body =
      R"({"query":"SHOW COLUMNS FROM tarvoClientes","error":"table does not exist [table=tarvoClientes]","position":18})";
  auto store = store_on("127.0.1.3", {HttpReply::json(body, 400)});
  const auto reply =
      run_query("127.0.1.3", "SHOW COLUMNS FROM tarvoClientes", out);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, nlohmann::json::parse(body));
  EXPECT_EQ(out.str(), "");
}

TEST_F(SqlClientTest, NothingListeningPrintsOneErrorLineAndReturnsNoValue) {
  const auto reply = run_query("127.0.9.1", "SELECT 1", out);
  EXPECT_FALSE(reply.has_value());
  EXPECT_THAT(out.str(), with_library_cause("Error: <cause>\n"));
}

TEST_F(SqlClientTest, EmptyAddressIsARequestFailure) {
  const auto reply = run_query("", "SELECT 1", out);
  EXPECT_FALSE(reply.has_value());
  EXPECT_THAT(out.str(), MatchesRegex("Error: [^\n]+\n"));
}

TEST_F(SqlClientTest, BodiesThatAreNotJsonThrowWhatCameBack) {
  auto store =
      store_on("127.0.1.4",
               {HttpReply::text(200, "<html>proxy</html>", "text/html"),
                HttpReply::text(200, ""),
                HttpReply::close_without_reply()});
  using timeseries::ReplyError;
  EXPECT_THAT([&] { run_query("127.0.1.4", "SELECT 1", out); },
              ThrowsMessage<ReplyError>("http://127.0.1.4:9000/exec answered "
                                        "HTTP 200 text/html: proxy"));
  EXPECT_THAT([&] { run_query("127.0.1.4", "SELECT 1", out); },
              ThrowsMessage<ReplyError>("http://127.0.1.4:9000/exec answered "
                                        "HTTP 200 text/plain and an empty "
                                        "body"));
  // A connection closed without reply is the client's failure, not a body.
  EXPECT_FALSE(run_query("127.0.1.4", "SELECT 1", out).has_value());
  EXPECT_THAT(out.str(), with_library_cause("Error: <cause>\n"));
}

// What a failed handshake means comes from libcurl's code, the certificate
// check's result and OpenSSL's packed error code, never from their words; the
// refusals themselves are met through a real nginx in the fault suite.
TEST(TlsVerdict, FromCodesNotWords) {
  using timeseries::TlsVerdict;
  struct Case {
    const char* name;
    CURLcode code;
    long verify_result;
    const char* detail;
    TlsVerdict verdict;
  };
  const std::vector<Case> cases{
      {"name checked by libcurl after the chain", CURLE_PEER_FAILED_VERIFICATION,
       1, "any words", TlsVerdict::name_mismatch},
      {"chain from another CA", CURLE_PEER_FAILED_VERIFICATION, 20, "any words",
       TlsVerdict::untrusted},
      {"self-signed", CURLE_PEER_FAILED_VERIFICATION, 18, "",
       TlsVerdict::untrusted},
      {"expired", CURLE_PEER_FAILED_VERIFICATION, 10, "", TlsVerdict::expired},
      {"CA file without certificates", CURLE_SSL_CACERT_BADFILE, 0, "",
       TlsVerdict::ca_file},
      {"plain HTTP answered (OpenSSL 3.0 words)", CURLE_SSL_CONNECT_ERROR, 1,
       "error:0A00010B:SSL routines::wrong version number", TlsVerdict::not_tls},
      {"plain HTTP answered (reworded)", CURLE_SSL_CONNECT_ERROR, 1,
       "OpenSSL/3.5.1: error:0A00010B:SSL routines::versão errada",
       TlsVerdict::not_tls},
      {"oversized record", CURLE_SSL_CONNECT_ERROR, 1,
       "error:0A0000C6:SSL routines::packet length too long",
       TlsVerdict::not_tls},
      {"the words without the code", CURLE_SSL_CONNECT_ERROR, 1,
       "wrong version number", TlsVerdict::interrupted},
      {"connection closed in the handshake", CURLE_SSL_CONNECT_ERROR, 1,
       "error:0A000126:SSL routines::unexpected eof while reading",
       TlsVerdict::interrupted},
      {"not TLS at all", CURLE_COULDNT_CONNECT, 0, "", TlsVerdict::none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(timeseries::tls_verdict(c.code, c.verify_result, c.detail),
              c.verdict);
  }
}

// Proxies' HTML pages are read through real ones in the fault suite.
TEST(ReplySummary, OneLineOfBoundedText) {
  struct Case {
    const char* type;
    std::string body;
    std::string summary; // after "E answered HTTP 400 "
  };
  const std::vector<Case> cases{
      {"", "Unauthorized\r\n", "without a content type: Unauthorized"},
      {"text/plain; charset=utf-8", "a\n\t b\x01", "text/plain: a b"},
      {"text/plain",
       std::string(159, 'x') + "é",
       "text/plain: " + std::string(159, 'x') + "…"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.summary);
    EXPECT_EQ(timeseries::reply_summary("E", 400, c.type, c.body),
              "E answered HTTP 400 " + c.summary);
  }
}

TEST_F(SqlClientTest, SilentStoreIsStoppedByTheRunsBoundOnly) {
  auto store = store_on("127.0.1.5", {HttpReply::never_answer()});
  console::deadline::arm(std::chrono::milliseconds(300), "tempo esgotado");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(
      [&] { (void)run_query("127.0.1.5", "SELECT 1", out); },
      ::testing::ThrowsMessage<console::TimeoutException>("tempo esgotado"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(out.str(), "");
}

} // namespace
