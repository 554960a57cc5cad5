// The store's SQL endpoint as a faulty peer: a failed request prints its
// "Error: " line and the upkeep goes on; only a creation reply that is not
// JSON ends the run.
#include "cli/collection_pass.h"
#include "cli/runtime_limiter.h"
#include "console/deadline.h"
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "support/library_words.h"
#include "timeseries/table_upkeep.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using faults::FakeStore;
using faults::outcome;
using test_support::FakeQuestDb;
using test_support::FakeTrapper;
using test_support::HttpReply;
using test_support::HttpScript;
using test_support::with_library_cause;
using ::testing::Eq;
using ::testing::ThrowsMessage;
using namespace std::chrono_literals;

constexpr int k_file = 3;
constexpr std::string_view k_peer = "store /exec";

class StoreSqlFaults : public faults::FaultRun {
protected:
  static std::vector<std::string> queries(const FakeQuestDb& sql) {
    std::vector<std::string> out;
    for (const auto& request : sql.requests()) {
      out.push_back(request.param("query"));
    }
    return out;
  }

  // The listing, then the creation statement, nothing else.
  static void expect_listing_then_creation(const FakeQuestDb& sql) {
    EXPECT_EQ(
        queries(sql),
        (std::vector<std::string>{"SHOW COLUMNS FROM tarvoClientes",
                                  std::string(timeseries::k_create_table)}));
  }

  // The rest of the pass is unaffected: every value, every row, "OK".
  static void expect_published(const support::RunResult& r,
                               const FakeTrapper& trapper,
                               const FakeStore& store) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
    EXPECT_EQ(store.rows_received(), 11U);
  }
};

TEST_F(StoreSqlFaults, RefusedSqlPrintsTwoErrorLinesAndRowsStillGo) {
  const auto address = faults::fault_address(k_file, __LINE__);
  // Rows have a listener; port 9000 of this address has none.
  FakeQuestDb rows(
      FakeQuestDb::Options{.address = address, .port = 0, .script = {}});
  FakeTrapper trapper;
  const auto r = run(settings(address, std::to_string(rows.port())),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // libcurl's own words name the address and port; the program owns the
  // prefix and the two printings.
  EXPECT_THAT(r.out, with_library_cause("Error: <cause>\nError: <cause>\nOK\n"));
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  ASSERT_EQ(rows.requests().size(), 1U);
  faults::record(
      k_peer, "refused", outcome(r, "27 values and 11 rows sent"), r.elapsed);
}

TEST_F(StoreSqlFaults, SilentSqlEndpointIsStoppedByTheRunBound) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, HttpScript{HttpReply::never_answer()});
  FakeTrapper trapper;
  const auto s = settings(address, store.rows_port());
  std::ostringstream out;
  std::ostringstream err;
  const auto start = std::chrono::steady_clock::now();
  // No time-out of its own: only the bound (300 s in a run) stops it.
  EXPECT_THAT(
      [&] {
        const cli::runtime_limiter guard(1000ms);
        cli::run_collection_pass(
            s, {{"ZABBIX_SERVER", faults::zabbix_server_of(trapper)}}, out, err);
      },
      ThrowsMessage<console::TimeoutException>(
          Eq(std::string(faults::k_timeout_line))));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(elapsed, 1000ms);
  EXPECT_LT(elapsed, 4s);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  // The bound is no reason to create the table.
  EXPECT_EQ(queries(*store.sql),
            std::vector<std::string>{"SHOW COLUMNS FROM tarvoClientes"});
  EXPECT_TRUE(store.rows->requests().empty());
  faults::record(k_peer,
                 "never answers",
                 "library, bound 1 s: TimeoutException during the listing; "
                 "27 sent stay sent; no creation, no rows, no OK",
                 elapsed);
}

TEST_F(StoreSqlFaults, SlowAndDribblingListingIsFine) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(
      address,
      HttpScript{HttpReply::column_listing(15).after(300ms).trickled(1ms)});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_published(r, trapper, store);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(store.sql->requests().size(), 1U);
  faults::record(k_peer,
                 "slow (300 ms, then byte by byte)",
                 outcome(r, "complete table, nothing more sent"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, ListingThatIsNotJsonLeadsToTheCreationStatement) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address,
                  HttpScript{HttpReply::text(
                      200, "<html><body>gateway</body></html>", "text/html")});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_published(r, trapper, store);
  EXPECT_EQ(r.out, "OK\n");
  expect_listing_then_creation(*store.sql);
  faults::record(k_peer,
                 "garbage body (HTML) to the listing",
                 outcome(r, "creation sent, rows written"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, NonHttpBytesAreRequestFailures) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address,
                  HttpScript{HttpReply::garbage("SSH-2.0-OpenSSH_9.2p1\r\n"),
                             HttpReply::garbage("SSH-2.0-OpenSSH_9.2p1\r\n")});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_published(r, trapper, store);
  EXPECT_EQ(r.out,
            "Error: Received HTTP/0.9 when not allowed\n"
            "Error: Received HTTP/0.9 when not allowed\n"
            "OK\n");
  expect_listing_then_creation(*store.sql);
  faults::record(k_peer,
                 "garbage (not HTTP) to listing and creation",
                 outcome(r, "rows written"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, CreationReplyThatIsNotJsonEndsTheRun) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto html =
      HttpReply::text(502, "<html>Bad Gateway</html>", "text/html");
  FakeStore store(address, HttpScript{html, html});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: http://" + address
                + ":9000/exec answered HTTP 502 text/html: Bad Gateway\n");
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  expect_listing_then_creation(*store.sql);
  EXPECT_TRUE(store.rows->requests().empty());
  faults::record(k_peer,
                 "garbage (HTML 502) to listing and creation",
                 outcome(r, "27 sent stay sent; no rows, no OK"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, ReplyCutMidWayIsARequestFailure) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address,
                  HttpScript{HttpReply::column_listing(15).cut_at(120)});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_published(r, trapper, store);
  EXPECT_THAT(r.out, with_library_cause("Error: <cause>\nOK\n"));
  expect_listing_then_creation(*store.sql);
  faults::record(k_peer,
                 "cut mid-way (120 bytes of the listing)",
                 outcome(r, "creation sent, rows written"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, ErrorStatusWithJsonIsReadLikeAnyReply) {
  struct Case {
    const char* fault;
    HttpReply listing;
  };
  const std::vector<Case> cases{
      {"5xx (500 with the store's JSON error)",
       HttpReply::json(R"({"query":"SHOW COLUMNS FROM tarvoClientes",)"
                       R"("error":"internal error","position":0})",
                       500)},
      {"4xx (400 table does not exist)",
       HttpReply::json(
           R"({"query":"SHOW COLUMNS FROM tarvoClientes",)"
           R"("error":"table does not exist [table=tarvoClientes]",)"
           R"("position":18})",
           400)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const auto address = faults::fault_address(k_file, __LINE__);
    FakeStore store(address, HttpScript{c.listing});
    FakeTrapper trapper;
    const auto r = run(settings(address, store.rows_port()),
                       faults::zabbix_server_of(trapper));
    expect_published(r, trapper, store);
    EXPECT_EQ(r.out, "OK\n");
    expect_listing_then_creation(*store.sql);
    faults::record(k_peer,
                   c.fault,
                   outcome(r, "no \"dataset\": creation sent, rows written"),
                   r.elapsed);
  }
}

TEST_F(StoreSqlFaults, CredentialsRefusedEndTheRunAtTheCreationStatement) {
  // The store's 401 body is plain text: the listing's parse failure leads to
  // the creation statement, whose own parse failure leaves the pass.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, HttpScript{}, HttpScript{}, "sentinelKQ", "outra");
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: http://" + address
                + ":9000/exec answered HTTP 401 text/plain: Unauthorized\n");
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  expect_listing_then_creation(*store.sql);
  for (const auto& request : store.sql->requests()) {
    EXPECT_FALSE(request.authorized);
  }
  EXPECT_TRUE(store.rows->requests().empty());
  faults::record(k_peer,
                 "credentials refused (401 text)",
                 outcome(r, "27 sent stay sent; no rows, no OK"),
                 r.elapsed);
}

TEST_F(StoreSqlFaults, ConnectionClosedWithoutReplyIsARequestFailure) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, HttpScript{HttpReply::close_without_reply()});
  FakeTrapper trapper;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  expect_published(r, trapper, store);
  EXPECT_THAT(r.out, with_library_cause("Error: <cause>\nOK\n"));
  expect_listing_then_creation(*store.sql);
  faults::record(k_peer,
                 "closes early (no reply to the listing)",
                 outcome(r, "creation sent, rows written"),
                 r.elapsed);
}

} // namespace
