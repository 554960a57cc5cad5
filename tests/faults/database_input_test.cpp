// Awkward database contents: texts that need every kind of escape, control
// characters, characters above U+FFFF, a 1 MiB text, and amounts that are
// NaN, infinite, negative zero, huge and tiny. The report stays well formed,
// the discovery document valid JSON, every row readable line protocol.
#include "console/text_form.h"
#include "faults/fault_run.h"
#include "faults/tcp_peers.h"
#include "timeseries/ilp_parser.h"

#include <bit>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

namespace {

using faults::FakeStore;
using test_support::FakeTrapper;
using ::testing::StartsWith;

constexpr int k_file = 7;

// Every control character, the characters JSON and line protocol escape,
// and the Unicode line and paragraph separators, BOM and NEL.
std::string escape_text() {
  std::string text = "aspas \" barra \\ / nl \n cr \r tab \t bs \b ff \f del "
                     "\x7f ctl ";
  for (char c = 1; c < 0x20; ++c) {
    text.push_back(c);
  }
  text += " <>&'%_ , = \u2028\u2029\uFEFF\u0085 fim";
  return text;
}

const std::string k_astral = "Música 𝄞 🎸 😀 🇧🇷 \U0010FFFF fim";

std::string long_text() {
  std::string text;
  while (text.size() < (1U << 20U)) {
    text += "Ação Ltda — ";
  }
  return text;
}

// One overdue client of the test database.
struct Client {
  int id;
  std::optional<std::string> name;
  std::optional<std::string> cpf;
  std::string amount_sql;       // a double precision literal, or NULL
  std::optional<double> amount; // nullopt: NULL in the database
  std::vector<std::string> contacts;
};

std::vector<Client> clients() {
  const double nan = std::nan("");
  const double inf = HUGE_VAL;
  return {
      {1, escape_text(), "\"'\\", "'NaN'", nan, {escape_text(), "a | b"}},
      {2, k_astral, "🎸", "'Infinity'", inf, {k_astral}},
      {3, long_text(), std::nullopt, "'-Infinity'", -inf, {long_text()}},
      {4, "", "", "'-0'", -0.0, {""}},
      {5,
       std::nullopt,
       "None",
       "'1.7976931348623157e308'",
       1.7976931348623157e308,
       {}},
      {6, "None", "null", "'5e-324'", 5e-324, {"N/A"}},
      {7, "   ", "N/A", "'1e-05'", 1e-05, {}},
      {8, "{\"data\": []}", "}", "'1e16'", 1e16, {}},
      {9,
       "\\u00e7 \\n",
       "\\",
       "'0.30000000000000004'",
       0.30000000000000004,
       {}},
      {-2147483648, "mín", std::nullopt, "'-123.456'", -123.456, {}},
      {2147483647, "máx", std::nullopt, "NULL", std::nullopt, {}},
  };
}

std::string sql_literal(const std::optional<std::string>& text) {
  if (!text) {
    return "NULL";
  }
  std::string out = "'";
  for (const char c : *text) {
    out += c == '\'' ? std::string("''") : std::string(1, c);
  }
  return out + "'";
}

std::string rows_sql() {
  std::string sql = "ALTER TABLE financeiro_titulo ALTER COLUMN valor TYPE "
                    "double precision;\n";
  int contact_id = 0;
  for (const auto& c : clients()) {
    const auto id = std::to_string(c.id);
    sql += "INSERT INTO admcore_pessoa VALUES (" + id + ", "
           + sql_literal(c.name) + ", " + sql_literal(c.cpf) + ");\n";
    sql +=
        "INSERT INTO admcore_cliente VALUES (" + id + ", " + id + ", NULL);\n";
    sql += "INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, "
           "status, data_vencimento, data_documento) VALUES ("
           + id + ", " + id + ", NULL, " + c.amount_sql
           + ", 1, '2024-01-10', '2024-01-01 10:00:00');\n";
    for (const auto& contact : c.contacts) {
      ++contact_id;
      const auto cid = std::to_string(contact_id);
      sql += "INSERT INTO admcore_contato VALUES (" + cid + ", "
             + sql_literal(contact) + ");\n";
      sql += "INSERT INTO admcore_clientecontato VALUES (" + cid + ", " + id
             + ", " + cid + ");\n";
    }
  }
  return sql;
}

// The contacts as the statement joins them: distinct, in byte order (the
// test cluster's collation is C), " | " between.
std::optional<std::string> joined_contacts(std::vector<std::string> contacts) {
  if (contacts.empty()) {
    return std::nullopt;
  }
  std::sort(contacts.begin(), contacts.end());
  contacts.erase(std::unique(contacts.begin(), contacts.end()), contacts.end());
  std::string out = contacts.front();
  for (std::size_t i = 1; i < contacts.size(); ++i) {
    out += " | " + contacts[i];
  }
  return out;
}

std::size_t code_points(std::string_view text) {
  return console::code_points(text);
}

// The amount's text form, as the report and the item values write it.
std::string amount_text(const Client& c) {
  return c.amount ? console::float_text(*c.amount) : "0";
}

// The block the record listing prints for one client: keys padded to the
// longest key, values to the longest value, a null value as its key alone.
std::string expected_block(const Client& c) {
  const auto contact = joined_contacts(c.contacts);
  const std::vector<std::pair<std::string, std::optional<std::string>>> entries{
      {"{#CLIENTE_ID}", std::to_string(c.id)},
      {"{#RAZAOSOCIAL}", c.name},
      {"{#CPF_CNPJ}", c.cpf},
      {"{#VALOR_DIVIDA}", amount_text(c)},
      {"{#TITULOS_EM_ATRASO}", c.amount ? "1" : "0"},
      {"{#CONTATO}", contact ? *contact : "N/A"},
  };
  std::size_t key_width = 0;
  std::size_t value_width = 0;
  for (const auto& [key, value] : entries) {
    key_width = std::max(key_width, code_points(key));
    value_width = std::max(value_width, value ? code_points(*value) : 4);
  }
  std::string block;
  for (const auto& [key, value] : entries) {
    block += key + std::string(key_width - code_points(key), ' ');
    if (value) {
      block +=
          " " + *value + std::string(value_width - code_points(*value), ' ');
    }
    block += "\n";
  }
  return block + "\n";
}

class DatabaseInput : public faults::FaultRun {
protected:
  void SetUp() override {
    FaultRun::SetUp();
    if (IsSkipped()) {
      return;
    }
    // Each test its own database: tests may run side by side.
    m_database =
        "faults_conteudo_"
        + std::to_string(
            ::testing::UnitTest::GetInstance()->current_test_info()->line());
    support::create_billing_database(m_env, m_database, rows_sql());
  }

  std::string m_database;
};

TEST_F(DatabaseInput, DebugReportIsWellFormed) {
  auto s = settings(faults::fault_address(k_file, __LINE__));
  s.db_name = m_database;
  s.zabbix_host = "debug";
  const auto r = run(s, "127.0.0.1:1");
  ASSERT_EQ(r.signal, 0);
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 500);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(faults::is_utf8(r.out));
  const std::string head =
      "Modo debug ativado.\n\x1b[0;32m\nVersão do script: 1.9.0\x1b[1;36m \n\n"
      "\x1b[1;36m...============================================= Clientes "
      "==============================================...\n\x1b[0;0m\n";
  const std::string tail =
      "\x1b[1;36m...======================================== Informações "
      "Gerais ==========================================...\n\x1b[0;0m\n"
      "Títulos totais em atraso:                       10\n"
      "Valor total em dívida:                          nan\n"
      "Títulos dentro do prazo de vencimento:          0\n"
      "Valor em aberto dentro do prazo de vencimento:  None\n";
  ASSERT_THAT(r.out, StartsWith(head));
  ASSERT_THAT(r.out, ::testing::EndsWith(tail));
  // The blocks, in server order: each one whole, nothing else between.
  const std::string listing =
      r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
  std::size_t total = 0;
  for (const auto& c : clients()) {
    SCOPED_TRACE("client " + std::to_string(c.id));
    const std::string block = expected_block(c);
    EXPECT_NE(listing.find(block), std::string::npos);
    total += block.size();
  }
  EXPECT_EQ(listing.size(), total);
}

TEST_F(DatabaseInput, PublishedDocumentValuesAndRowsStayWellFormed) {
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.db_name = m_database;
  const auto r = run(s, faults::zabbix_server_of(trapper));
  ASSERT_EQ(r.signal, 0);
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 500);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.err, "");

  const auto all = clients();
  const auto received = trapper.received();
  ASSERT_EQ(received.size(), 5 + 2 * all.size());
  std::map<std::string, std::string> values;
  for (const auto& request : received) {
    // Every request is strict JSON, whatever the value held.
    const auto body =
        nlohmann::json::parse(request.raw.substr(13), nullptr, false);
    ASSERT_TRUE(body.is_object()) << request.raw.substr(0, 200);
    values[request.key] = request.value;
  }
  EXPECT_EQ(values["titulos_totais_em_atraso"], "10");
  EXPECT_EQ(values["valor_total_divida"], "nan");
  EXPECT_EQ(values["titulos_totais_em_aberto"], "0");
  EXPECT_EQ(values["valor_total_em_aberto"], "None");

  const std::string& document = values["discovery_clientes"];
  for (const char c : document) {
    ASSERT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << static_cast<int>(c);
  }
  const auto parsed = nlohmann::json::parse(document);
  ASSERT_EQ(parsed.size(), 1U);
  ASSERT_EQ(parsed.at("data").size(), all.size());
  std::map<long long, nlohmann::json> by_id;
  for (const auto& form : parsed["data"]) {
    ASSERT_EQ(form.size(), 6U);
    by_id[form.at("{#CLIENTE_ID}").get<long long>()] = form;
  }
  for (const auto& c : all) {
    SCOPED_TRACE("client " + std::to_string(c.id));
    const auto& form = by_id.at(c.id);
    if (c.name) {
      EXPECT_EQ(form.at("{#RAZAOSOCIAL}"), *c.name);
    } else {
      EXPECT_TRUE(form.at("{#RAZAOSOCIAL}").is_null());
    }
    const auto contact = joined_contacts(c.contacts);
    EXPECT_EQ(form.at("{#CONTATO}"), contact ? *contact : "N/A");
    const auto& amount = form.at("{#VALOR_DIVIDA}");
    if (!c.amount) {
      EXPECT_TRUE(amount.is_number_integer());
      EXPECT_EQ(amount, 0);
    } else if (!std::isfinite(*c.amount)) {
      // JSON has no NaN or infinity.
      EXPECT_TRUE(amount.is_null());
    } else {
      ASSERT_TRUE(amount.is_number_float()) << amount.dump();
      EXPECT_EQ(std::bit_cast<std::uint64_t>(amount.get<double>()),
                std::bit_cast<std::uint64_t>(*c.amount));
    }
    EXPECT_EQ(values["valor_divida[" + std::to_string(c.id) + "]"],
              amount_text(c));
    EXPECT_EQ(values["titulos_em_atraso[" + std::to_string(c.id) + "]"],
              c.amount ? "1" : "0");
  }

  std::map<long long, test_support::IlpLine> rows;
  for (const auto& request : store.rows->requests()) {
    for (auto& line : test_support::parse_ilp(request.body)) {
      ASSERT_NE(line.field("idCliente"), nullptr);
      rows[line.field("idCliente")->number] = line;
    }
  }
  ASSERT_EQ(rows.size(), all.size());
  for (const auto& c : all) {
    SCOPED_TRACE("row " + std::to_string(c.id));
    const auto& line = rows.at(c.id);
    EXPECT_EQ(line.table, "tarvoClientes");
    const auto* name = line.field("razaoSocial");
    if (c.name) {
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(name->text, *c.name);
    } else {
      EXPECT_EQ(name, nullptr);
    }
    const auto contact = joined_contacts(c.contacts);
    const auto* contato = line.field("contatoCliente");
    if (contact) {
      ASSERT_NE(contato, nullptr);
      EXPECT_EQ(contato->text, *contact);
    } else {
      EXPECT_EQ(contato, nullptr);
    }
    const auto* amount = line.field("valorDivida");
    ASSERT_NE(amount, nullptr);
    if (!c.amount) {
      EXPECT_EQ(amount->raw, "0i");
    } else if (std::isnan(*c.amount)) {
      EXPECT_EQ(amount->raw, "NaN");
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(amount->real),
                std::bit_cast<std::uint64_t>(*c.amount))
          << amount->raw;
    }
  }
}

TEST_F(DatabaseInput, DatesAtTheEdgesOfTheCalendar) {
  support::exec_sql(
      m_env,
      m_database,
      "INSERT INTO admcore_clientecontrato VALUES (1, 1, NULL, NULL, "
      "'0001-01-01 00:00:00'), (2, 2, NULL, NULL, '9999-12-31 "
      "23:59:59.999999');"
      "UPDATE financeiro_titulo SET data_documento = '1900-01-01' WHERE id = 3;"
      "UPDATE financeiro_titulo SET data_vencimento = '0001-01-02' WHERE id = "
      "4;");
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.db_name = m_database;
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
  EXPECT_EQ(r.out, "OK\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(store.rows_received(), clients().size());
}

TEST_F(DatabaseInput, InfiniteTimestampEndsTheRunBeforeAnySend) {
  support::exec_sql(m_env,
                    m_database,
                    "INSERT INTO admcore_clientecontrato VALUES (1, 1, NULL, "
                    "NULL, 'infinity')");
  const auto address = faults::fault_address(k_file, __LINE__);
  FakeStore store(address, faults::complete_table());
  FakeTrapper trapper;
  auto s = settings(address, store.rows_port());
  s.db_name = m_database;
  const auto r = run(s, faults::zabbix_server_of(trapper));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Falha na execução: ler resultado do banco de dados: valor data e "
            "hora inválido: infinity\n");
  EXPECT_TRUE(trapper.received().empty());
  EXPECT_TRUE(store.sql->requests().empty());
}

} // namespace
