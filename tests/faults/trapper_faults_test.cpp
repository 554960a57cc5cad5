// The Zabbix trapper as a faulty peer: the pass ends at the first failed
// send, what was sent stays sent, the store is never reached.
#include "faults/fault_matrix.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "monitoring/zabbix_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using faults::FakeStore;
using faults::outcome;
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
};

// The sender alone, with time-outs short enough for a test.
class TrapperClient : public ::testing::Test {};

TEST_F(TrapperFaults, RefusedConnectionEndsTheRunAtTheFirstSend) {
  const auto address = faults::fault_address(k_file, __LINE__);
  const auto port = faults::unused_port(address);
  FakeStore store(address, faults::complete_table());
  const auto r = run(settings(address, store.rows_port()),
                     address + ":" + std::to_string(port));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: enviar ao Zabbix " + address + ":"
                + std::to_string(port)
                + " (chave titulos_totais_em_atraso): conexão recusada\n");
  expect_store_untouched(store);
  faults::record(k_peer, "refused", outcome(r, sent_text(0)), r.elapsed);
}

TEST_F(TrapperFaults, RefusedHalfWayKeepsWhatWasSent) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  trapper.stop_listening_after(5);
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const auto sent = keys(trapper);
  ASSERT_EQ(sent.size(), 5U);
  EXPECT_EQ(sent[4], "discovery_clientes");
  EXPECT_THAT(r.err,
              ::testing::MatchesRegex("Falha na execução: enviar ao Zabbix "
                                      "127\\.0\\.0\\.1:[0-9]+ \\(chave "
                                      "valor_divida\\[-?[0-9]+\\]\\): "
                                      "conexão recusada\n"));
  expect_store_untouched(store);
  faults::record(k_peer,
                 "refused from the 6th send on",
                 outcome(r, sent_text(5)),
                 r.elapsed);
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
  FakeTrapper trapper(Script{
      Reply::ok(), Reply::ok(), Reply::ok(), Reply::ok(), Reply::garbage()});
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            prefix(trapper, "discovery_clientes")
                + "resposta sem o cabeçalho ZBXD\n");
  EXPECT_EQ(trapper.received().size(), 5U);
  expect_store_untouched(store);
  faults::record(k_peer,
                 "garbage (HTTP reply to the document)",
                 outcome(r, sent_text(5)),
                 r.elapsed);
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

TEST_F(TrapperFaults, HostOrSenderNotAllowedIsNoFailure) {
  // The trapper has no credentials of its own: a host it does not know, or
  // a sender address outside the item's allowed hosts, is counted as failed
  // in a "success" reply.
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper(Script(faults::k_fixture_sends, Reply::failed_items()));
  const auto r = run(settings(address, store.rows_port()),
                     faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(trapper.received().size(), faults::k_fixture_sends);
  EXPECT_EQ(store.rows_received(), 11U);
  faults::record(k_peer,
                 "credentials refused (host not allowed: failed: 1)",
                 outcome(r, "accepted as sent; 11 rows written"),
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

} // namespace
