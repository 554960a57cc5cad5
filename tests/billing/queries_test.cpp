// The billing statements against a real PostgreSQL holding the test fixtures.
#include "billing/collect.h"
#include "billing/db_error.h"
#include "support/pg_test.h"

#include <cstdlib>
#include <ctime>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace billing {
namespace {

using console::DateTime;
using console::Null;
using console::Value;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

// The statements as the billing side expects to see them in its log.
const char* const k_overdue_sql =
    R"(
    SELECT
        financeiro_titulo.cliente_id AS idCliente,
        admcore_pessoa.nome AS razaoSocial,
        admcore_pessoa.cpfcnpj AS cpjCnpj,
        financeiro_titulo.titulos_aberto AS titulosAtraso,
        financeiro_titulo.valor_aberto AS valorAtraso,
        STRING_AGG(DISTINCT admcore_contato.contato, ' | ' ORDER BY admcore_contato.contato) AS contatoCliente,
        financeiro_titulo.primeiro_vencimento,
        (CURRENT_DATE - financeiro_titulo.primeiro_vencimento) AS dias_em_atraso,
        STRING_AGG(DISTINCT admcore_cidade.cidade, ' | ' ORDER BY admcore_cidade.cidade) AS cidadeContrato,
        MAX(admcore_pop.cidade) AS pop,
        MAX(admcore_endereco.bairro) AS bairro,
        CAST(MIN(admcore_clientecontrato.data_cadastro) AS timestamp) AS dataCadastro,
        CAST(MIN(financeiro_titulo.data_documento) AS timestamp) AS dataCriacaoTitulo
    FROM (
        SELECT
            cliente_id,
            COUNT(valor) AS titulos_aberto,
            CAST(SUM(valor) AS FLOAT) AS valor_aberto,
            MIN(data_vencimento) AS primeiro_vencimento,
            MIN(data_documento) AS data_documento
        FROM
            financeiro_titulo
        WHERE
            status = 1 AND
            data_vencimento < CURRENT_DATE
        GROUP BY
            cliente_id
    ) financeiro_titulo
    LEFT OUTER JOIN )"
    "\n"
    R"(        admcore_cliente ON financeiro_titulo.cliente_id = admcore_cliente.id
    LEFT OUTER JOIN )"
    "\n"
    R"(        admcore_pessoa ON admcore_cliente.pessoa_id = admcore_pessoa.id
    LEFT OUTER JOIN )"
    "\n"
    R"(        admcore_clientecontato ON admcore_cliente.id = admcore_clientecontato.cliente_id )"
    "\n"
    R"(    LEFT OUTER JOIN )"
    "\n"
    R"(        admcore_contato ON admcore_clientecontato.contato_id = admcore_contato.id
    LEFT OUTER JOIN )"
    "\n"
    R"(        admcore_clientecontrato ON admcore_cliente.id = admcore_clientecontrato.cliente_id
    LEFT JOIN )"
    "\n"
    R"(        admcore_pop ON admcore_clientecontrato.pop_id = admcore_pop.id
    LEFT JOIN )"
    "\n"
    R"(        admcore_cidade ON admcore_pop.codigo::text = admcore_cidade.codigo
    LEFT JOIN )"
    "\n"
    R"(        admcore_endereco ON admcore_endereco.id = admcore_cliente.endereco_id
    GROUP BY
        financeiro_titulo.cliente_id,
        admcore_pessoa.nome,
        admcore_pessoa.cpfcnpj,
        financeiro_titulo.titulos_aberto,
        financeiro_titulo.valor_aberto,
        financeiro_titulo.primeiro_vencimento
    )";

class BillingDatabase : public support::PgTest {
protected:
  void SetUp() override {
    PgTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
    // Defaults of the environment must not change what the run reads.
    setenv("PGDATESTYLE", "SQL, DMY", 1);
    setenv("PGCLIENTENCODING", "LATIN1", 1);
  }
  void TearDown() override {
    unsetenv("PGDATESTYLE");
    unsetenv("PGCLIENTENCODING");
  }

  console::RunSettings settings(const std::string& database,
                                const std::string& pop_id = "1") const {
    console::RunSettings s;
    s.mode = "discovery_clientes";
    s.db_ip = m_env.host;
    s.db_port = m_env.port;
    s.db_name = database;
    s.db_user = m_env.user;
    s.db_password = m_env.password;
    s.pop_id = pop_id;
    s.zabbix_host = "debug";
    return s;
  }

};

// The server log starts every continuation line of a statement with a tab.
std::string as_logged(const std::string& sql) {
  std::string out;
  for (const char c : sql) {
    out.push_back(c);
    if (c == '\n') {
      out.push_back('\t');
    }
  }
  return out;
}

const Client& client_with_id(const Collection& c, std::int64_t id) {
  for (const auto& client : c.clients) {
    if (client.id == Value(id)) {
      return client;
    }
  }
  throw std::runtime_error("no client " + std::to_string(id));
}

TEST_F(BillingDatabase, StatementsReachTheServerAsWrittenWithThePopBound) {
  const std::size_t from = support::log_size(m_env);
  collect_clients(settings(m_env.database, "7' OR ''='"));
  const std::string log = support::read_log_from(m_env, from);
  EXPECT_THAT(log,
              HasSubstr("LOG:  statement: " + as_logged(k_overdue_sql) + "\n"));
  EXPECT_THAT(
      log,
      HasSubstr(
          as_logged(
              "        admcore_clientecontrato.pop_id::text LIKE $1\n        ")
          + "\n"));
  // The server's word before the value ("parameters:", "Parameters:" since
  // PostgreSQL 17) is its own; the value bound is the program's.
  EXPECT_THAT(log, HasSubstr(": $1 = '%7'' OR ''''=''%'\n"));
}

TEST_F(BillingDatabase, ValuesKeepTheirKindsAndEveryOverdueClientIsRead) {
  const auto c = collect_clients(settings(m_env.database));
  ASSERT_EQ(c.clients.size(), 11U);
  EXPECT_EQ(c.totals.titulos_totais_em_atraso, Value(std::int64_t{15}));
  double sum = 0;
  for (const double v : {151.75,
                         89.9,
                         10.0,
                         0.3,
                         1234567890.42,
                         45.0,
                         19.99,
                         300.0,
                         33.33,
                         12.5}) {
    sum += v;
  }
  EXPECT_EQ(c.totals.valor_total_divida, Value(sum));

  const auto& ana = client_with_id(c, 1);
  EXPECT_EQ(ana.razao_social, Value(std::string("Ana Lúcia Conceição")));
  EXPECT_EQ(ana.valor_divida, Value(151.75));
  EXPECT_EQ(ana.titulos_em_atraso, Value(std::int64_t{3}));
  EXPECT_EQ(ana.contato,
            Value(std::string("(11) 91234-5678 | ana@example.com")));
  EXPECT_EQ(ana.primeiro_vencimento, Value(DateTime{{2024, 3, 5}, 0, 0, 0, 0}));
  EXPECT_EQ(ana.data_cadastro, Value(DateTime{{2023, 1, 2}, 10, 20, 30, 0}));
  EXPECT_EQ(ana.pop, "São Paulo  Centro");
  EXPECT_TRUE(std::holds_alternative<std::int64_t>(ana.dias_atraso));

  const auto& joana = client_with_id(c, 2);
  EXPECT_EQ(joana.bairro, "Sem bairro");
  EXPECT_EQ(joana.data_cadastro, Value(DateTime{{2018, 11, 4}, 1, 30, 0, 0}));

  const auto& anonymous = client_with_id(c, 3);
  EXPECT_EQ(anonymous.razao_social, Value(Null{}));
  EXPECT_EQ(anonymous.contato, Value(Null{}));
  EXPECT_EQ(anonymous.cidade, "Sem cidade");
  EXPECT_EQ(anonymous.data_criacao_titulo, Value(Null{}));

  const auto& no_amount = client_with_id(c, 4);
  EXPECT_EQ(no_amount.valor_divida, Value(std::int64_t{0}));
  EXPECT_EQ(no_amount.titulos_em_atraso, Value(std::int64_t{0}));
  EXPECT_EQ(no_amount.pop, "POP1");
  EXPECT_EQ(no_amount.razao_social,
            Value(std::string("Empresa \"Aspas\" \\ Barra Ltda")));

  EXPECT_EQ(client_with_id(c, 5).razao_social,
            Value(std::string("Linha1\tTab\nLinha2")));
  EXPECT_EQ(client_with_id(c, 6).razao_social,
            Value(std::string("Música 𝄞 Estúdio 🎸 ME")));
  EXPECT_EQ(client_with_id(c, 9).cidade, "");
}

TEST_F(BillingDatabase, PopFilterIsASubstringPatternAndAQuoteIsJustACharacter) {
  struct Case {
    std::string pop_id;
    std::int64_t count;
    Value amount;
  };
  const Case cases[] = {
      {"1", 6, 1050.0},
      {"10", 1, 200.0},
      {"2", 2, 450.0},
      {"", 8, 1160.0},
      {"%", 8, 1160.0},
      {"_1", 3, 725.0},
      {"999", 0, Null{}},
      {"1' OR '1'='1", 0, Null{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pop_id " + c.pop_id);
    const auto collection = collect_clients(settings(m_env.database, c.pop_id));
    EXPECT_EQ(collection.totals.titulos_totais_em_aberto, Value(c.count));
    EXPECT_EQ(collection.totals.valor_total_em_aberto, c.amount);
  }
}

TEST_F(BillingDatabase, NoOverdueTitlesGivesEmptyListsAndIntegerZeros) {
  support::create_billing_database(m_env, "billing_vazio", "");
  const auto c = collect_clients(settings("billing_vazio"));
  EXPECT_TRUE(c.clients.empty());
  EXPECT_EQ(c.totals.titulos_totais_em_atraso, Value(std::int64_t{0}));
  EXPECT_EQ(c.totals.valor_total_divida, Value(std::int64_t{0}));
  EXPECT_EQ(c.totals.titulos_totais_em_aberto, Value(std::int64_t{0}));
  EXPECT_EQ(c.totals.valor_total_em_aberto, Value(Null{}));
}

TEST_F(BillingDatabase, FailuresNameTheStepAndNeverThePassword) {
  auto wrong_password = settings(m_env.database);
  wrong_password.db_password = "senha-errada-secreta";
  EXPECT_THAT(
      [&] { collect_clients(wrong_password); },
      ThrowsMessage<DbError>(AllOf(HasSubstr("conectar ao banco de dados: "),
                                   HasSubstr("password authentication failed"),
                                   Not(HasSubstr("senha-errada-secreta")))));

  support::exec_sql(
      m_env, m_env.database, "DROP DATABASE IF EXISTS billing_sem_tabelas");
  support::exec_sql(
      m_env, m_env.database, "CREATE DATABASE billing_sem_tabelas");
  EXPECT_THAT(
      [&] { collect_clients(settings("billing_sem_tabelas")); },
      ThrowsMessage<DbError>(AllOf(HasSubstr("consultar clientes em atraso: "),
                                   HasSubstr("does not exist"))));
}

} // namespace
} // namespace billing
