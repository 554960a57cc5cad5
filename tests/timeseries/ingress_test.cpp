#include "console/deadline.h"
#include "support/fake_questdb.h"
#include "support/sockets.h"
#include "timeseries/ilp_parser.h"
#include "timeseries/ingress.h"
#include "support/library_words.h"

#include <arpa/inet.h>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using test_support::FakeQuestDb;
using test_support::HttpReply;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;
using timeseries::Column;
using timeseries::IngressError;
using timeseries::Sender;
using timeseries::TimestampNanos;

const std::vector<Column> k_row = {{"idCliente", std::int64_t{7}},
                                   {"pop", std::string("Centro")}};
const std::string k_line = "tarvoClientes idCliente=7i,pop=\"Centro\" 1000\n";

std::string conf_for(const FakeQuestDb& store, const std::string& extra = "") {
  return "http::addr=" + store.address() + ":" + std::to_string(store.port())
         + ";username=korviadmin;password=sentinelKQ;" + extra;
}

std::string endpoint_of(const FakeQuestDb& store) {
  return "http://" + store.address() + ":" + std::to_string(store.port())
         + "/write";
}

FakeQuestDb::Options with_password(std::string password) {
  FakeQuestDb::Options options;
  options.password = std::move(password);
  return options;
}

class SenderTest : public ::testing::Test {
protected:
  void TearDown() override { console::deadline::disarm(); }
};

TEST_F(SenderTest, FlushPostsTheBufferedLinesOnce) {
  FakeQuestDb store({});
  Sender sender = Sender::from_conf(conf_for(store));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  sender.flush();
  EXPECT_EQ(sender.pending_rows(), 0U);
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/write");
  EXPECT_EQ(requests[0].raw_query, "precision=n");
  EXPECT_EQ(requests[0].header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_TRUE(requests[0].authorized);
  EXPECT_EQ(requests[0].body, k_line + k_line);
}

TEST_F(SenderTest, EmptyFlushSendsNothing) {
  FakeQuestDb store({});
  Sender sender = Sender::from_conf(conf_for(store));
  sender.flush();
  sender.close();
  EXPECT_TRUE(store.requests().empty());
}

TEST_F(SenderTest, ServerErrorIsRetriedUntilSuccess) {
  FakeQuestDb store(
      {.script = {HttpReply::json(R"({"code":"internal error"})", 500),
                  HttpReply::close_without_reply(),
                  HttpReply::no_content()}});
  Sender sender = Sender::from_conf(conf_for(store));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  sender.flush();
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 3U);
  for (const auto& request : requests) {
    EXPECT_EQ(request.body, k_line);
  }
}

TEST_F(SenderTest, RefusalsBecomeIngressErrorsWithTheStoresWords) {
  struct Case {
    const char* name;
    HttpReply reply;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"JSON error",
       HttpReply::json(
           R"({"code":"invalid","message":"failed to parse line protocol:errors encountered on line(s):\nerror in line 1: table: tarvoClientes, column: idCliente; cast error","line":1,"errorId":"a1b2c3d4e5f6-7"})",
           400),
       "Could not flush buffer: failed to parse line protocol:errors "
       "encountered on line(s):\n"
       "error in line 1: table: tarvoClientes, column: idCliente; cast error "
       "[id: a1b2c3d4e5f6-7, code: invalid, line: 1]"},
      {"JSON error without line",
       HttpReply::json(
           R"({"code":"invalid","message":"commit error","errorId":"ff-1"})",
           400),
       "Could not flush buffer: commit error [id: ff-1, code: invalid]"},
      {"plain text 413",
       HttpReply::text(413, "request too large\n"),
       "Could not flush buffer: @ answered HTTP 413 text/plain: request too "
       "large"},
      {"403",
       HttpReply::text(403, "Forbidden\r\n"),
       "Could not flush buffer: HTTP endpoint authentication error: Forbidden "
       "[code: 403]"},
      {"404",
       HttpReply::text(404, "Not Found"),
       "Could not flush buffer: HTTP endpoint does not support ILP."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeQuestDb store({.script = {c.reply}});
    Sender sender = Sender::from_conf(conf_for(store));
    sender.row("tarvoClientes", k_row, TimestampNanos{1000});
    std::string message = c.message;
    if (const auto at = message.find('@'); at != std::string::npos) {
      message.replace(at, 1, endpoint_of(store));
    }
    EXPECT_THAT([&] { sender.flush(); }, ThrowsMessage<IngressError>(message));
    EXPECT_EQ(store.requests().size(), 1U); // 4xx is not retried
    EXPECT_EQ(sender.pending_rows(), 1U);
  }
}

TEST_F(SenderTest, WrongCredentialsGetThePlainText401AsIngressError) {
  FakeQuestDb store(with_password("other"));
  Sender sender = Sender::from_conf(conf_for(store));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(
                  "Could not flush buffer: HTTP endpoint authentication error: "
                  "Unauthorized [code: 401]"));
}

TEST_F(SenderTest, TransportFailureNamesTheEndpoint) {
  const std::uint16_t port = test_support::unused_port();
  Sender sender = Sender::from_conf(
      "http::addr=127.0.0.1:" + std::to_string(port) + ";retry_timeout=0;");
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  EXPECT_THAT(
      [&] { sender.flush(); },
      ThrowsMessage<IngressError>(StartsWith(
          "Could not flush buffer: http://127.0.0.1:" + std::to_string(port)
          + "/write: Failed to connect to 127.0.0.1 port "
          + std::to_string(port))));
}

TEST_F(SenderTest, RetriesStopAfterTheRetryTimeout) {
  FakeQuestDb store(
      {.script = std::vector<HttpReply>(100, HttpReply::text(503, "busy"))});
  Sender sender = Sender::from_conf(conf_for(store, "retry_timeout=300;"));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(
                  "Could not flush buffer: " + endpoint_of(store)
                  + " answered HTTP 503 text/plain: busy"));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
  EXPECT_GT(store.requests().size(), 3U);
}

TEST_F(SenderTest, SilentStoreTimesOutPerRequest) {
  FakeQuestDb store({.script = {HttpReply::never_answer()}});
  Sender sender = Sender::from_conf(
      conf_for(store, "request_timeout=200;retry_timeout=0;"));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(test_support::with_library_cause(
                  "Could not flush buffer: " + endpoint_of(store) + ": <cause>")));
}

TEST_F(SenderTest, RunsBoundStopsASilentStore) {
  FakeQuestDb store({.script = {HttpReply::never_answer()}});
  Sender sender = Sender::from_conf(conf_for(store));
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  console::deadline::arm(std::chrono::milliseconds(300), "tempo esgotado");
  EXPECT_THROW(sender.flush(), console::TimeoutException);
}

TEST_F(SenderTest, FlushesOnItsOwnEvery75000Rows) {
  FakeQuestDb store({});
  Sender sender = Sender::from_conf(conf_for(store));
  for (int i = 0; i < 74'999; ++i) {
    sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  }
  EXPECT_TRUE(store.requests().empty());
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  EXPECT_EQ(sender.pending_rows(), 0U);
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(test_support::parse_ilp(requests[0].body).size(), 75'000U);
}

TEST_F(SenderTest, ClosedSenderRefusesRows) {
  Sender sender = Sender::from_conf("http::addr=127.0.0.1:9;");
  sender.close();
  EXPECT_THROW(sender.row("t", k_row, TimestampNanos{1}), IngressError);
  EXPECT_THROW(sender.flush(), IngressError);
}

TEST(SenderConf, MalformedOrUnsupportedTextsAreIngressErrors) {
  struct Case {
    const char* conf;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"", "Config parse error"},
      {"http", "Config parse error: missing \"::\""},
      {"http:addr=h:1;", "Config parse error: missing \"::\""},
      {"::addr=h:1;", "Config parse error: bad service name"},
      {"ftp::addr=h:1;", "Config parse error: invalid service \"ftp\""},
      {"https::addr=h:1;tls_verify=unsafe_off;",
       "\"tls_verify\" unsafe_off is not supported by this client"},
      {"tcp::addr=h:1;", "\"tcp\" is not supported by this client"},
      {"tcps::addr=h:1;", "\"tcps\" is not supported by this client"},
      {"http::addr=h:1;ba d=x;", "Config parse error: invalid character"},
      {"http::addr=h:1;key", "Config parse error: incomplete key-value pair"},
      {"http::addr=h:1;=x;", "Config parse error: empty key"},
      {"http::addr=h:1;addr=h:2;",
       "Config parse error: duplicate key \"addr\""},
      {"http::addr=h:1;password=a\tb;username=u;",
       "Config parse error: invalid control character"},
      {"http::username=u;password=p;",
       "Missing \"addr\" parameter in config string"},
      {"http::ADDR=h:1;", "Missing \"addr\" parameter in config string"},
      {"http::addr=h:1;username=u;",
       "Basic authentication parameter \"username\" is present, but "
       "\"password\" is missing."},
      {"http::addr=h:1;password=p;",
       "Basic authentication parameter \"password\" is present, but "
       "\"username\" is missing."},
      {"http::addr=h:;", "\"addr\" must be an integer"},
      {"http::addr=h:90x;", "\"addr\" must be an integer"},
      {"http::addr=:9000;", "\"addr\" has no host"},
      {"http::addr=h:1;request_timeout=0;",
       "\"request_timeout\" must be an integer of at least 1"},
      {"http::addr=h:1;auto_flush=maybe;",
       "\"auto_flush\" must be \"on\" or \"off\""},
      {"http::addr=h:1;protocol_version=2;",
       "\"protocol_version\" 2 is not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf);
    EXPECT_THAT([&] { (void)Sender::from_conf(c.conf); },
                ThrowsMessage<IngressError>(HasSubstr(c.message)));
  }
}

TEST(SenderConf, DoubledSemicolonIsALiteralSemicolonAndUnknownKeysAreIgnored) {
  FakeQuestDb store(with_password("a;b"));
  Sender sender =
      Sender::from_conf("http::addr=127.0.0.1:" + std::to_string(store.port())
                        + ";password=a;;b;username=korviadmin;tls_verify=on;"
                          "protocol_version=1");
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  sender.flush();
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_TRUE(requests[0].authorized);
}

TEST(SenderConf, AddrWithoutPortMeans9000) {
  FakeQuestDb store({"127.0.1.40", 9000, {}});
  Sender sender = Sender::from_conf(
      "http::addr=127.0.1.40;username=korviadmin;password=sentinelKQ");
  sender.row("tarvoClientes", k_row, TimestampNanos{1000});
  sender.flush();
  EXPECT_EQ(store.requests().size(), 1U);
}

} // namespace
