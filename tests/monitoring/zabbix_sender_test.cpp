#include "console/deadline.h"
#include "monitoring/sender_settings.h"
#include "monitoring/zabbix_sender.h"
#include "monitoring/zabbix_server.h"
#include "support/fake_trapper.h"
#include "support/scratch_dir.h"
#include "support/sockets.h"
#include "transport/fd.h"
#include "support/library_words.h"

#include <arpa/inet.h>
#include <chrono>
#include <array>
#include <fstream>
#include <map>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <variant>
#include <vector>

namespace {

using monitoring::parse_zabbix_server;
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

std::string port_text(std::uint16_t port) {
  return std::to_string(port);
}

class ZabbixSenderTest : public ::testing::Test {
protected:
  void TearDown() override { console::deadline::disarm(); }

  static ZabbixServer local(std::uint16_t port) {
    return ZabbixServer{"127.0.0.1", port};
  }

  // A failed one-value exchange with the server on 127.0.0.1:port, by the
  // facts the error carries.
  template <class ReasonMatcher>
  static auto failed_exchange(std::uint16_t port,
                              const std::string& key,
                              ReasonMatcher reason) {
    return ::testing::Throws<ZabbixError>(::testing::AllOf(
        ::testing::Property(&ZabbixError::server,
                            Eq("127.0.0.1:" + port_text(port))),
        ::testing::Property(&ZabbixError::request, Eq("chave " + key)),
        ::testing::Property(&ZabbixError::reason, reason)));
  }

  static constexpr SenderTimeouts k_fast{200ms, 200ms};
};

TEST_F(ZabbixSenderTest, FrameIsHeaderLittleEndianLengthAndJson) {
  FakeTrapper trapper;
  send_zabbix(local(trapper.port()), "pop-01", "titulos_totais_em_atraso", "3");
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), 1U);
  const std::string body =
      R"({"request":"sender data","data":[{"host":"pop-01","key":"titulos_totais_em_atraso","value":"3"}]})";
  EXPECT_EQ(received[0].raw, Reply::framed(body).bytes());
  EXPECT_EQ(received[0].host, "pop-01");
  EXPECT_EQ(received[0].key, "titulos_totais_em_atraso");
  EXPECT_EQ(received[0].value, "3");
}

TEST_F(ZabbixSenderTest, LengthAboveOneByteIsLittleEndian) {
  FakeTrapper trapper;
  const std::string value(300, 'x');
  send_zabbix(local(trapper.port()), "h", "k", value);
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), 1U);
  const std::string body =
      R"({"request":"sender data","data":[{"host":"h","key":"k","value":")"
      + value + "\"}]}";
  ASSERT_GT(body.size(), 255U);
  EXPECT_EQ(received[0].raw, Reply::framed(body).bytes());
}

TEST_F(ZabbixSenderTest, AwkwardTextArrivesExactly) {
  FakeTrapper trapper;
  const std::vector<std::string> values{
      "aspas \" e \\ barra\nnova linha\r\ttab",
      "Construções Ltda — 𝄞",
      R"({"data": [{"{#RAZAOSOCIAL}": "Constru\u00e7\u00f5es"}]})",
      "",
  };
  for (const auto& value : values) {
    send_zabbix(local(trapper.port()), "hóst", "valor_divida[42]", value);
  }
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(values[i]);
    EXPECT_EQ(received[i].host, "hóst");
    EXPECT_EQ(received[i].key, "valor_divida[42]");
    EXPECT_EQ(received[i].value, values[i]);
  }
}

TEST_F(ZabbixSenderTest, HostNameWithSeveralAddressesTriesEach) {
  // "localhost" may resolve to ::1 before 127.0.0.1; the trapper is on the
  // latter.
  FakeTrapper trapper;
  send_zabbix(ZabbixServer{"localhost", trapper.port()}, "h", "k", "v");
  EXPECT_EQ(trapper.received().size(), 1U);
}

TEST_F(ZabbixSenderTest, SeveralValuesTravelInOneRequest) {
  FakeTrapper trapper(Script{Reply::ok(), Reply::failure()});
  const monitoring::ZabbixSender sender(local(trapper.port()));
  const std::vector<test_support::Item> items{
      {"pop-01", "valor_divida[1]", "10.5"},
      {"pop-01", "titulos_em_atraso[1]", "2"},
      {"pop-01", "valor_divida[2]", "Construções"},
  };
  const auto fill = [&] {
    monitoring::Request request("pop-01");
    for (const auto& item : items) {
      request.add(item.key, item.value);
    }
    return request;
  };
  auto first = fill();
  const auto answer = sender.send(first);
  ASSERT_TRUE(answer.counts.has_value());
  EXPECT_EQ(answer.counts->processed, 3U);
  EXPECT_EQ(answer.counts->failed, 0U);
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), 1U);
  EXPECT_EQ(received[0].items, items);
  const std::string body =
      R"({"request":"sender data","data":[)"
      R"({"host":"pop-01","key":"valor_divida[1]","value":"10.5"},)"
      R"({"host":"pop-01","key":"titulos_em_atraso[1]","value":"2"},)"
      R"({"host":"pop-01","key":"valor_divida[2]","value":"Constru\u00e7\u00f5es"}]})";
  EXPECT_EQ(received[0].raw, Reply::framed(body).bytes());

  // A failure names the request by its first and last keys.
  auto second = fill();
  try {
    sender.send(second);
    ADD_FAILURE() << "no ZabbixError";
  } catch (const ZabbixError& e) {
    EXPECT_EQ(e.server(), "127.0.0.1:" + port_text(trapper.port()));
    EXPECT_EQ(e.request(),
              "3 valores, chaves valor_divida[1] … valor_divida[2]");
    EXPECT_EQ(e.reason(),
              "o servidor respondeu \"failed\": cannot parse as a valid JSON "
              "object");
  }
}

TEST_F(ZabbixSenderTest, ReplyCountsAreReadFromInfo) {
  struct Case {
    const char* info; // nullptr: no info member
    std::optional<monitoring::ReplyCounts> counts;
  };
  const std::vector<Case> cases{
      {"processed: 3; failed: 1; total: 4; seconds spent: 0.000123",
       monitoring::ReplyCounts{3, 1, 4}},
      {"processed: 0; failed: 250; total: 250; seconds spent: 0.001000",
       monitoring::ReplyCounts{0, 250, 250}},
      {nullptr, std::nullopt},
      {"", std::nullopt},
      {"processed: 3; failed: x; total: 4", std::nullopt},
      {"processed: -1; failed: 1; total: 0", std::nullopt},
      {"failed: 1; processed: 3; total: 4", std::nullopt},
      {"processed: 99999999999999999999; failed: 1; total: 4", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info == nullptr ? "(none)" : c.info);
    std::string payload = R"({"response":"success")";
    if (c.info != nullptr) {
      payload += std::string(R"(,"info":")") + c.info + "\"";
    }
    payload += "}";
    const auto answer = std::get<monitoring::ServerAnswer>(
        monitoring::parse_reply(Reply::framed(payload).bytes()));
    ASSERT_EQ(answer.counts.has_value(), c.counts.has_value());
    if (c.counts) {
      EXPECT_EQ(answer.counts->processed, c.counts->processed);
      EXPECT_EQ(answer.counts->failed, c.counts->failed);
      EXPECT_EQ(answer.counts->total, c.counts->total);
    }
  }
}

TEST_F(ZabbixSenderTest, RefusedConnection) {
  const auto port = test_support::unused_port();
  EXPECT_THAT(
      [&] { send_zabbix(local(port), "h", "titulos_totais_em_atraso", "1"); },
      failed_exchange(
          port, "titulos_totais_em_atraso", Eq("conexão recusada")));
}

TEST_F(ZabbixSenderTest, ListenerGoneAfterFirstConnection) {
  FakeTrapper trapper;
  trapper.stop_listening_after(1);
  send_zabbix(local(trapper.port()), "h", "k1", "v");
  EXPECT_THAT(
      [&] { send_zabbix(local(trapper.port()), "h", "k2", "v"); },
      ThrowsMessage<ZabbixError>(HasSubstr("(chave k2): conexão recusada")));
  EXPECT_EQ(trapper.received().size(), 1U);
}

TEST_F(ZabbixSenderTest, UnresolvableName) {
  EXPECT_THAT(
      [&] {
        send_zabbix(ZabbixServer{"nonexistent.invalid", 10051}, "h", "k", "v");
      },
      ThrowsMessage<ZabbixError>(
          HasSubstr("enviar ao Zabbix nonexistent.invalid:10051 (chave k): "
                    "nome não resolvido")));
}

TEST_F(ZabbixSenderTest, ServerAnswersFailed) {
  FakeTrapper trapper(Script{Reply::failure()});
  EXPECT_THAT(
      [&] { send_zabbix(local(trapper.port()), "h", "k", "v"); },
      failed_exchange(trapper.port(),
                      "k",
                      Eq("o servidor respondeu \"failed\": cannot parse as a "
                         "valid JSON object")));
}

TEST_F(ZabbixSenderTest, MalformedReplies) {
  struct Case {
    const char* name;
    Reply reply;
    std::string message;
  };
  const std::vector<Case> cases{
      {"closed without reply",
       Reply::close_early(),
       "conexão fechada sem resposta"},
      {"garbage", Reply::garbage(), "resposta sem o cabeçalho ZBXD"},
      {"short header",
       Reply::raw(std::string("ZBXD\x01\x05\x00", 7)),
       "cabeçalho curto na resposta (7 de 13 bytes)"},
      {"flags without protocol bit",
       Reply::framed("{}", {.flags = 0x00, .length = {}, .reserved = 0}),
       "resposta sem a flag de protocolo 0x01"},
      {"compressed",
       Reply::framed("{}", {.flags = 0x03, .length = {}, .reserved = 2}),
       "resposta comprimida (flag 0x02) não suportada"},
      {"large packet flag",
       Reply::framed("{}", {.flags = 0x05, .length = {}, .reserved = 0}),
       "flags da resposta não suportadas (0x05)"},
      {"over 16 MiB",
       Reply::framed("", {.length = 16U * 1024U * 1024U + 1U}),
       "resposta grande demais (16777217 bytes)"},
      {"body shorter than length",
       Reply::framed("{\"r", {.length = 10}),
       "resposta curta (3 de 10 bytes)"},
      {"body not json", Reply::framed("not json"), "resposta malformada: "},
      {"no response member",
       Reply::framed(R"({"info":"x"})"),
       "resposta malformada: sem o membro \"response\""},
      {"response not a string",
       Reply::framed(R"({"response":1})"),
       "resposta malformada: sem o membro \"response\""},
      {"array",
       Reply::framed("[]"),
       "resposta malformada: sem o membro \"response\""},
      // A redirect that cannot be followed is sent nowhere else.
      {"redirect without an address",
       Reply::framed(R"({"redirect":{"revision":1},"response":"failed"})"),
       "redirecionamento sem endereço"},
      {"redirect to an empty address",
       Reply::redirect("", 1),
       "redirecionamento sem endereço"},
      {"redirect address too long",
       Reply::redirect(std::string(256, 'a'), 1),
       "redirecionamento com endereço longo demais (256 bytes, até 255)"},
      {"redirect to port 0",
       Reply::redirect("127.0.0.1:0", 1),
       "redirecionamento inutilizável: endereço do servidor Zabbix "
       "\"127.0.0.1:0\": porta fora do intervalo"},
      {"redirect to a port that is no number",
       Reply::redirect("127.0.0.1:1005x", 1),
       "redirecionamento inutilizável: endereço do servidor Zabbix "
       "\"127.0.0.1:1005x\": porta inválida"},
      {"redirect to a name with a blank",
       Reply::redirect("proxy b:10051", 1),
       "redirecionamento inutilizável: endereço \"proxy b:10051\" com "
       "caractere inválido"},
      {"redirect without a revision",
       Reply::framed(
           R"({"redirect":{"address":"127.0.0.1:1"},"response":"failed"})"),
       "redirecionamento malformado: sem revisão"},
      {"redirect with a negative revision",
       Reply::framed(R"({"redirect":{"revision":-1,"address":"127.0.0.1:1"},)"
                     R"("response":"failed"})"),
       "redirecionamento malformado: sem revisão"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTrapper trapper(Script{c.reply});
    EXPECT_THAT(
        [&] { send_zabbix(local(trapper.port()), "h", "k", "v", k_fast); },
        failed_exchange(trapper.port(), "k", ::testing::StartsWith(c.message)));
  }
}

// Zabbix 7.0 proxy groups: three trapper doubles A, B and C and an address
// D where nothing listens. Each case scripts their replies ("ok", "reset",
// or "X R": a redirect to X at revision R), sends requests k1, k2, … to A
// and checks where they arrived and how the last one ended.
TEST_F(ZabbixSenderTest, RedirectsAreFollowedWithinTheirRules) {
  struct Case {
    const char* name;
    std::array<std::vector<std::string>, 3> scripts; // A, B, C
    std::size_t requests;
    std::array<std::size_t, 3> received; // connections at A, B, C
    std::string failed_at;               // empty: every request answered
    std::string reason;
    std::size_t a_listens_for = 0; // connections A takes; 0: every one
  };
  const std::vector<Case> cases{
      {"followed, and the requests after it go there too",
       {{{"{B} 1"}, {}, {}}}, 3, {1, 3, 0}, "", ""},
      {"a chain within the bound",
       {{{"{B} 1"}, {"{C} 2"}, {}}}, 2, {1, 1, 2}, "", ""},
      {"a chain past the bound",
       {{{"{B} 1", "{B} 4"}, {"{C} 2"}, {"{A} 3"}}}, 1, {2, 1, 1}, "{A}",
       "redirecionamentos demais (mais de 3): {A} → {B} (revisão 1) → {C} "
       "(revisão 2) → {A} (revisão 3) → {B} (revisão 4)"},
      {"an older revision does not move the run back",
       {{{"{B} 2"}, {"ok", "{C} 1"}, {}}}, 2, {1, 2, 0}, "{B}",
       "redirecionado para {C} com a revisão 1, anterior à já seguida nesta "
       "execução (2)"},
      {"a dead owner sends the request back to the configured server",
       {{{"{D} 1", "ok"}, {}, {}}}, 2, {3, 0, 0}, "", ""},
      {"a dead owner, then the group's new owner",
       {{{"{D} 1", "{B} 2"}, {}, {}}}, 2, {2, 2, 0}, "", ""},
      {"a dead owner named again: one error, no loop",
       {{{"{D} 1", "{D} 1"}, {}, {}}}, 1, {2, 0, 0}, "{A}",
       "redirecionado de novo para {D} (revisão 1), que não aceitou a "
       "conexão: conexão recusada"},
      {"a dead owner and the configured server gone",
       {{{"{D} 1"}, {}, {}}}, 1, {1, 0, 0}, "{A}",
       "nenhum endereço aceitou a conexão: {D} (redirecionamento, revisão 1): "
       "conexão recusada; {A}: conexão recusada", 1},
      {"a redirect to the address that gave it",
       {{{"{A} 1"}, {}, {}}}, 1, {1, 0, 0}, "{A}",
       "redirecionado de volta para {A} (revisão 1), já tentado neste pedido"},
      {"a reset from the owner goes back to the configured server",
       {{{"{B} 1", "ok"}, {"ok", "reset"}, {}}}, 2, {2, 2, 0}, "", ""},
      {"a reset from the configured server",
       {{{"reset"}, {}, {}}}, 1, {1, 0, 0}, "{A}",
       "o servidor desfez o redirecionamento (serviço fora do ar)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The doubles listen first, so that their scripts can name each other.
    std::array<FakeTrapper, 3> trappers;
    std::map<std::string, std::string> address{
        {"{D}", "127.0.0.1:" + port_text(test_support::unused_port())}};
    for (std::size_t i = 0; i < 3; ++i) {
      address[std::string("{") + static_cast<char>('A' + i) + "}"] =
          "127.0.0.1:" + port_text(trappers[i].port());
    }
    const auto substitute = [&](std::string text) {
      for (const auto& [name, value] : address) {
        for (auto at = text.find(name); at != std::string::npos;
             at = text.find(name)) {
          text.replace(at, name.size(), value);
        }
      }
      return text;
    };
    for (std::size_t i = 0; i < 3; ++i) {
      Script script;
      for (const auto& step : c.scripts[i]) {
        if (step == "ok") {
          script.push_back(Reply::ok());
        } else if (step == "reset") {
          script.push_back(Reply::framed(
              R"({"redirect":{"reset":true},"response":"failed"})"));
        } else {
          const auto blank = step.find(' ');
          script.push_back(Reply::redirect(substitute(step.substr(0, blank)),
                                           std::stoull(step.substr(blank + 1))));
        }
      }
      trappers[i].follow(std::move(script));
    }
    if (c.a_listens_for != 0) {
      trappers[0].stop_listening_after(c.a_listens_for);
    }
    const monitoring::ZabbixSender sender(local(trappers[0].port()),
                                          monitoring::SenderOptions{k_fast, 1, {}});
    std::vector<std::string> frames;
    std::optional<ZabbixError> error;
    for (std::size_t n = 1; n <= c.requests; ++n) {
      monitoring::Request request("h");
      request.add("k" + std::to_string(n), "v");
      frames.emplace_back(request.frame());
      try {
        sender.send(request);
      } catch (const ZabbixError& e) {
        error = e;
        break;
      }
    }
    if (c.failed_at.empty()) {
      EXPECT_FALSE(error) << error->what();
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->server(), substitute(c.failed_at));
      EXPECT_EQ(error->request(), "chave k" + std::to_string(c.requests));
      EXPECT_EQ(error->reason(), substitute(c.reason));
    }
    for (std::size_t i = 0; i < 3; ++i) {
      const auto received = trappers[i].received();
      EXPECT_EQ(received.size(), c.received[i]) << "at " << char('A' + i);
      // A redirected request travels again byte for byte.
      for (const auto& r : received) {
        EXPECT_THAT(frames, ::testing::Contains(r.raw));
      }
    }
  }
}

TEST_F(ZabbixSenderTest, ExactLengthBodyWithTrailingBytesIsAccepted) {
  // Only datalen bytes belong to the reply; what follows is not read.
  const std::string body = R"({"response":"success"})";
  FakeTrapper trapper(
      Script{Reply::raw(Reply::framed(body).bytes() + "trailing")});
  EXPECT_NO_THROW(send_zabbix(local(trapper.port()), "h", "k", "v", k_fast));
}

TEST_F(ZabbixSenderTest, SilentServerTimesOutWithinReplyTimeout) {
  FakeTrapper trapper(Script{Reply::never_answer()});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(
      [&] { send_zabbix(local(trapper.port()), "h", "k", "v", k_fast); },
      failed_exchange(trapper.port(),
                      "k",
                      Eq("tempo esgotado aguardando a resposta (200 ms)")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 190ms);
  EXPECT_LT(elapsed, 2s);
}

TEST_F(ZabbixSenderTest, RunBoundInterruptsTheWait) {
  FakeTrapper trapper(Script{Reply::never_answer()});
  console::deadline::arm(150ms, "Tempo limite excedido");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(
      [&] { send_zabbix(local(trapper.port()), "h", "k", "v"); },
      ThrowsMessage<console::TimeoutException>(Eq("Tempo limite excedido")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(ZabbixSenderTest, ExpiredRunBoundStopsBeforeConnecting) {
  FakeTrapper trapper;
  console::deadline::arm(0ms, "Tempo limite excedido");
  EXPECT_THAT(
      [&] { send_zabbix(local(trapper.port()), "h", "k", "v"); },
      ThrowsMessage<console::TimeoutException>(Eq("Tempo limite excedido")));
  EXPECT_TRUE(trapper.received().empty());
}

class SenderSettingsTest : public ::testing::Test {};

TEST_F(SenderSettingsTest, BatchSizeFromTheEnvironment) {
  EXPECT_EQ(monitoring::sender_options({}).batch_size, 1U);
  struct Case {
    const char* text;
    std::size_t batch; // 0: refused
  };
  const std::vector<Case> cases{
      {"1", 1},
      {"250", 250},
      {"10000", 10000},
      {"0250", 250},
      {"", 0},
      {"0", 0},
      {"10001", 0},
      {"-1", 0},
      {" 250", 0},
      {"250 ", 0},
      {"2.5e2", 0},
      {"25x", 0},
      {"99999999999999999999999", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    const monitoring::SenderEnvironment env{{"ZABBIX_BATCH_SIZE", c.text}};
    if (c.batch != 0) {
      EXPECT_EQ(monitoring::sender_options(env).batch_size, c.batch);
    } else {
      // An empty variable gets the one rule of every setting.
      const std::string reason =
          *c.text == '\0' ? "vazia"
                           : "esperado um número inteiro de 1 a 10000 "
                             "(valores por pedido ao Zabbix)";
      EXPECT_THAT([&] { monitoring::sender_options(env); },
                  ThrowsMessage<ZabbixError>(Eq(std::string("ZABBIX_BATCH_SIZE=\"")
                                                + c.text + "\": " + reason)));
    }
  }
}

TEST_F(SenderSettingsTest, TlsSettingsMustBeCompleteAndConsistent) {
  const test_support::ScratchDir scratch;
  const std::string dir = scratch.path();
  const auto key_file = [&](const std::string& name, const std::string& text) {
    return scratch.file("tarvo_psk_" + name, text);
  };
  const std::string hex32 = "0123456789abcdefABCDEF0123456789";
  const std::string good = key_file("good", hex32 + "\r\n");
  // 128 characters, as Zabbix allows, of three bytes each.
  std::string euros_128;
  for (int i = 0; i < 128; ++i) {
    euros_128 += "€";
  }
  struct Case {
    const char* name;
    monitoring::SenderEnvironment env;
    std::string error; // empty: accepted
    std::string secret = {};
  };
  const auto with_key = [&](const char* name, const std::string& text) {
    return Case{name,
                {{"ZABBIX_TLS_CONNECT", "psk"},
                 {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"},
                 {"ZABBIX_TLS_PSK_FILE", key_file(name, text)}},
                "ZABBIX_TLS_PSK_FILE=\"" + dir + "tarvo_psk_" + name
                    + "\": a chave deve ser a primeira linha do arquivo, um "
                      "número par de 32 a 512 dígitos hexadecimais",
                text};
  };
  std::vector<Case> cases{
      {"psk",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"},
        {"ZABBIX_TLS_PSK_FILE", good}},
       ""},
      {"unencrypted named", {{"ZABBIX_TLS_CONNECT", "unencrypted"}}, ""},
      {"mode in capitals",
       {{"ZABBIX_TLS_CONNECT", "PSK"}},
       "ZABBIX_TLS_CONNECT=\"PSK\": esperado unencrypted, psk ou cert"},
      {"psk file without the mode",
       {{"ZABBIX_TLS_PSK_FILE", good}},
       "ZABBIX_TLS_PSK_FILE não se aplica a ZABBIX_TLS_CONNECT=unencrypted"},
      {"certificate with psk",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"},
        {"ZABBIX_TLS_PSK_FILE", good},
        {"ZABBIX_TLS_CA_FILE", "/ca.pem"}},
       "ZABBIX_TLS_CA_FILE não se aplica a ZABBIX_TLS_CONNECT=psk"},
      {"psk identity with cert",
       {{"ZABBIX_TLS_CONNECT", "cert"}, {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"}},
       "ZABBIX_TLS_PSK_IDENTITY não se aplica a ZABBIX_TLS_CONNECT=cert"},
      {"no identity",
       {{"ZABBIX_TLS_CONNECT", "psk"}, {"ZABBIX_TLS_PSK_FILE", good}},
       "ZABBIX_TLS_PSK_IDENTITY é obrigatória com ZABBIX_TLS_CONNECT=psk"},
      {"no key file",
       {{"ZABBIX_TLS_CONNECT", "psk"}, {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"}},
       "ZABBIX_TLS_PSK_FILE é obrigatória com ZABBIX_TLS_CONNECT=psk"},
      {"no key for the certificate",
       {{"ZABBIX_TLS_CONNECT", "cert"},
        {"ZABBIX_TLS_CA_FILE", "/ca.pem"},
        {"ZABBIX_TLS_CERT_FILE", "/c.pem"}},
       "ZABBIX_TLS_KEY_FILE é obrigatória com ZABBIX_TLS_CONNECT=cert"},
      {"empty identity",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", ""},
        {"ZABBIX_TLS_PSK_FILE", good}},
       "ZABBIX_TLS_PSK_IDENTITY=\"\": vazia"},
      {"identity of 129 characters",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", std::string(129, 'x')},
        {"ZABBIX_TLS_PSK_FILE", good}},
       "ZABBIX_TLS_PSK_IDENTITY=\"" + std::string(129, 'x')
           + "\": a identidade deve ter até 128 caracteres UTF-8"},
      {"identity beyond what the TLS library sends",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", euros_128},
        {"ZABBIX_TLS_PSK_FILE", good}},
       "ZABBIX_TLS_PSK_IDENTITY=\"" + euros_128
           + "\": a identidade tem 384 bytes em UTF-8, e o TLS aceita até 256"},
      {"unreadable key file",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"},
        {"ZABBIX_TLS_PSK_FILE", dir + "tarvo_psk_absent"}},
       "ZABBIX_TLS_PSK_FILE=\"" + dir
           + "tarvo_psk_absent\": não foi possível ler: <cause>"},
      with_key("short", "0123456789abcdef0123456789abcde"),
      with_key("odd", hex32 + "a"),
      with_key("long", std::string(514, 'b')),
      with_key("not hex", "0123456789abcdef0123456789abcdeg"),
      with_key("blank inside", "0123456789abcdef 0123456789abcdef"),
      {"empty",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", "tarvo"},
        {"ZABBIX_TLS_PSK_FILE", key_file("empty", "")}},
       "ZABBIX_TLS_PSK_FILE=\"" + dir + "tarvo_psk_empty\": arquivo vazio"},
  };
  cases.push_back(
      {"512 digits",
       {{"ZABBIX_TLS_CONNECT", "psk"},
        {"ZABBIX_TLS_PSK_IDENTITY", "identidade ção"},
        {"ZABBIX_TLS_PSK_FILE", key_file("max", std::string(512, 'F'))}},
       ""});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.error.empty()) {
      EXPECT_NO_THROW(monitoring::sender_options(c.env));
      continue;
    }
    try {
      monitoring::sender_options(c.env);
      ADD_FAILURE() << "accepted";
    } catch (const ZabbixError& e) {
      EXPECT_THAT(e.what(), test_support::with_library_cause(c.error));
      if (!c.secret.empty()) {
        EXPECT_EQ(std::string(e.what()).find(c.secret), std::string::npos);
      }
    }
  }
  EXPECT_EQ(monitoring::sender_options(cases[0].env).tls->psk.size(), 16U);
}

class ZabbixServerParseTest : public ::testing::Test {};

TEST_F(ZabbixServerParseTest, AcceptedForms) {
  struct Case {
    const char* text;
    std::string host;
    std::uint16_t port;
  };
  const std::vector<Case> cases{
      {"127.0.0.1", "127.0.0.1", 10051},
      {"zabbix.example.net", "zabbix.example.net", 10051},
      {"zabbix:10052", "zabbix", 10052},
      {"h:1", "h", 1},
      {"h:65535", "h", 65535},
      {"h:010051", "h", 10051},
      {"[::1]", "::1", 10051},
      {"[2001:db8::7]:10099", "2001:db8::7", 10099},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto nodes = monitoring::parse_zabbix_nodes(c.text);
    ASSERT_EQ(nodes.size(), 1U);
    EXPECT_EQ(nodes[0].host, c.host);
    EXPECT_EQ(nodes[0].port, c.port);
  }
  // A cluster's nodes, in the order given, each read as one address.
  const auto nodes =
      monitoring::parse_zabbix_nodes("zbx-a;zbx-b:10052;[2001:db8::7]");
  ASSERT_EQ(nodes.size(), 3U);
  EXPECT_EQ(monitoring::server_text(nodes[0]), "zbx-a:10051");
  EXPECT_EQ(monitoring::server_text(nodes[1]), "zbx-b:10052");
  EXPECT_EQ(monitoring::server_text(nodes[2]), "[2001:db8::7]:10051");
}

TEST_F(ZabbixServerParseTest, RejectedForms) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const std::vector<Case> cases{
      {"", "endereço vazio"},
      {":10051", "host vazio"},
      {"[]:10051", "host vazio"},
      {"h:", "porta vazia"},
      {"h:0", "porta fora do intervalo"},
      {"h:65536", "porta fora do intervalo"},
      {"h:99999999999999999999999", "porta fora do intervalo"},
      {"h:-1", "porta inválida"},
      {"h:+1", "porta inválida"},
      {"h:10 51", "porta inválida"},
      {"h:abc", "porta inválida"},
      {"[::1", "colchete '[' sem ']'"},
      {"::1]", "colchetes desbalanceados"},
      {"h]", "colchetes desbalanceados"},
      {"[[::1]]", "colchetes desbalanceados"},
      {"[::1]x", "texto inesperado após ']'"},
      {"[::1]:", "porta vazia"},
      {"::1", "endereço IPv6 deve vir entre colchetes, como [::1]:10051"},
      {"2001:db8::7:10051",
       "endereço IPv6 deve vir entre colchetes, como [::1]:10051"},
      {"a;;b", "nó vazio na lista"},
      {"a;b;", "nó vazio na lista"},
      {";a", "nó vazio na lista"},
      {"a,b", "',' separaria grupos de servidores, o que não é suportado"},
      {"a:1;b:2,c:3", "',' separaria grupos"},
      {"n;n;n;n;n;n;n;n;n;n;n;n;n;n;n;n;n", "mais de 16 nós"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_THAT([&] { monitoring::parse_zabbix_nodes(c.text); },
                ThrowsMessage<ZabbixError>(
                    HasSubstr(std::string("endereço do servidor Zabbix \"")
                              + c.text + "\": " + c.reason)));
  }
}

TEST_F(ZabbixServerParseTest, ServerTextBracketsIpv6) {
  EXPECT_EQ(monitoring::server_text(ZabbixServer{"::1", 10051}), "[::1]:10051");
  EXPECT_EQ(monitoring::server_text(ZabbixServer{"zabbix", 7}), "zabbix:7");
}

} // namespace
