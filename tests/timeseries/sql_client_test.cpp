#include "console/deadline.h"
#include "support/fake_questdb.h"
#include "timeseries/reply_error.h"
#include "timeseries/sql_client.h"

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
  EXPECT_THAT(out.str(),
              MatchesRegex("Error: Failed to connect to 127\\.0\\.9\\.1 port "
                           "9000 after [0-9]+ ms: "
                           "Couldn't connect to server\n"));
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
  EXPECT_EQ(out.str(), "Error: Empty reply from server\n");
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
