#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "timeseries/ilp_parser.h"
#include "timeseries/ingress_error.h"
#include "timeseries/line_protocol.h"

#include <array>
#include <bit>
#include <cmath>
#include <string_view>
#include <vector>

namespace fuzz_checks {
namespace {

using timeseries::Column;
using timeseries::FieldValue;

// The store's column names, so that most rows look like the program's own.
constexpr std::array<std::string_view, 15> k_names = {"idCliente",
                                                      "razaoSocial",
                                                      "cpfCnpj",
                                                      "valorDivida",
                                                      "titulosDivida",
                                                      "contatoCliente",
                                                      "primeiroVencimento",
                                                      "diasAtraso",
                                                      "cidade",
                                                      "pop",
                                                      "bairro",
                                                      "dataCadastro",
                                                      "dataCriacaoTitulo",
                                                      "tarvoIdentification",
                                                      "timestamp"};

// The store's rules for names, written out from its documentation rather
// than from the encoder.
bool forbidden_in_any_name(unsigned char c) {
  constexpr std::string_view listed = "?,'\"\\/:)(+*%~\r\n";
  return c <= 0x0F || c == 0x7F
         || listed.find(static_cast<char>(c)) != std::string_view::npos;
}

bool common_name_rules(std::string_view name) {
  if (name.empty() || name.size() > timeseries::k_max_name_len
      || name.find("\xEF\xBB\xBF") != std::string_view::npos) {
    return false;
  }
  for (const char c : name) {
    if (forbidden_in_any_name(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

bool valid_table_name(std::string_view name) {
  return common_name_rules(name) && name.front() != '.' && name.back() != '.'
         && name.find("..") == std::string_view::npos;
}

bool valid_column_name(std::string_view name) {
  return common_name_rules(name)
         && name.find_first_of(".-") == std::string_view::npos;
}

struct Row {
  std::string table;
  std::vector<Column> columns;
  std::int64_t at = 0;
};

FieldValue field_value(FuzzInput& input) {
  switch (input.byte() % 5) {
  case 0:
    return std::monostate{};
  case 1:
    return input.i64();
  case 2:
    return input.real();
  case 3:
    return input.text();
  default:
    return timeseries::TimestampMicros{input.i64()};
  }
}

Row make_row(FuzzInput& input, const std::string& previous_table) {
  Row row;
  row.table = input.byte() % 4 == 0 ? input.text(160) : previous_table;
  const std::size_t count = input.byte() % 17;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t choice = input.byte();
    std::string name = choice % 4 == 0
                           ? input.text(160)
                           : std::string(k_names[choice % k_names.size()]);
    row.columns.push_back({std::move(name), field_value(input)});
  }
  const std::int64_t at = input.i64();
  // Mostly valid times, some negative ones.
  row.at = input.byte() % 8 == 0 ? at : at & INT64_MAX;
  return row;
}

bool row_acceptable(const Row& row) {
  if (!valid_table_name(row.table) || row.at < 0) {
    return false;
  }
  bool any_value = false;
  for (const Column& column : row.columns) {
    if (std::holds_alternative<std::monostate>(column.value)) {
      continue;
    }
    any_value = true;
    if (!valid_column_name(column.name)) {
      return false;
    }
  }
  return any_value;
}

// What differs between a field read back and the column it was written
// from, or nullptr when nothing does.
const char* field_difference(const test_support::IlpField& field,
                             const Column& column) {
  using Kind = test_support::IlpField::Kind;
  if (field.name != column.name) {
    return "column name differs";
  }
  if (const auto* integer = std::get_if<std::int64_t>(&column.value)) {
    if (field.kind != Kind::integer || field.number != *integer) {
      return "integer differs";
    }
  } else if (const auto* real = std::get_if<double>(&column.value)) {
    if (field.kind != Kind::real) {
      return "not a float field";
    }
    if (std::isnan(*real) ? !std::isnan(field.real)
                          : std::bit_cast<std::uint64_t>(field.real)
                                != std::bit_cast<std::uint64_t>(*real)) {
      return "float differs";
    }
  } else if (const auto* text = std::get_if<std::string>(&column.value)) {
    if (field.kind != Kind::text || field.text != *text) {
      return "string differs";
    }
  } else if (const auto* micros =
                 std::get_if<timeseries::TimestampMicros>(&column.value)) {
    if (field.kind != Kind::micros || field.number != micros->value) {
      return "timestamp differs";
    }
  }
  return nullptr;
}

} // namespace

int check_line_protocol(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  timeseries::LineBuffer buffer;
  std::vector<Row> accepted;
  std::string table = "tarvoClientes";
  const std::size_t rows = input.byte() % 6;
  for (std::size_t r = 0; r < rows; ++r) {
    Row row = make_row(input, table);
    table = row.table;
    const std::string before = buffer.text();
    const std::size_t rows_before = buffer.rows();
    const bool acceptable = row_acceptable(row);
    try {
      buffer.add_row(row.table, row.columns, row.at);
    } catch (const timeseries::IngressError& e) {
      if (acceptable) {
        throw CheckFailure("row " + std::to_string(r)
                           + " refused: " + e.what());
      }
      require(buffer.text() == before && buffer.rows() == rows_before,
              "a refused row left something in the buffer");
      continue;
    }
    require_at(acceptable,
               "accepted against the store's rules for names, values and "
               "time: row",
               r);
    require(buffer.rows() == rows_before + 1, "row count not increased");
    accepted.push_back(std::move(row));
  }

  std::vector<test_support::IlpLine> lines;
  try {
    lines = test_support::parse_ilp(buffer.text());
  } catch (const std::runtime_error& e) {
    throw CheckFailure(std::string("buffer does not parse: ") + e.what());
  }
  require(lines.size() == accepted.size(),
          "buffer reads back as " + std::to_string(lines.size())
              + " lines, not " + std::to_string(accepted.size()));
  for (std::size_t r = 0; r < lines.size(); ++r) {
    const Row& row = accepted[r];
    require_at(lines[r].table == row.table, "table name differs, line", r);
    require_at(lines[r].at == row.at, "designated time differs, line", r);
    std::size_t f = 0;
    for (const Column& column : row.columns) {
      if (std::holds_alternative<std::monostate>(column.value)) {
        continue;
      }
      require_at(f < lines[r].fields.size(), "a field is missing, line", r);
      if (const char* difference =
              field_difference(lines[r].fields[f], column)) {
        throw CheckFailure("line " + std::to_string(r) + " field " + column.name
                           + ": " + difference + " (written as "
                           + lines[r].fields[f].raw + ")");
      }
      ++f;
    }
    require_at(f == lines[r].fields.size(), "extra fields, line", r);
  }
  return 0;
}

} // namespace fuzz_checks
