// The store's ingestion endpoint as a faulty peer: a failed flush prints one
// "Erro: " line on standard error and the run still ends with OK.
#include "console/deadline.h"
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "support/library_words.h"
#include "timeseries/ilp_parser.h"
#include "timeseries/ingress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using faults::FakeStore;
using faults::outcome;
using test_support::with_library_cause;
using test_support::FakeQuestDb;
using test_support::FakeTrapper;
using test_support::HttpReply;
using test_support::HttpScript;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;
using timeseries::IngressError;
using timeseries::Sender;
using namespace std::chrono_literals;

constexpr int k_file = 4;
constexpr std::string_view k_peer = "store /write";

class StoreWriteFaults : public faults::FaultRun {
protected:
  // Everything before the rows went as usual.
  static void expect_rest_published(const support::RunResult& r,
                                    const FakeTrapper& trapper) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  }
};

// The ingestion client alone, where a run would wait out its 10 s budget.
class StoreWriteClient : public ::testing::Test {
protected:
  void TearDown() override { console::deadline::disarm(); }

  static std::string endpoint(const FakeQuestDb& rows) {
    return "http://" + rows.address() + ":" + std::to_string(rows.port())
           + "/write";
  }

  // The program's own configuration with the client's time-outs shortened.
  static Sender sender_for(const FakeQuestDb& rows, std::string_view extra) {
    return Sender::from_conf(
        "http::addr=" + rows.address() + ":" + std::to_string(rows.port())
        + ";username=korviadmin;password=sentinelKQ;" + std::string(extra));
  }

  static void add_rows(Sender& sender, std::size_t n, std::size_t text_size) {
    const std::vector<timeseries::Column> columns{
        {"idCliente", std::int64_t{1}},
        {"razaoSocial", std::string(text_size, 'r')},
    };
    for (std::size_t i = 0; i < n; ++i) {
      sender.row("tarvoClientes", columns, timeseries::TimestampNanos::now());
    }
  }
};

TEST_F(StoreWriteFaults, StoreDownEntirelyStillEndsWithOk) {
  // Nothing listens on the address at all: the SQL endpoint's two request
  // failures, then the ingestion client's retries for its 10 s budget.
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto port = faults::unused_port(address);
  FakeTrapper trapper;
  const auto r = run(settings(address, std::to_string(port)),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  EXPECT_THAT(r.out, with_library_cause("Error: <cause>\nError: <cause>\nOK\n"));
  const std::string target = address + ":" + std::to_string(port);
  EXPECT_THAT(r.err,
              with_library_cause("Erro: Could not flush buffer: http://" + target
                                 + "/write: <cause>\n"));
  EXPECT_GE(r.elapsed, 10s);
  EXPECT_LT(r.elapsed, 14s);
  faults::record(k_peer,
                 "refused (whole store down)",
                 outcome(r, "retried for the 10 s budget; rows lost"),
                 r.elapsed);
}

TEST_F(StoreWriteClient, SilentEndpointTimesOutOrMeetsTheRunBound) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeQuestDb rows(FakeQuestDb::Options{
      .address = address, .port = 0, .script = {HttpReply::never_answer()}});
  Sender sender = sender_for(rows, "request_timeout=300;retry_timeout=0;");
  add_rows(sender, 2, 10);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(with_library_cause(
                  "Could not flush buffer: " + endpoint(rows) + ": <cause>")));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 290ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_EQ(sender.pending_rows(), 2U); // kept, as the client leaves them

  // With the program's own configuration (10 s per request) the run's bound
  // is what ends the wait.
  FakeQuestDb rows2(FakeQuestDb::Options{
      .address = address, .port = 0, .script = {HttpReply::never_answer()}});
  Sender program_sender = sender_for(rows2, "");
  add_rows(program_sender, 1, 10);
  start = std::chrono::steady_clock::now();
  console::deadline::arm(400ms, "limite");
  EXPECT_THAT([&] { program_sender.flush(); },
              ThrowsMessage<console::TimeoutException>(Eq("limite")));
  console::deadline::disarm();
  elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, 3s);
  faults::record(
      k_peer,
      "never answers",
      "library: IngressError \"Operation timed out\" after "
      "request_timeout (10 s in a run); the run bound interrupts it "
      "as TimeoutException",
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed));
}

TEST_F(StoreWriteClient, UnansweredConnectTimesOutAsATransportFailure) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::UnansweredSyns peer(address);
  Sender sender = Sender::from_conf(
      "http::addr=" + address + ":" + std::to_string(peer.port())
      + ";username=korviadmin;password=sentinelKQ;request_timeout=300;"
        "retry_timeout=0;");
  add_rows(sender, 1, 10);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(with_library_cause(
                  "Could not flush buffer: http://" + address + ":"
                  + std::to_string(peer.port()) + "/write: <cause>")));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_LT(elapsed, 2s);
  faults::record(k_peer,
                 "never answers the connection (SYN dropped)",
                 "library, request_timeout 300 ms (10 s in a run, then "
                 "retried): IngressError \"…Connection timed out after N "
                 "milliseconds\"",
                 elapsed);
}

TEST_F(StoreWriteFaults, SlowEndpointIsFine) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(
      address,
      faults::complete_table(),
      HttpScript{HttpReply::no_content().after(600ms).trickled(2ms)});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(store.rows_received(), 11U);
  EXPECT_GE(r.elapsed, 600ms);
  faults::record(k_peer,
                 "slow (600 ms, then byte by byte)",
                 outcome(r, "11 rows taken"),
                 r.elapsed);
}

TEST_F(StoreWriteFaults, GarbageErrorBodyIsReportedAndNotRetried) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(
      address,
      faults::complete_table(),
      HttpScript{HttpReply::text(
          400, "<html><body>proxy error</body></html>", "text/html")});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err,
            "Erro: Could not flush buffer: http://" + address + ":"
                + store.rows_port()
                + "/write answered HTTP 400 text/html: proxy error\n");
  EXPECT_EQ(store.rows->requests().size(), 1U);
  faults::record(k_peer,
                 "garbage (400 with HTML)",
                 outcome(r, "1 request, rows lost"),
                 r.elapsed);
}

TEST_F(StoreWriteClient, NonHttpBytesAreATransportFailure) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeQuestDb rows(FakeQuestDb::Options{
      .address = address,
      .port = 0,
      .script = {HttpReply::garbage("\x16\x03\x01 not http at all\r\n")}});
  Sender sender = sender_for(rows, "retry_timeout=0;");
  add_rows(sender, 1, 10);
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(with_library_cause(
                  "Could not flush buffer: " + endpoint(rows) + ": <cause>")));
  faults::record(k_peer,
                 "garbage (not HTTP)",
                 "library, no retry budget: IngressError \"…/write: Received "
                 "HTTP/0.9 when not allowed\" (retried like any transport "
                 "failure in a run)",
                 0ms);
}

TEST_F(StoreWriteFaults, ReplyCutMidWayIsRetriedAndThenSucceeds) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address,
                  faults::complete_table(),
                  HttpScript{HttpReply::no_content().cut_at(12)});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err, "");
  const auto requests = store.rows->requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].body, requests[1].body);
  EXPECT_EQ(test_support::parse_ilp(requests[1].body).size(), 11U);
  faults::record(k_peer,
                 "cut mid-way (12 bytes of the 204), once",
                 outcome(r, "retried: same 11 rows again, taken"),
                 r.elapsed);
}

TEST_F(StoreWriteClient, ReplyCutEveryTimeExhaustsTheRetries) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto cut =
      HttpReply::json(R"({"code":"invalid","message":"x"})", 400).cut_at(100);
  FakeQuestDb rows(FakeQuestDb::Options{
      .address = address, .port = 0, .script = HttpScript(50, cut)});
  Sender sender = sender_for(rows, "retry_timeout=300;");
  add_rows(sender, 1, 10);
  const auto start = std::chrono::steady_clock::now();
  // Four bytes of the body arrive: a transport failure, retried.
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(with_library_cause(
                  "Could not flush buffer: " + endpoint(rows) + ": <cause>")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(rows.requests().size(), 3U);
  EXPECT_LT(elapsed, 2s);
  faults::record(
      k_peer,
      "cut mid-way (in the body), every time",
      "library, budget 300 ms: " + std::to_string(rows.requests().size())
          + " requests, then IngressError \"…transfer closed with "
            "N bytes remaining to read\"",
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed));
}

TEST_F(StoreWriteFaults, ServerErrorsAreRetriedAndThenSucceed) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto busy = HttpReply::json(
      R"({"code":"internal error","message":"table busy","errorId":"e1-1"})",
      500);
  const auto unavailable = HttpReply::text(503, "Service Unavailable");
  FakeStore store(
      address, faults::complete_table(), HttpScript{busy, unavailable});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err, "");
  const auto requests = store.rows->requests();
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_EQ(requests[0].body, requests[2].body);
  faults::record(k_peer,
                 "5xx (500, 503, then 204)",
                 outcome(r, "retried: 3 requests, rows taken"),
                 r.elapsed);
}

TEST_F(StoreWriteClient, ServerErrorsUntilTheBudgetIsSpentFailTheFlush) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto busy = HttpReply::json(
      R"({"code":"internal error","message":"table busy","errorId":"e1-1"})",
      500);
  FakeQuestDb rows(FakeQuestDb::Options{
      .address = address, .port = 0, .script = HttpScript(100, busy)});
  Sender sender = sender_for(rows, "retry_timeout=300;");
  add_rows(sender, 1, 10);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(
                  Eq("Could not flush buffer: table busy [id: e1-1, code: "
                     "internal error]")));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(rows.requests().size(), 3U);
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 2s);
  faults::record(k_peer,
                 "5xx until the budget is spent",
                 "library, budget 300 ms: "
                     + std::to_string(rows.requests().size())
                     + " requests, then IngressError with the store's message "
                       "(a run: 10 s, then one \"Erro: \" line, OK)",
                 elapsed);
}

TEST_F(StoreWriteFaults, RefusedRowsAreReportedOnceAndNotRetried) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const std::string message =
      "failed to parse line protocol:errors encountered on line(s):\\nerror "
      "in line 1: table: tarvoClientes, column: idCliente; cast error from "
      "protocol type: FLOAT to column type: INT";
  FakeStore store(address,
                  faults::complete_table(),
                  HttpScript{HttpReply::json(
                      R"({"code":"invalid","message":")" + message
                          + R"(","line":1,"errorId":"a1b2c3d4e5f6-7"})",
                      400)});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(
      r.err,
      "Erro: Could not flush buffer: failed to parse line protocol:errors "
      "encountered on line(s):\nerror in line 1: table: tarvoClientes, "
      "column: idCliente; cast error from protocol type: FLOAT to column "
      "type: INT [id: a1b2c3d4e5f6-7, code: invalid, line: 1]\n");
  EXPECT_EQ(store.rows->requests().size(), 1U);
  faults::record(k_peer,
                 "4xx (400, the store's JSON error)",
                 outcome(r, "1 request, rows lost"),
                 r.elapsed);
}

TEST_F(StoreWriteFaults, CredentialsRefusedAreReportedOnce) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table(), HttpScript{}, "outra");
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err,
            "Erro: Could not flush buffer: HTTP endpoint authentication error: "
            "Unauthorized [code: 401]\n");
  EXPECT_EQ(store.rows->requests().size(), 1U);
  faults::record(k_peer,
                 "credentials refused (401)",
                 outcome(r, "1 request, rows lost"),
                 r.elapsed);
}

TEST_F(StoreWriteFaults, EndpointClosingBeforeTheBodyIsRetried) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address,
                  faults::complete_table(),
                  HttpScript{HttpReply::close_at_head()});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_rest_published(r, trapper);
  EXPECT_EQ(r.err, "");
  const auto requests = store.rows->requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(test_support::parse_ilp(requests[1].body).size(), 11U);
  faults::record(k_peer,
                 "closes early (at the request head), once",
                 outcome(r, "retried, rows taken"),
                 r.elapsed);
}

TEST_F(StoreWriteClient, LargeBodyToAClosedConnectionIsAnErrorNotSigpipe) {
  // SIGPIPE keeps its default action in this process.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeQuestDb rows(FakeQuestDb::Options{
      .address = address, .port = 0, .script = {HttpReply::close_at_head()}});
  Sender sender = sender_for(rows, "retry_timeout=0;");
  add_rows(sender, 64, 128U * 1024U); // 8 MiB
  EXPECT_THAT([&] { sender.flush(); },
              ThrowsMessage<IngressError>(StartsWith(
                  "Could not flush buffer: " + endpoint(rows) + ": ")));
  EXPECT_EQ(rows.requests().size(), 1U);
}

} // namespace
