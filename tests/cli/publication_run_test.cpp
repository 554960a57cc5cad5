// The normal collection pass end to end: the program against the test
// billing database and a trapper double that records the wire.
#include "support/fake_questdb.h"
#include "support/fake_trapper.h"
#include "support/pg_test.h"
#include "support/run_program.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>

namespace {

using test_support::FakeQuestDb;
using test_support::FakeTrapper;
using test_support::HttpReply;
using test_support::Reply;

struct Sent {
  std::string key;
  std::string value;
  friend bool operator==(const Sent&, const Sent&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Sent& s) {
    return os << s.key << " = " << s.value;
  }
};

class PublicationRun : public support::PgTest {
protected:
  // Every run also reaches a store double whose table is already complete,
  // on its own loopback address so the runs never meet a real store.
  support::RunResult run(const std::string& database,
                         const FakeTrapper& trapper,
                         const std::string& host = "pop-centro",
                         const std::string& pop_id = "1",
                         std::vector<std::string> env = {}) {
    // Tests run side by side under ctest -j: each test's line gives it its
    // own address for port 9000.
    const int line =
        ::testing::UnitTest::GetInstance()->current_test_info()->line();
    const std::string address = "127.4." + std::to_string(line / 256) + "."
                                + std::to_string(line % 256);
    env.push_back("ZABBIX_SERVER=127.0.0.1:" + std::to_string(trapper.port()));
    m_sql.reset();
    m_rows.reset();
    m_rows = std::make_unique<FakeQuestDb>(
        FakeQuestDb::Options{.address = address, .port = 0, .script = {}});
    m_sql = std::make_unique<FakeQuestDb>(
        FakeQuestDb::Options{.address = address,
                             .port = 9000,
                             .script = {HttpReply::column_listing(15)}});
    return support::run_program(
        TARVO_BINARY,
        {TARVO_BINARY,
         "discovery_clientes",
         "",
         m_env.host,
         m_env.port,
         database,
         m_env.user,
         m_env.password,
         pop_id,
         address,
         std::to_string(m_rows->port()),
         host},
        {.env = std::move(env), .stdout_to = std::nullopt});
  }

  std::unique_ptr<FakeQuestDb> m_rows;
  std::unique_ptr<FakeQuestDb> m_sql;

  static std::vector<Sent> sent(const FakeTrapper& trapper,
                                const std::string& host) {
    std::vector<Sent> out;
    for (const auto& r : trapper.received()) {
      for (const auto& item : r.items) {
        EXPECT_EQ(item.host, host);
        out.push_back({item.key, item.value});
      }
    }
    return out;
  }

  static std::vector<std::size_t> request_sizes(const FakeTrapper& trapper) {
    std::vector<std::size_t> out;
    for (const auto& r : trapper.received()) {
      out.push_back(r.items.size());
    }
    return out;
  }
};

TEST_F(PublicationRun, NoOverdueClientsStillSendsTheTotalsAndAnEmptyDocument) {
  support::create_billing_database(m_env, "billing_pub_vazio", "");
  FakeTrapper trapper;
  const auto r = run("billing_pub_vazio", trapper);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.status, 0);
  const std::vector<Sent> expected{{"titulos_totais_em_atraso", "0"},
                                   {"valor_total_divida", "0"},
                                   {"titulos_totais_em_aberto", "0"},
                                   {"valor_total_em_aberto", "None"},
                                   {"discovery_clientes", R"({"data": []})"}};
  EXPECT_EQ(sent(trapper, "pop-centro"), expected);
}

TEST_F(PublicationRun, ThreeClientsMakeElevenSendsInOrder) {
  support::create_billing_database(m_env, "billing_pub_tres", R"(
    INSERT INTO admcore_pessoa VALUES (1, 'Construções Exemplo', '000.000.000-00'), (2, 'B', NULL);
    INSERT INTO admcore_cliente VALUES (42, 1, NULL), (7, 2, NULL);
    INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, status, data_vencimento, data_documento) VALUES
      (1, 42, NULL, 99.90, 1, '2024-01-10', NULL), (2, 42, NULL, 99.90, 1, '2024-02-10', NULL),
      (3, 7, NULL, NULL, 1, '2024-03-10', NULL), (4, -3, NULL, 150, 1, '2024-03-10', NULL);
  )");
  FakeTrapper trapper;
  const auto r = run("billing_pub_tres", trapper, "Debug");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.status, 0);
  const std::vector<Sent> expected{
      {"titulos_totais_em_atraso", "3"},
      {"valor_total_divida", "349.8"},
      {"titulos_totais_em_aberto", "0"},
      {"valor_total_em_aberto", "None"},
      {"discovery_clientes",
       R"({"data": [{"{#CLIENTE_ID}": -3, "{#RAZAOSOCIAL}": null, "{#CPF_CNPJ}": null, "{#VALOR_DIVIDA}": 150.0, )"
       R"("{#TITULOS_EM_ATRASO}": 1, "{#CONTATO}": "N/A"}, )"
       R"({"{#CLIENTE_ID}": 7, "{#RAZAOSOCIAL}": "B", "{#CPF_CNPJ}": null, "{#VALOR_DIVIDA}": 0, )"
       R"("{#TITULOS_EM_ATRASO}": 0, "{#CONTATO}": "N/A"}, )"
       R"({"{#CLIENTE_ID}": 42, "{#RAZAOSOCIAL}": "Constru\u00e7\u00f5es Exemplo", "{#CPF_CNPJ}": "000.000.000-00", )"
       R"("{#VALOR_DIVIDA}": 199.8, "{#TITULOS_EM_ATRASO}": 2, "{#CONTATO}": "N/A"}]})"},
      {"valor_divida[-3]", "150.0"},
      {"titulos_em_atraso[-3]", "1"},
      {"valor_divida[7]", "0"},
      {"titulos_em_atraso[7]", "0"},
      {"valor_divida[42]", "199.8"},
      {"titulos_em_atraso[42]", "2"},
  };
  EXPECT_EQ(sent(trapper, "Debug"), expected);
  const auto rows = m_rows->requests();
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_EQ(std::count(rows[0].body.begin(), rows[0].body.end(), '\n'), 3);
  EXPECT_NE(rows[0].body.find("tarvoIdentification=\"Debug\""),
            std::string::npos)
      << rows[0].body;
}

TEST_F(PublicationRun, FixtureClientsDocumentStaysValidJsonWithEscapes) {
  FakeTrapper trapper;
  const auto r = run(m_env.database, trapper, "DEBUG");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto all = sent(trapper, "DEBUG");
  ASSERT_EQ(all.size(), 5U + 2U * 11U);
  const std::string& document = all[4].value;
  EXPECT_NE(document.find(
                R"("M\u00fasica \ud834\udd1e Est\u00fadio \ud83c\udfb8 ME")"),
            std::string::npos);
  EXPECT_NE(document.find(R"("Linha1\tTab\nLinha2")"), std::string::npos);
  EXPECT_NE(document.find(R"("Empresa \"Aspas\" \\ Barra Ltda")"),
            std::string::npos);
  for (const char c : document) {
    ASSERT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << static_cast<int>(c);
  }
  const auto parsed = nlohmann::json::parse(document);
  ASSERT_EQ(parsed["data"].size(), 11U);
  EXPECT_EQ(parsed["data"][5]["{#RAZAOSOCIAL}"], "Música 𝄞 Estúdio 🎸 ME");
  EXPECT_TRUE(parsed["data"][10]["{#CLIENTE_ID}"].is_null());
  EXPECT_EQ(all.back(), (Sent{"titulos_em_atraso[None]", "2"}));
  EXPECT_EQ(all[4 + 2 * 4 - 1], (Sent{"valor_divida[4]", "0"}));
}

TEST_F(PublicationRun, BatchesCarryTheSameValuesInTheSameOrder) {
  FakeTrapper one_by_one;
  ASSERT_EQ(run(m_env.database, one_by_one).status, 0);
  const auto expected = sent(one_by_one, "pop-centro");
  ASSERT_EQ(expected.size(), 5U + 2U * 11U);
  EXPECT_EQ(request_sizes(one_by_one), std::vector<std::size_t>(27, 1));

  struct Case {
    const char* batch;
    std::vector<std::size_t> requests; // values per request, in order
  };
  const std::vector<Case> cases{
      {"1", std::vector<std::size_t>(27, 1)},
      // The totals share requests; the document always travels alone.
      {"2", {2, 2, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
      {"5", {4, 1, 5, 5, 5, 5, 2}},
      {"250", {4, 1, 22}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("ZABBIX_BATCH_SIZE=") + c.batch);
    FakeTrapper trapper;
    const auto r = run(m_env.database,
                       trapper,
                       "pop-centro",
                       "1",
                       {std::string("ZABBIX_BATCH_SIZE=") + c.batch});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sent(trapper, "pop-centro"), expected);
    EXPECT_EQ(request_sizes(trapper), c.requests);
  }
}

TEST_F(PublicationRun, AFailedSendEndsThePassThere) {
  struct Case {
    const char* name;
    const char* batch;
    std::size_t reached; // requests that arrive
    bool refuse;         // stop listening after `reached` connections
    const char* request; // how the error names the failed request
  };
  const Case cases[] = {
      {"refused on the 7th send", "1", 6, true, "(chave titulos_em_atraso["},
      {"reply \"failed\" to the 2nd send",
       "1",
       2,
       false,
       "(chave valor_total_divida)"},
      // Requests already answered stay sent: the totals and the document.
      {"batches of 5: refused on the 4th request",
       "5",
       3,
       true,
       "(5 valores, chaves titulos_em_atraso["},
      {"batches of 250: reply \"failed\" to the clients' request",
       "250",
       3,
       false,
       "(22 valores, chaves valor_divida["},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::Script script(c.reached - 1, Reply::ok());
    if (!c.refuse) {
      script.push_back(Reply::failure());
    }
    FakeTrapper trapper(script);
    if (c.refuse) {
      trapper.stop_listening_after(c.reached);
    }
    const auto r = run(m_env.database,
                       trapper,
                       "pop-centro",
                       "1",
                       {std::string("ZABBIX_BATCH_SIZE=") + c.batch});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Falha na execução: enviar ao Zabbix", 0), 0U)
        << r.err;
    EXPECT_NE(r.err.find(c.request), std::string::npos) << r.err;
    EXPECT_EQ(trapper.received().size(), c.reached);
  }
}

TEST_F(PublicationRun, UnusableSenderSettingsAreAClearErrorBeforeAnySend) {
  struct Case {
    std::vector<std::string> env;
    const char* message;
  };
  FakeTrapper trapper;
  const std::string server =
      "ZABBIX_SERVER=127.0.0.1:" + std::to_string(trapper.port());
  const std::vector<Case> cases{
      {{"ZABBIX_SERVER=127.0.0.1:porta"},
       "endereço do servidor Zabbix \"127.0.0.1:porta\": porta inválida"},
      {{server, "ZABBIX_BATCH_SIZE=0"},
       "ZABBIX_BATCH_SIZE=\"0\": esperado um número inteiro de 1 a 10000"},
      {{server, "ZABBIX_BATCH_SIZE="},
       "ZABBIX_BATCH_SIZE=\"\": vazia"},
      {{"ZABBIX_SERVER=127.0.0.1;;127.0.0.2"},
       "endereço do servidor Zabbix \"127.0.0.1;;127.0.0.2\": nó vazio"},
      {{"ZABBIX_SERVER=127.0.0.1,127.0.0.2"},
       "endereço do servidor Zabbix \"127.0.0.1,127.0.0.2\": ',' separaria"},
      {{server,
        "ZABBIX_TLS_CONNECT=cert",
        "ZABBIX_TLS_CA_FILE=/nonexistent/ca.crt",
        "ZABBIX_TLS_CERT_FILE=/nonexistent/c.crt",
        "ZABBIX_TLS_KEY_FILE=/nonexistent/c.key"},
       "ZABBIX_TLS_CA_FILE=\"/nonexistent/ca.crt\": "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const auto r =
        support::run_program(TARVO_BINARY,
                             {TARVO_BINARY,
                              "discovery_clientes",
                              "",
                              m_env.host,
                              // No database answers there: the settings
                              // are judged before it is asked anything.
                              "1",
                              m_env.database,
                              m_env.user,
                              m_env.password,
                              "1",
                              "127.0.0.1",
                              "9009",
                              "pop-centro"},
                             {.env = c.env, .stdout_to = std::nullopt});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(std::string("Falha na execução: ") + c.message, 0),
              0U)
        << r.err;
  }
  EXPECT_TRUE(trapper.received().empty());
}

} // namespace
