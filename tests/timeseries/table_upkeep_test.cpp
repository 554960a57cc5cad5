#include "support/fake_questdb.h"
#include "timeseries/reply_error.h"
#include "timeseries/table_upkeep.h"
#include "support/library_words.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using test_support::FakeQuestDb;
using test_support::HttpReply;
using timeseries::upkeep_table;

const std::string k_listing = "SHOW COLUMNS FROM tarvoClientes";
const std::string k_notice = "\x1b[0;93mO QuestDB se encontra com a tabela "
                             "desatualizada, atualizando tabela!\x1b[0;0m\n";

// Written out by hand: the store has always been sent exactly these bytes.
const std::string k_creation =
    "\n        CREATE TABLE 'tarvoClientes' (\n        idCliente INT,\n"
    "        razaoSocial SYMBOL capacity 1048576 CACHE index capacity 256,\n"
    "        cpfCnpj SYMBOL capacity 1048576 CACHE,\n        valorDivida "
    "DOUBLE,\n"
    "        titulosDivida INT,\n        contatoCliente SYMBOL capacity "
    "1048576 CACHE,\n"
    "        primeiroVencimento TIMESTAMP,\n        diasAtraso INT,\n"
    "        cidade SYMBOL capacity 512 CACHE,\n        pop SYMBOL capacity "
    "512 CACHE,\n"
    "        bairro SYMBOL capacity 2048 CACHE,        \n        dataCadastro "
    "TIMESTAMP,\n"
    "        dataCriacaoTitulo TIMESTAMP,          \n"
    "        tarvoIdentification SYMBOL capacity 8 CACHE,\n        timestamp "
    "TIMESTAMP\n"
    "        ) timestamp (dataCadastro) PARTITION BY WEEK WAL\n"
    "        DEDUP UPSERT KEYS (idCliente, dataCadastro);\n        ";

const std::vector<std::string> k_alters = {
    "ALTER TABLE tarvoClientes ADD COLUMN idCliente INT",
    "ALTER TABLE tarvoClientes ADD COLUMN razaoSocial SYMBOL capacity 1048576 "
    "CACHE index capacity 256",
    "ALTER TABLE tarvoClientes ADD COLUMN cpfCnpj SYMBOL capacity 1048576 "
    "CACHE",
    "ALTER TABLE tarvoClientes ADD COLUMN valorDivida DOUBLE",
    "ALTER TABLE tarvoClientes ADD COLUMN titulosDivida INT",
    "ALTER TABLE tarvoClientes ADD COLUMN contatoCliente SYMBOL capacity "
    "1048576",
    "ALTER TABLE tarvoClientes ADD COLUMN primeiroVencimento TIMESTAMP",
    "ALTER TABLE tarvoClientes ADD COLUMN diasAtraso INT",
    "ALTER TABLE tarvoClientes ADD COLUMN cidade SYMBOL capacity 512 CACHE",
    "ALTER TABLE tarvoClientes ADD COLUMN pop SYMBOL capacity 512 CACHE",
    "ALTER TABLE tarvoClientes ADD COLUMN bairro SYMBOL capacity 2048 CACHE",
    "ALTER TABLE tarvoClientes ADD COLUMN dataCadastro TIMESTAMP",
    "ALTER TABLE tarvoClientes ADD COLUMN dataCriacaoTitulo TIMESTAMP",
    "ALTER TABLE tarvoClientes ADD COLUMN tarvoIdentification SYMBOL capacity "
    "8 CACHE",
    "ALTER TABLE tarvoClientes ADD COLUMN timestamp TIMESTAMP",
};

const std::string k_absent =
    R"({"query":"SHOW COLUMNS FROM tarvoClientes","error":"table does not exist [table=tarvoClientes]","position":18})";

} // namespace

namespace {

std::vector<std::string> sent_sql(const FakeQuestDb& store) {
  std::vector<std::string> sql;
  for (const auto& request : store.requests()) {
    sql.push_back(request.param("query"));
  }
  return sql;
}

std::vector<std::string> listing_then(std::vector<std::string> rest) {
  rest.insert(rest.begin(), k_listing);
  return rest;
}

struct UpkeepCase {
  const char* name;
  test_support::HttpScript script;
  std::vector<std::string> expected_sql;
  std::string expected_out;
};

TEST(TableUpkeep, FollowsTheStateTable) {
  std::vector<std::string> first_three(k_alters.begin(), k_alters.begin() + 3);
  first_three.push_back(k_creation);
  const std::vector<UpkeepCase> cases = {
      {"table absent",
       {HttpReply::json(k_absent, 400)},
       listing_then({k_creation}),
       ""},
      {"fourteen columns",
       {HttpReply::column_listing(14)},
       listing_then(k_alters),
       k_notice},
      {"no columns",
       {HttpReply::column_listing(0)},
       listing_then(k_alters),
       k_notice},
      {"fifteen columns",
       {HttpReply::column_listing(15)},
       listing_then({}),
       ""},
      {"sixteen columns",
       {HttpReply::column_listing(16)},
       listing_then({}),
       ""},
      {"listing not JSON",
       {HttpReply::text(200, "<html/>")},
       listing_then({k_creation}),
       ""},
      {"dataset not countable",
       {HttpReply::json(R"({"dataset":15})")},
       listing_then({k_creation}),
       ""},
      {"third ALTER answered with non-JSON",
       {HttpReply::column_listing(14),
        HttpReply::json(R"({"ddl":"OK"})"),
        HttpReply::json(R"({"ddl":"OK"})"),
        HttpReply::text(502, "Bad Gateway", "text/html")},
       listing_then(first_three),
       k_notice},
      {"refused ALTERs are not read",
       {HttpReply::column_listing(3),
        HttpReply::json(k_absent, 400),
        HttpReply::json(k_absent, 400)},
       listing_then(k_alters),
       k_notice},
  };
  std::uint8_t host = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string address = "127.0.1." + std::to_string(host++);
    FakeQuestDb store({address, 9000, c.script});
    std::ostringstream out;
    upkeep_table(address, out);
    EXPECT_EQ(sent_sql(store), c.expected_sql);
    EXPECT_EQ(out.str(), c.expected_out);
  }
}

TEST(TableUpkeep, CreationStatementIsSentByteForByte) {
  FakeQuestDb store({"127.0.1.30", 9000, {HttpReply::json(k_absent, 400)}});
  std::ostringstream out;
  upkeep_table("127.0.1.30", out);
  const auto requests = store.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].param("query"), k_creation);
  EXPECT_EQ(std::string(timeseries::k_create_table), k_creation);
}

TEST(TableUpkeep, UnreachableStorePrintsTwoErrorLinesAndEndsNormally) {
  std::ostringstream out;
  upkeep_table("127.0.9.2", out);
  EXPECT_THAT(out.str(),
              test_support::with_library_cause("Error: <cause>\nError: <cause>\n"));
}

TEST(TableUpkeep, CreationStatementThatGetsNoJsonThrows) {
  FakeQuestDb store(
      {"127.0.1.31",
       9000,
       {HttpReply::json(k_absent, 400), HttpReply::text(200, "")}});
  std::ostringstream out;
  EXPECT_THROW(upkeep_table("127.0.1.31", out), timeseries::ReplyError);
  EXPECT_EQ(sent_sql(store), listing_then({k_creation}));
}

} // namespace
