#include "timeseries/table_upkeep.h"

#include "console/colours.h"
#include "console/deadline.h"
#include "timeseries/sql_client.h"

#include <nlohmann/json.hpp>
#include <string>

namespace timeseries {

// The trailing blanks after the bairro and dataCriacaoTitulo lines and the
// last line of eight blanks are part of the statement as the store has always
// received it.
const std::string_view k_create_table =
    "\n"
    "        CREATE TABLE 'tarvoClientes' (\n"
    "        idCliente INT,\n"
    "        razaoSocial SYMBOL capacity 1048576 CACHE index capacity 256,\n"
    "        cpfCnpj SYMBOL capacity 1048576 CACHE,\n"
    "        valorDivida DOUBLE,\n"
    "        titulosDivida INT,\n"
    "        contatoCliente SYMBOL capacity 1048576 CACHE,\n"
    "        primeiroVencimento TIMESTAMP,\n"
    "        diasAtraso INT,\n"
    "        cidade SYMBOL capacity 512 CACHE,\n"
    "        pop SYMBOL capacity 512 CACHE,\n"
    "        bairro SYMBOL capacity 2048 CACHE,        \n"
    "        dataCadastro TIMESTAMP,\n"
    "        dataCriacaoTitulo TIMESTAMP,          \n"
    "        tarvoIdentification SYMBOL capacity 8 CACHE,\n"
    "        timestamp TIMESTAMP\n"
    "        ) timestamp (dataCadastro) PARTITION BY WEEK WAL\n"
    "        DEDUP UPSERT KEYS (idCliente, dataCadastro);\n"
    "        ";

// contatoCliente is added without CACHE, unlike in the creation statement.
const std::array<std::string_view, 15> k_add_columns = {
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

namespace {

constexpr std::size_t k_expected_columns = 15;

class UpkeepFailure : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Only the number of listed columns counts; no name is compared.
std::size_t listed_columns(const std::optional<nlohmann::json>& listing) {
  if (!listing || !listing->is_object()) {
    throw UpkeepFailure("no column listing");
  }
  const auto dataset = listing->find("dataset");
  if (dataset == listing->end()
      || !(dataset->is_array() || dataset->is_object())) {
    throw UpkeepFailure("no countable dataset");
  }
  return dataset->size();
}

} // namespace

UpkeepAction upkeep_action(const std::optional<nlohmann::json>& listing) {
  try {
    return listed_columns(listing) < k_expected_columns
               ? UpkeepAction::add_columns
               : UpkeepAction::nothing;
  } catch (const UpkeepFailure&) {
    return UpkeepAction::create_table;
  }
}

void upkeep_table(std::string_view quest_db_ip,
                  std::ostream& out,
                  const StoreAccess& access) {
  try {
    const auto listing =
        run_query(quest_db_ip, "SHOW COLUMNS FROM tarvoClientes", out, access);
    const UpkeepAction action = upkeep_action(listing);
    if (action == UpkeepAction::create_table) {
      throw UpkeepFailure("no countable column listing");
    }
    if (action == UpkeepAction::add_columns) {
      out << (std::string(console::YELLOW)
              + "O QuestDB se encontra com a tabela desatualizada, atualizando "
                "tabela!"
              + std::string(console::RESET) + "\n");
      for (const std::string_view statement : k_add_columns) {
        // Refusals are not read: a column that exists is refused and that is
        // fine.
        (void)run_query(quest_db_ip, std::string(statement), out, access);
      }
    }
  } catch (const console::TimeoutException&) {
    throw; // the run's bound ends the run, it is no reason to create the table
  } catch (...) {
    // Whatever went wrong (no reply, no dataset, a body that is not JSON), the
    // remedy is the creation statement; its own failure goes to the caller.
    (void)run_query(quest_db_ip, std::string(k_create_table), out, access);
  }
}

} // namespace timeseries
