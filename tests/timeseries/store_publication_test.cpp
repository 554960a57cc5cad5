#include "support/fake_questdb.h"
#include "timeseries/ilp_parser.h"
#include "timeseries/store_publication.h"
#include "support/library_words.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

using test_support::FakeQuestDb;
using test_support::HttpReply;
using test_support::IlpField;
using test_support::IlpLine;
using test_support::parse_ilp;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using timeseries::get_timestamp;
using timeseries::publish_to_store;

billing::Client sample_client() {
  billing::Client c;
  c.id = std::int64_t{42};
  c.razao_social = std::string("Padaria \"Boa\" Ltda");
  c.cpf_cnpj = std::string("12.345.678/0001-90");
  c.valor_divida = 150.75;
  c.titulos_em_atraso = std::int64_t{3};
  c.contato = std::string("(11) 98888-7777");
  c.primeiro_vencimento = console::DateTime{{2024, 3, 5}, 10, 0, 0, 0};
  c.dias_atraso = std::int64_t{61};
  c.cidade = "Sao Paulo";
  c.pop = "Centro";
  c.bairro = "Se";
  c.data_cadastro = console::DateTime{{2020, 1, 2}, 8, 30, 0, 0};
  c.data_criacao_titulo = console::DateTime{{2024, 2, 1}, 0, 0, 0, 0};
  return c;
}

console::RunSettings settings_for(const std::string& ip,
                                  const std::string& port) {
  console::RunSettings s;
  s.quest_db_ip = ip;
  s.quest_db_port = port;
  s.zabbix_host = "tarvo-pop-01";
  return s;
}

struct Expected {
  const char* name;
  IlpField::Kind kind;
  std::string text;
  std::int64_t number;
  double real;
};

void expect_fields(const IlpLine& line, const std::vector<Expected>& expected) {
  ASSERT_EQ(line.fields.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    const IlpField& f = line.fields[i];
    EXPECT_EQ(f.name, expected[i].name);
    EXPECT_EQ(f.kind, expected[i].kind);
    switch (f.kind) {
    case IlpField::Kind::text:
      EXPECT_EQ(f.text, expected[i].text);
      break;
    case IlpField::Kind::real:
      EXPECT_EQ(f.real, expected[i].real);
      break;
    default:
      EXPECT_EQ(f.number, expected[i].number);
      break;
    }
  }
}

// Sao Paulo keeps UTC-3 all year since 2019, so local instants are easy to
// state.
class StorePublicationTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_saved_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
    ::setenv("TZ", "America/Sao_Paulo", 1);
    ::tzset();
  }
  void TearDown() override {
    if (m_saved_tz) {
      ::setenv("TZ", m_saved_tz->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  std::ostringstream out;
  std::ostringstream err;

private:
  std::optional<std::string> m_saved_tz;
};

TEST_F(StorePublicationTest, RowsGoToTheIngestionPortWithAllFifteenColumns) {
  FakeQuestDb sql({"127.0.2.1", 9000, {HttpReply::column_listing(15)}});
  FakeQuestDb rows({"127.0.2.1", 0, {}});
  const auto settings = settings_for("127.0.2.1", std::to_string(rows.port()));
  billing::Client second = sample_client();
  second.id = std::int64_t{43};
  second.contato = console::Null{};
  second.valor_divida = std::int64_t{0};
  const std::vector<billing::Client> clients = {sample_client(), second};

  const auto before = std::chrono::system_clock::now();
  publish_to_store(settings, clients, out, err);
  const auto after = std::chrono::system_clock::now();

  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "");
  const auto sql_requests = sql.requests();
  ASSERT_EQ(sql_requests.size(), 1U);
  EXPECT_EQ(sql_requests[0].param("query"), "SHOW COLUMNS FROM tarvoClientes");
  const auto posts = rows.requests();
  ASSERT_EQ(posts.size(), 1U);
  EXPECT_EQ(posts[0].path, "/write");
  const auto lines = parse_ilp(posts[0].body);
  ASSERT_EQ(lines.size(), 2U);

  using K = IlpField::Kind;
  const IlpField* stamp = lines[0].field("timestamp");
  ASSERT_NE(stamp, nullptr);
  const std::vector<Expected> first = {
      {"idCliente", K::integer, "", 42, 0},
      {"razaoSocial", K::text, "Padaria \"Boa\" Ltda", 0, 0},
      {"cpfCnpj", K::text, "12.345.678/0001-90", 0, 0},
      {"valorDivida", K::real, "", 0, 150.75},
      {"titulosDivida", K::integer, "", 3, 0},
      {"contatoCliente", K::text, "(11) 98888-7777", 0, 0},
      {"primeiroVencimento", K::micros, "", 1709643600000000, 0}, // 13:00 UTC
      {"diasAtraso", K::integer, "", 61, 0},
      {"cidade", K::text, "Sao Paulo", 0, 0},
      {"pop", K::text, "Centro", 0, 0},
      {"bairro", K::text, "Se", 0, 0},
      {"dataCadastro",
       K::micros,
       "",
       1577964600000000,
       0}, // 2020-01-02 11:30 UTC
      {"dataCriacaoTitulo", K::micros, "", 1706756400000000, 0},
      {"tarvoIdentification", K::text, "tarvo-pop-01", 0, 0},
      {"timestamp", K::micros, "", stamp->number, 0},
  };
  EXPECT_EQ(lines[0].table, "tarvoClientes");
  expect_fields(lines[0], first);

  // The same run timestamp on both rows, in microseconds of the call's moment.
  const auto micros = [](auto t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               t.time_since_epoch())
        .count();
  };
  EXPECT_GE(stamp->number, micros(before) - 1);
  EXPECT_LE(stamp->number, micros(after));
  std::vector<Expected> second_fields = first;
  second_fields[0].number = 43;
  second_fields[3] = {"valorDivida", K::integer, "", 0, 0};
  second_fields.erase(second_fields.begin() + 5);
  expect_fields(lines[1], second_fields);
  EXPECT_NE(posts[0].body.find("valorDivida=0i"), std::string::npos);

  // Designated times: read per row, in nanoseconds, in order.
  EXPECT_GE(lines[0].at, micros(before) * 1000);
  EXPECT_LE(lines[0].at, lines[1].at);
  EXPECT_LE(lines[1].at / 1000, micros(after));
}

TEST_F(StorePublicationTest, EmptyListRunsUpkeepAndPostsNothing) {
  FakeQuestDb sql({"127.0.2.2", 9000, {HttpReply::column_listing(14)}});
  FakeQuestDb rows({"127.0.2.2", 0, {}});
  publish_to_store(
      settings_for("127.0.2.2", std::to_string(rows.port())), {}, out, err);
  EXPECT_EQ(sql.requests().size(), 16U);
  EXPECT_TRUE(rows.requests().empty());
  EXPECT_EQ(out.str(),
            "\x1b[0;93mO QuestDB se encontra com a tabela desatualizada, "
            "atualizando tabela!\x1b[0;0m\n");
  EXPECT_EQ(err.str(), "");
}

TEST_F(StorePublicationTest, RefusedRowsPrintOneErroLineAndReturn) {
  FakeQuestDb sql({"127.0.2.3", 9000, {HttpReply::column_listing(15)}});
  FakeQuestDb rows(
      {"127.0.2.3",
       0,
       {HttpReply::json(
           R"({"code":"invalid","message":"cast error","line":1,"errorId":"e-1"})",
           400)}});
  const std::vector<billing::Client> clients = {sample_client()};
  publish_to_store(settings_for("127.0.2.3", std::to_string(rows.port())),
              clients,
              out,
              err);
  EXPECT_EQ(err.str(),
            "Erro: Could not flush buffer: cast error [id: e-1, code: invalid, "
            "line: 1]\n");
  EXPECT_EQ(out.str(), "");
}

TEST_F(StorePublicationTest, BadConfigurationIsAnErroLine) {
  FakeQuestDb sql({"127.0.2.4", 9000, {HttpReply::column_listing(15)}});
  publish_to_store(settings_for("127.0.2.4", "porta"), {}, out, err);
  EXPECT_THAT(err.str(), MatchesRegex("Erro: [^\n]*\"addr\"[^\n]*\n"));
}

TEST_F(StorePublicationTest, CreationWithoutJsonReplyEndsBeforeAnyRow) {
  FakeQuestDb sql({"127.0.2.5",
                   9000,
                   {HttpReply::text(200, "oops"), HttpReply::text(200, "")}});
  FakeQuestDb rows({"127.0.2.5", 0, {}});
  const std::vector<billing::Client> clients = {sample_client()};
  EXPECT_THROW(
      publish_to_store(settings_for("127.0.2.5", std::to_string(rows.port())),
                  clients,
                  out,
                  err),
      std::exception);
  EXPECT_TRUE(rows.requests().empty());
}

TEST_F(StorePublicationTest, UnreachableStoreGivesTwoErrorLinesThenOneErro) {
  const std::vector<billing::Client> clients = {sample_client()};
  publish_to_store(settings_for("127.0.9.3", "9009"), clients, out, err);
  EXPECT_THAT(out.str(),
              test_support::with_library_cause("Error: <cause>\nError: <cause>\n"));
  EXPECT_THAT(err.str(),
              test_support::with_library_cause(
                  "Erro: Could not flush buffer: http://127.0.9.3:9009/write: "
                  "<cause>\n"));
}

TEST(StoreRow, TheClientsFieldsInTheTablesOrderAndKinds) {
  billing::Client c = sample_client();
  c.cpf_cnpj = console::Null{};
  c.valor_divida = std::int64_t{0};
  c.contato = console::Null{};
  c.data_cadastro = console::Null{};
  const auto row = timeseries::store_row(c, "pop-sul");
  const std::vector<std::pair<std::string, console::Value>> expected{
      {"idCliente", std::int64_t{42}},
      {"razaoSocial", std::string("Padaria \"Boa\" Ltda")},
      {"cpfCnpj", console::Null{}},
      {"valorDivida", std::int64_t{0}},
      {"titulosDivida", std::int64_t{3}},
      {"contatoCliente", console::Null{}},
      {"primeiroVencimento", console::DateTime{{2024, 3, 5}, 10, 0, 0, 0}},
      {"diasAtraso", std::int64_t{61}},
      {"cidade", std::string("Sao Paulo")},
      {"pop", std::string("Centro")},
      {"bairro", std::string("Se")},
      {"dataCadastro", console::Null{}},
      {"dataCriacaoTitulo", console::DateTime{{2024, 2, 1}, 0, 0, 0, 0}},
      {"tarvoIdentification", std::string("pop-sul")},
  };
  ASSERT_EQ(row.size(), expected.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(row[i].key, expected[i].first);
    EXPECT_EQ(row[i].value, expected[i].second);
  }
}

TEST(GetTimestamp, KeepsTheDoublePrecisionProduct) {
  using namespace std::chrono;
  const auto instant = sys_days{year{2024} / January / 1} + microseconds{1};
  EXPECT_EQ(get_timestamp([&] { return instant; }), 1704067200000001024);
  const auto whole = sys_days{year{2024} / January / 1};
  EXPECT_EQ(get_timestamp([&] { return whole; }), 1704067200000000000);
  // Nanoseconds below the microsecond are dropped before the product.
  const auto fine =
      time_point_cast<system_clock::duration>(instant + nanoseconds{999});
  EXPECT_EQ(get_timestamp([&] { return fine; }), 1704067200000001024);
}

} // namespace
