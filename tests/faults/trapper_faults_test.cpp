// The Zabbix trapper as a faulty peer: the pass ends at the first failed
// send, what was sent stays sent, the store is never reached.
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "faults/tls_peers.h"
#include "monitoring/sender_settings.h"
#include "monitoring/zabbix_sender.h"
#include "support/library_words.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using faults::FakeStore;
using faults::outcome;
using faults::unused_port;
using monitoring::send_zabbix;
using monitoring::SenderTimeouts;
using monitoring::ZabbixError;
using monitoring::ZabbixServer;
using test_support::FakeTrapper;
using test_support::Reply;
using test_support::Script;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using namespace std::chrono_literals;

constexpr int k_file = 2;
constexpr std::string_view k_peer = "Zabbix trapper";

// The fixed reply of the trapper double, as the client reads it.
const std::size_t k_ok_payload = Reply::ok_bytes().size() - 13;

class TrapperFaults : public faults::FaultRun {
protected:
  static std::string prefix(const FakeTrapper& trapper, std::string_view key) {
    return "Falha na execução: enviar ao Zabbix 127.0.0.1:"
           + std::to_string(trapper.port()) + " (chave " + std::string(key)
           + "): ";
  }

  // A failed send ends the pass: the store is never asked anything.
  static void expect_store_untouched(const FakeStore& store) {
    EXPECT_TRUE(store.sql->requests().empty());
    EXPECT_TRUE(store.rows->requests().empty());
  }

  // Values received, over every request.
  static std::size_t values(const FakeTrapper& trapper) {
    std::size_t count = 0;
    for (const auto& request : trapper.received()) {
      count += request.items.size();
    }
    return count;
  }

  static std::vector<std::string> keys(const FakeTrapper& trapper) {
    std::vector<std::string> out;
    for (const auto& r : trapper.received()) {
      out.push_back(r.key);
    }
    return out;
  }

  static std::string sent_text(std::size_t n) {
    return std::to_string(n) + " sent stay sent, store untouched";
  }

  // The sender's two ways of filling requests: where their outcomes differ,
  // a fault is tried in both.
  struct Mode {
    const char* batch; // ZABBIX_BATCH_SIZE, or nullptr for the default
    const char* row;   // what the matrix row adds to the fault's name
  };
  static constexpr Mode k_per_value{nullptr, ""};
  static constexpr Mode k_batched{"250", " (batches of 250)"};

  support::RunResult run_in(const Mode& mode,
                            const console::RunSettings& s,
                            const std::string& zabbix_server) const {
    support::RunOptions options;
    if (mode.batch != nullptr) {
      options.env.push_back(std::string("ZABBIX_BATCH_SIZE=") + mode.batch);
    }
    return run(s, zabbix_server, options);
  }
};

// The sender alone, with time-outs short enough for a test.
class TrapperClient : public ::testing::Test {};

TEST_F(TrapperFaults, RefusedConnectionEndsTheRunAtTheFirstSend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto port = faults::unused_port(address);
  FakeStore store(address, faults::complete_table());
  struct Case {
    Mode mode;
    const char* request;
  };
  for (const auto& c : {Case{k_per_value, "chave titulos_totais_em_atraso"},
                        Case{k_batched,
                             "4 valores, chaves titulos_totais_em_atraso … "
                             "valor_total_em_aberto"}}) {
    SCOPED_TRACE(c.request);
    const auto r = run_in(c.mode,
                          settings(address, store.rows_port()),
                          address + ":" + std::to_string(port));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Falha na execução: enviar ao Zabbix " + address + ":"
                  + std::to_string(port) + " (" + c.request
                  + "): conexão recusada\n");
    expect_store_untouched(store);
    faults::record(k_peer,
                   std::string("refused") + c.mode.row,
                   outcome(r, sent_text(0)),
                   r.elapsed);
  }
}

TEST_F(TrapperFaults, RefusedHalfWayKeepsWhatWasSent) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  struct Case {
    Mode mode;
    std::size_t answered; // requests answered before the listener goes
    const char* last_key; // of the requests answered
    const char* failed;   // the error's request, as a pattern
  };
  for (const auto& c : {Case{k_per_value,
                             5,
                             "discovery_clientes",
                             "chave valor_divida\\[-?[0-9]+\\]"},
                        Case{k_batched,
                             2,
                             "discovery_clientes",
                             "22 valores, chaves valor_divida\\[-?[0-9]+\\] … "
                             "titulos_em_atraso\\[None\\]"}}) {
    SCOPED_TRACE(c.failed);
    FakeTrapper trapper;
    trapper.stop_listening_after(c.answered);
    const auto r = run_in(c.mode,
                          settings(address, store.rows_port()),
                          faults::zabbix_server_of(trapper));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const auto sent = keys(trapper);
    ASSERT_EQ(sent.size(), c.answered);
    EXPECT_EQ(sent.back(), c.last_key);
    EXPECT_THAT(r.err,
                ::testing::MatchesRegex(std::string("Falha na execução: enviar "
                                                    "ao Zabbix "
                                                    "127\\.0\\.0\\.1:[0-9]+ "
                                                    "\\(")
                                        + c.failed
                                        + "\\): conexão recusada\n"));
    expect_store_untouched(store);
    faults::record(k_peer,
                   "refused after " + std::to_string(c.answered) + " requests"
                       + c.mode.row,
                   outcome(r, sent_text(c.answered)),
                   r.elapsed);
  }
}

TEST_F(TrapperFaults, SilentTrapperEndsTheRunAfterTheSendersOwnTimeOut) {
  // The one place the suite waits out a real time-out of the program: 15 s.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(Script{Reply::ok(), Reply::ok(), Reply::never_answer()});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            prefix(trapper, "titulos_totais_em_aberto")
                + "tempo esgotado aguardando a resposta (15000 ms)\n");
  EXPECT_EQ(trapper.received().size(), 3U);
  EXPECT_GE(r.elapsed, 15s);
  EXPECT_LT(r.elapsed, 18s);
  expect_store_untouched(store);
  faults::record(k_peer,
                 "never answers (3rd send)",
                 outcome(r, sent_text(3) + "; within 15 s reply time-out"),
                 r.elapsed);
}

TEST_F(TrapperFaults, SlowRepliesWithinTheTimeOutAreFine) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(
      Script{Reply::slow(400ms), Reply::trickle(5ms), Reply::slow(200ms)});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  EXPECT_EQ(store.rows_received(), 11U);
  faults::record(k_peer,
                 "slow (400 ms; byte by byte; 200 ms)",
                 outcome(r, "all 27 values and 11 rows sent"),
                 r.elapsed);
}

TEST_F(TrapperClient, SlowBeyondTheReplyTimeOutFailsThatSend) {
  struct Case {
    const char* name;
    Reply reply;
  };
  const std::vector<Case> cases{
      {"whole reply late", Reply::slow(800ms)},
      // The time-out covers the whole reply, not each byte.
      {"bytes dribbling in", Reply::trickle(20ms)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTrapper trapper(Script{c.reply});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(
        [&] {
          send_zabbix(ZabbixServer{"127.0.0.1", trapper.port()},
                      "h",
                      "k",
                      "v",
                      SenderTimeouts{200ms, 200ms});
        },
        ThrowsMessage<ZabbixError>(
            HasSubstr("tempo esgotado aguardando a resposta (200 ms)")));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 700ms);
  }
  faults::record(k_peer,
                 "slow beyond the reply time-out",
                 "library, time-out 200 ms: ZabbixError \"tempo esgotado "
                 "aguardando a resposta (200 ms)\", late or dribbling alike",
                 200ms);
}

TEST_F(TrapperFaults, GarbageReplyEndsTheRunAtThatSend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  struct Case {
    Mode mode;
    std::size_t document; // the request that carries the document
  };
  for (const auto& c : {Case{k_per_value, 5}, Case{k_batched, 2}}) {
    SCOPED_TRACE(c.document);
    Script script(c.document - 1, Reply::ok());
    script.push_back(Reply::garbage());
    FakeTrapper trapper(script);
    const auto r = run_in(c.mode,
                          settings(address, store.rows_port()),
                          faults::zabbix_server_of(trapper));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              prefix(trapper, "discovery_clientes")
                  + "resposta sem o cabeçalho ZBXD\n");
    EXPECT_EQ(trapper.received().size(), c.document);
    expect_store_untouched(store);
    faults::record(k_peer,
                   std::string("garbage (HTTP reply to the document)")
                       + c.mode.row,
                   outcome(r, sent_text(c.document)),
                   r.elapsed);
  }
}

TEST_F(TrapperFaults, ReplyCutInTheBodyEndsTheRunAtThatSend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(Script{Reply::ok(), Reply::cut(20)});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            prefix(trapper, "valor_total_divida") + "resposta curta (7 de "
                + std::to_string(k_ok_payload) + " bytes)\n");
  EXPECT_EQ(trapper.received().size(), 2U);
  expect_store_untouched(store);
  faults::record(k_peer,
                 "cut mid-way (20 bytes of the reply)",
                 outcome(r, sent_text(2)),
                 r.elapsed);
}

TEST_F(TrapperClient, UnansweredConnectFailsAfterTheConnectTimeOut) {
  // 3 s in a run, per resolved address.
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::UnansweredSyns peer(address);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(
      [&] {
        send_zabbix(ZabbixServer{address, peer.port()},
                    "h",
                    "k",
                    "v",
                    SenderTimeouts{200ms, 200ms});
      },
      ThrowsMessage<ZabbixError>(
          HasSubstr("(chave k): tempo esgotado ao conectar (200 ms)")));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(elapsed, 190ms);
  EXPECT_LT(elapsed, 1s);
  faults::record(k_peer,
                 "never answers the connection (SYN dropped)",
                 "library, connect time-out 200 ms (3 s in a run): "
                 "ZabbixError \"tempo esgotado ao conectar (200 ms)\"",
                 elapsed);
}

TEST_F(TrapperClient, ClusterNodeThatNeverConnectsCostsOneConnectTimeOut) {
  // The node that took a request takes the next ones: the silent node is
  // waited for once per run, not once per request.
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::UnansweredSyns black_hole(address);
  FakeTrapper trapper;
  const monitoring::ZabbixSender sender(
      {ZabbixServer{address, black_hole.port()},
       ZabbixServer{"127.0.0.1", trapper.port()}},
      monitoring::SenderOptions{SenderTimeouts{200ms, 200ms}, 1, {}});
  const auto timed_send = [&](const char* key) {
    monitoring::Request request("h");
    request.add(key, "v");
    const auto start = std::chrono::steady_clock::now();
    sender.send(request);
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  };
  const auto first = timed_send("k1");
  EXPECT_GE(first, 190ms);
  EXPECT_LT(timed_send("k2"), 150ms);
  EXPECT_EQ(trapper.received().size(), 2U);
  faults::record(k_peer,
                 "cluster: first node never answers the connection",
                 "library, connect time-out 200 ms (3 s in a run): the "
                 "second node takes the request and the ones after it",
                 first);
}

TEST_F(TrapperClient, ClusterWithNoNodeToBeReachedNamesEveryNode) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const faults::UnansweredSyns black_hole(address);
  const auto refusing = faults::unused_port(address);
  const monitoring::ZabbixSender sender(
      {ZabbixServer{address, refusing},
       ZabbixServer{"nonexistent.invalid", 10051},
       ZabbixServer{address, black_hole.port()}},
      monitoring::SenderOptions{SenderTimeouts{200ms, 200ms}, 1, {}});
  monitoring::Request request("h");
  request.add("k", "v");
  const auto start = std::chrono::steady_clock::now();
  try {
    sender.send(request);
    ADD_FAILURE() << "no ZabbixError";
  } catch (const ZabbixError& e) {
    const auto node = [&](std::uint16_t port) {
      return address + ":" + std::to_string(port);
    };
    EXPECT_EQ(e.server(),
              node(refusing) + ";nonexistent.invalid:10051;"
                  + node(black_hole.port()));
    EXPECT_EQ(e.request(), "chave k");
    EXPECT_THAT(e.reason(),
                ::testing::MatchesRegex(
                    "nenhum nó aceitou a conexão: " + node(refusing)
                    + ": conexão recusada; nonexistent\\.invalid:10051: nome "
                      "não resolvido: .*; "
                    + node(black_hole.port())
                    + ": tempo esgotado ao conectar \\(200 ms\\)"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(TrapperClient, FailoverWrapsRoundFromTheNodeThatTookTheLastRequest) {
  // Each request starts at the node that took the one before; when that is
  // the last node, the search wraps round to the first, each node once.
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto node = [&](std::uint16_t port) {
    return address + ":" + std::to_string(port);
  };
  const auto dead = faults::unused_port(address);
  FakeTrapper second;
  FakeTrapper third;
  second.stop_listening_after(1);
  third.stop_listening_after(1);
  const monitoring::ZabbixSender sender(
      {ZabbixServer{address, dead},
       ZabbixServer{"127.0.0.1", second.port()},
       ZabbixServer{"127.0.0.1", third.port()}},
      monitoring::SenderOptions{SenderTimeouts{200ms, 200ms}, 1, {}});
  const auto send = [&](const char* key) {
    monitoring::Request request("h");
    request.add(key, "v");
    sender.send(request);
  };
  send("k1"); // the first node refuses, the second takes it
  send("k2"); // the second is gone, the third takes it
  EXPECT_THAT(
      [&] { send("k3"); },
      ::testing::Throws<ZabbixError>(::testing::Property(
          &ZabbixError::reason,
          Eq("nenhum nó aceitou a conexão: 127.0.0.1:"
             + std::to_string(third.port()) + ": conexão recusada; "
             + node(dead) + ": conexão recusada; 127.0.0.1:"
             + std::to_string(second.port()) + ": conexão recusada"))));
  EXPECT_EQ(second.received().size(), 1U);
  EXPECT_EQ(third.received().size(), 1U);
}

TEST_F(TrapperClient, ReplyCutInTheHeader) {
  FakeTrapper trapper(Script{Reply::cut(7)});
  EXPECT_THAT(
      [&] {
        send_zabbix(ZabbixServer{"127.0.0.1", trapper.port()}, "h", "k", "v");
      },
      ThrowsMessage<ZabbixError>(
          HasSubstr("(chave k): cabeçalho curto na resposta (7 de 13 bytes)")));
}

TEST_F(TrapperFaults, FailedResponseEndsTheRunAtThatSend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(
      Script{Reply::ok(), Reply::ok(), Reply::ok(), Reply::failure()});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            prefix(trapper, "valor_total_em_aberto")
                + "o servidor respondeu \"failed\": cannot parse as a valid "
                  "JSON object\n");
  EXPECT_EQ(trapper.received().size(), 4U);
  expect_store_untouched(store);
  faults::record(k_peer,
                 "error reply (\"response\":\"failed\")",
                 outcome(r, sent_text(4)),
                 r.elapsed);
}

TEST_F(TrapperFaults, RefusedValuesAreReportedAndTheRunGoesOn) {
  // The trapper has no credentials of its own: a host it does not know, a
  // sender address outside the items' allowed hosts or a host that requires
  // encryption are counted as failed in a "success" reply.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  const std::string host_hint =
      "Aviso: o servidor Zabbix recusou 27 de 27 valores do host "
      "\"pop-centro\", entre eles os totais ou a descoberta: confira se "
      "existe um host com esse nome exato, se o template está vinculado a "
      "ele, se os hosts permitidos dos itens incluem este coletor e se o host "
      "exige criptografia.\n";
  struct Case {
    const char* fault;
    Mode mode;
    Script script;
    std::string warning;
  };
  const std::vector<Case> cases{
      {"credentials refused (every value failed)",
       k_per_value,
       Script(faults::k_fixture_sends, Reply::failed_items()),
       host_hint},
      {"credentials refused (every value failed)",
       k_batched,
       Script(3, Reply::failed_items()),
       host_hint},
      // The clients this run discovered have no items yet.
      {"credentials refused (clients' values failed)",
       k_batched,
       Script{Reply::ok(), Reply::ok(), Reply::failed_items()},
       "Aviso: o servidor Zabbix recusou 22 de 27 valores do host "
       "\"pop-centro\", todos de clientes: é o esperado para os clientes "
       "descobertos nesta execução, cujos itens só passam a existir a partir "
       "da próxima.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + c.mode.row);
    FakeTrapper trapper(c.script);
    const auto rows_before = store.rows_received();
    const auto r = run_in(c.mode,
                          settings(address, store.rows_port()),
                          faults::zabbix_server_of(trapper));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.warning);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(store.rows_received() - rows_before, 11U);
    faults::record(k_peer,
                   std::string(c.fault) + c.mode.row,
                   outcome(r, "the run goes on; 11 rows written"),
                   r.elapsed);
  }
}

// A cluster's nodes in ZABBIX_SERVER: a node that cannot be connected to
// hands the request on to the next; every value still lands, once.
TEST_F(TrapperFaults, ClusterNodeThatCannotBeReachedHandsTheValuesOn) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  struct Case {
    const char* fault;
    std::string first_node;
  };
  const std::vector<Case> cases{
      {"cluster: first node refuses",
       address + ":" + std::to_string(faults::unused_port(address))},
      {"cluster: first node's name does not resolve", "nonexistent.invalid"},
  };
  for (const auto& c : cases) {
    for (const Mode& mode : {k_per_value, k_batched}) {
      SCOPED_TRACE(std::string(c.fault) + mode.row);
      FakeTrapper trapper;
      const auto r =
          run_in(mode,
                 settings(address, store.rows_port()),
                 c.first_node + ";" + faults::zabbix_server_of(trapper));
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, "OK\n");
      EXPECT_EQ(values(trapper), faults::k_fixture_sends);
      faults::record(k_peer,
                     std::string(c.fault) + mode.row,
                     outcome(r, "the second node takes every value"),
                     r.elapsed);
    }
  }
}

// A proxy group's member that does not own the host answers with a redirect
// in the middle of the pass: the request is sent again to the owner, which
// takes the rest of the pass; every value lands once, no refusal is counted.
TEST_F(TrapperFaults, RedirectMidPassMovesTheRestOfThePassToTheOwner) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  struct Case {
    Mode mode;
    std::size_t answered_first; // requests the first trapper answers
  };
  // Per value: the totals' first value; in batches: the totals and the
  // document, then the clients' batch is redirected.
  for (const auto& c : {Case{k_per_value, 1}, Case{k_batched, 2}}) {
    SCOPED_TRACE(std::string("redirect mid-pass") + c.mode.row);
    FakeTrapper owner;
    FakeTrapper member;
    Script script(c.answered_first, Reply::ok());
    script.push_back(Reply::redirect(faults::zabbix_server_of(owner), 1));
    member.follow(std::move(script));
    const std::size_t rows_before = store.rows->requests().size();
    const auto r = run_in(c.mode,
                          settings(address, store.rows_port()),
                          faults::zabbix_server_of(member));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "OK\n");
    const auto at_member = member.received();
    const auto at_owner = owner.received();
    ASSERT_EQ(at_member.size(), c.answered_first + 1);
    ASSERT_FALSE(at_owner.empty());
    EXPECT_EQ(at_owner.front().raw, at_member.back().raw);
    EXPECT_EQ(values(member) - at_member.back().items.size() + values(owner),
              faults::k_fixture_sends);
    EXPECT_EQ(store.rows->requests().size(), rows_before + 1);
    faults::record(k_peer,
                   std::string("redirect mid-pass") + c.mode.row,
                   outcome(r, "the owner takes the rest, each value once"),
                   r.elapsed);
  }
}

TEST_F(TrapperFaults, ClusterNodeThatFailsMidRequestEndsThePass) {
  // Bytes were written: the values may have reached the first node, so they
  // must not go to a second one.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper first(Script{Reply::close_early()});
  FakeTrapper second;
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(first) + ";"
                         + faults::zabbix_server_of(second));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            prefix(first, "titulos_totais_em_atraso")
                + "conexão fechada sem resposta\n");
  EXPECT_EQ(first.received().size(), 1U);
  EXPECT_TRUE(second.received().empty());
  expect_store_untouched(store);
  faults::record(k_peer,
                 "cluster: first node closes mid-request",
                 outcome(r, "second node untouched, " + sent_text(0)),
                 r.elapsed);
}

TEST_F(TrapperFaults, TrapperClosingBeforeReadingEndsTheRunWithoutASignal) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(Script{Reply::ok(),
                             Reply::ok(),
                             Reply::ok(),
                             Reply::ok(),
                             Reply::close_before_reading()});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err,
              ::testing::StartsWith(prefix(trapper, "discovery_clientes")));
  EXPECT_EQ(trapper.received().size(), 5U);
  expect_store_untouched(store);
  faults::record(k_peer,
                 "closes early (before reading the document)",
                 outcome(r, sent_text(4)),
                 r.elapsed);
}

TEST_F(TrapperClient, LargeRequestToAClosedConnectionIsAnErrorNotSigpipe) {
  // In this process SIGPIPE still has its default action: a write to the
  // closed connection must come back as EPIPE or a reset.
  FakeTrapper trapper(Script{Reply::close_before_reading()});
  const std::string value(8U << 20U, 'x');
  EXPECT_THAT(
      [&] {
        send_zabbix(ZabbixServer{"127.0.0.1", trapper.port()}, "h", "k", value);
      },
      ThrowsMessage<ZabbixError>(HasSubstr("(chave k): ")));
}

// TLS peers that will not, or cannot, complete a handshake, and the checks
// of the server's certificate. openssl s_server plays a server that knows
// another identity or key, or shows another certificate.
class TrapperTls : public TrapperFaults {
protected:
  static constexpr SenderTimeouts k_fast{300ms, 300ms};

  monitoring::SenderOptions psk(const std::string& identity,
                                const std::string& key_file) const {
    return monitoring::sender_options({{"ZABBIX_TLS_CONNECT", "psk"},
                                       {"ZABBIX_TLS_PSK_IDENTITY", identity},
                                       {"ZABBIX_TLS_PSK_FILE", key_file}});
  }

  monitoring::SenderOptions cert(const std::string& subject = {}) const {
    monitoring::SenderEnvironment env{
        {"ZABBIX_TLS_CONNECT", "cert"},
        {"ZABBIX_TLS_CA_FILE", m_files.path("ca.pem")},
        {"ZABBIX_TLS_CERT_FILE", m_files.path("client.pem")},
        {"ZABBIX_TLS_KEY_FILE", m_files.path("client.key")},
        {"ZABBIX_TLS_SERVER_CERT_ISSUER", "CN=Tarvo Test CA"}};
    if (!subject.empty()) {
      env.emplace("ZABBIX_TLS_SERVER_CERT_SUBJECT", subject);
    }
    return monitoring::sender_options(env);
  }

  std::vector<std::string> psk_server(const std::string& identity,
                                      const std::string& hex) const {
    return {"-nocert", "-psk", hex, "-psk_identity", identity};
  }

  std::vector<std::string> cert_server(const std::string& name) const {
    return {"-cert",
            m_files.path(name + ".pem"),
            "-key",
            m_files.path(name + ".key")};
  }

  faults::TlsFiles m_files;
};

TEST_F(TrapperTls, HandshakesThatCannotSucceedFailClearlyWithinTheTimeOut) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const std::string other_key = m_files.path("other_psk.key");
  const std::string other_hex(64, 'a');
  std::ofstream(other_key) << other_hex << "\n";
  const std::string subject = "CN=tarvo-trapper,O=Tarvo";

  struct Case {
    const char* fault;
    std::vector<std::string> server; // s_server's arguments; empty: no s_server
    monitoring::SenderOptions client;
    std::string reason; // what the failure says, from its start
  };
  std::vector<Case> cases;
  cases.push_back({"credentials refused (PSK identity unknown to the server)",
                   psk_server("outra", m_files.psk_hex()),
                   psk("tarvo", m_files.path("psk.key")),
                   "negociação TLS: "});
  cases.push_back({"credentials refused (another PSK)",
                   psk_server("tarvo", other_hex),
                   psk("tarvo", m_files.path("psk.key")),
                   "negociação TLS: "});
  cases.push_back({"credentials refused (server certificate from another CA)",
                   cert_server("foreign"),
                   cert(),
                   "negociação TLS: certificate verify failed (unable to get "
                   "local issuer certificate)"});
  cases.push_back({"credentials refused (server certificate subject differs)",
                   cert_server("server"),
                   cert("CN=outro,O=Tarvo"),
                   "certificado do servidor: assunto \"" + subject
                       + "\", esperado \"CN=outro,O=Tarvo\""});
  // The handshakes that succeed reach the request, which s_server never
  // answers.
  cases.push_back({"never answers (after a PSK handshake)",
                   psk_server("tarvo", m_files.psk_hex()),
                   psk("tarvo", m_files.path("psk.key")),
                   "tempo esgotado aguardando a resposta (300 ms)"});
  cases.push_back({"never answers (after a certificate handshake)",
                   cert_server("server"),
                   cert(subject),
                   "tempo esgotado aguardando a resposta (300 ms)"});
  for (auto& c : cases) {
    SCOPED_TRACE(c.fault);
    c.client.timeouts = k_fast;
    const faults::OpenSslServer server(address, c.server);
    const monitoring::ZabbixSender sender(ZabbixServer{address, server.port()},
                                          std::move(c.client));
    monitoring::Request request("pop-centro");
    request.add("titulos_totais_em_atraso", "3");
    const auto start = std::chrono::steady_clock::now();
    try {
      sender.send(request);
      ADD_FAILURE() << "no ZabbixError";
    } catch (const ZabbixError& e) {
      EXPECT_THAT(e.reason(), ::testing::StartsWith(c.reason));
      EXPECT_EQ(std::string(e.what()).find(m_files.psk_hex()),
                std::string::npos);
      EXPECT_EQ(std::string(e.what()).find(other_hex), std::string::npos);
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now() - start);
      EXPECT_LT(elapsed, 1s);
      faults::record("Zabbix trapper (TLS)",
                     c.fault,
                     "library, time-outs 300 ms: ZabbixError \"" + e.reason()
                         + "\"",
                     elapsed);
    }
  }
}

TEST_F(TrapperTls, PeersThatTakeTheConnectionButNotTheHandshake) {
  const auto address = faults::fault_address(k_file, __LINE__);
  // Each sender takes its options, key included, for itself.
  const auto client = [&] {
    auto options = psk("tarvo", m_files.path("psk.key"));
    options.timeouts = k_fast;
    return options;
  };
  {
    SCOPED_TRACE("silent");
    const faults::SilentPeer peer(address);
    const monitoring::ZabbixSender sender(ZabbixServer{address, peer.port()},
                                          client());
    monitoring::Request request("pop-centro");
    request.add("k", "v");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT([&] { sender.send(request); },
                ThrowsMessage<ZabbixError>(HasSubstr(
                    "(chave k): tempo esgotado na negociação TLS (300 ms)")));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 1s);
    faults::record("Zabbix trapper (TLS)",
                   "never answers the handshake",
                   "library, reply time-out 300 ms (15 s in a run): "
                   "ZabbixError \"tempo esgotado na negociação TLS (300 ms)\"",
                   elapsed);
  }
  {
    SCOPED_TRACE("closes");
    // Reads the first bytes of the handshake as if they were a request,
    // then closes.
    FakeTrapper trapper(Script{Reply::close_early()});
    const monitoring::ZabbixSender sender(
        ZabbixServer{"127.0.0.1", trapper.port()}, client());
    monitoring::Request request("pop-centro");
    request.add("k", "v");
    EXPECT_THAT(
        [&] { sender.send(request); },
        ThrowsMessage<ZabbixError>(HasSubstr("(chave k): negociação TLS: ")));
    faults::record("Zabbix trapper (TLS)",
                   "closes early (mid-handshake)",
                   "library: ZabbixError \"negociação TLS: …\"",
                   0ms);
  }
}

TEST_F(TrapperTls, ARunOverPskReachesAClusterNodeThatSpeaksTls) {
  // The same credentials serve every node and every redirect's address: a
  // first node that refuses, or one that redirects to the owner; the owner
  // terminates TLS with the key and takes every value, in both modes.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  const auto refusing = address + ":" + std::to_string(unused_port(address));
  const test_support::TrapperPsk psk{"tarvo", m_files.psk_hex()};
  for (const bool redirect : {false, true}) {
    for (const Mode& mode : {k_per_value, k_batched}) {
      const std::string row =
          std::string(redirect ? "redirect: PSK to the owner"
                               : "cluster: PSK to the second node")
          + mode.row;
      SCOPED_TRACE(row);
      FakeTrapper trapper(Script{}, psk);
      FakeTrapper member(
          Script{Reply::redirect(faults::zabbix_server_of(trapper), 1)}, psk);
      support::RunOptions options;
      options.env = {"ZABBIX_TLS_CONNECT=psk",
                     "ZABBIX_TLS_PSK_IDENTITY=tarvo",
                     "ZABBIX_TLS_PSK_FILE=" + m_files.path("psk.key")};
      if (mode.batch != nullptr) {
        options.env.push_back(std::string("ZABBIX_BATCH_SIZE=") + mode.batch);
      }
      const auto r = run(settings(address, store.rows_port()),
                         redirect ? faults::zabbix_server_of(member)
                                  : refusing + ";"
                                        + faults::zabbix_server_of(trapper),
                         options);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "OK\n");
      EXPECT_EQ(values(trapper), faults::k_fixture_sends);
      faults::record("Zabbix trapper (TLS)",
                     row,
                     outcome(r, "every value arrives through TLS"),
                     r.elapsed);
    }
  }
}

TEST_F(TrapperTls, ARunWhoseHandshakeIsRefusedNeverShowsTheKey) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  const faults::OpenSslServer server(address,
                                     psk_server("outra", m_files.psk_hex()));
  support::RunOptions options;
  options.env = {"ZABBIX_BATCH_SIZE=250",
                 "ZABBIX_TLS_CONNECT=psk",
                 "ZABBIX_TLS_PSK_IDENTITY=tarvo",
                 "ZABBIX_TLS_PSK_FILE=" + m_files.path("psk.key")};
  const auto r = run(settings(address, store.rows_port()),
                     address + ":" + std::to_string(server.port()),
                     options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(
      r.err,
      ::testing::StartsWith("Falha na execução: enviar ao Zabbix " + address
                            + ":" + std::to_string(server.port())
                            + " (4 valores, chaves titulos_totais_em_atraso … "
                              "valor_total_em_aberto): negociação TLS: "));
  EXPECT_EQ(r.out.find(m_files.psk_hex()), std::string::npos);
  EXPECT_EQ(r.err.find(m_files.psk_hex()), std::string::npos);
  expect_store_untouched(store);
  faults::record("Zabbix trapper (TLS)",
                 "credentials refused (PSK identity), a run in batches",
                 outcome(r, "nothing sent, store untouched, key not shown"),
                 r.elapsed);
}

TEST_F(TrapperTls, UnusableCredentialsAreAClearErrorBeforeAnySend) {
  struct Case {
    const char* name;
    const char* variable; // replaced in a complete certificate setting
    std::string value;
    std::string error;
  };
  const std::vector<Case> cases{
      {"CA file absent",
       "ZABBIX_TLS_CA_FILE",
       m_files.path("absent.pem"),
       "ZABBIX_TLS_CA_FILE=\"" + m_files.path("absent.pem") + "\": <cause>"},
      {"certificate file holds a key",
       "ZABBIX_TLS_CERT_FILE",
       m_files.path("client.key"),
       "ZABBIX_TLS_CERT_FILE=\"" + m_files.path("client.key") + "\": <cause>"},
      {"key of another certificate",
       "ZABBIX_TLS_KEY_FILE",
       m_files.path("server.key"),
       "ZABBIX_TLS_KEY_FILE=\"" + m_files.path("server.key")
           + "\": a chave não corresponde ao certificado de "
             "ZABBIX_TLS_CERT_FILE"},
      {"revocation list absent",
       "ZABBIX_TLS_CRL_FILE",
       m_files.path("absent.crl"),
       "ZABBIX_TLS_CRL_FILE=\"" + m_files.path("absent.crl") + "\": <cause>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    monitoring::SenderEnvironment env{
        {"ZABBIX_TLS_CONNECT", "cert"},
        {"ZABBIX_TLS_CA_FILE", m_files.path("ca.pem")},
        {"ZABBIX_TLS_CERT_FILE", m_files.path("client.pem")},
        {"ZABBIX_TLS_KEY_FILE", m_files.path("client.key")}};
    env[c.variable] = c.value;
    EXPECT_THAT(
        [&] {
          const monitoring::ZabbixSender sender(
              ZabbixServer{"127.0.0.1", 1}, monitoring::sender_options(env));
        },
        ThrowsMessage<ZabbixError>(test_support::with_library_cause(c.error)));
  }
}

} // namespace
