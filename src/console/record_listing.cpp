#include "console/record_listing.h"

#include "console/text_form.h"

#include <algorithm>
#include <vector>

namespace console {
namespace {

void append_padded(std::string& out,
                   const std::string& text,
                   std::size_t width) {
  out += text;
  const std::size_t length = code_points(text);
  if (length < width) {
    out.append(width - length, ' ');
  }
}

} // namespace

std::string record_block(const Record& record) {
  if (record.empty()) {
    throw ListingError("listagem de registros: registro sem entradas");
  }
  std::vector<std::string> values;
  values.reserve(record.size());
  std::size_t key_width = 0;
  std::size_t value_width = 0;
  for (const auto& entry : record) {
    key_width = std::max(key_width, code_points(entry.key));
    values.push_back(text_form(entry.value));
    value_width = std::max(value_width, code_points(values.back()));
  }
  std::string block;
  for (std::size_t i = 0; i < record.size(); ++i) {
    append_padded(block, record[i].key, key_width);
    // A null has no padded form: its line is the key alone.
    if (!std::holds_alternative<Null>(record[i].value)) {
      block.push_back(' ');
      append_padded(block, values[i], value_width);
    }
    block.push_back('\n');
  }
  block.push_back('\n');
  return block;
}

void print_dict_list(std::ostream& out, std::span<const Record> dict_list) {
  for (const auto& record : dict_list) {
    out << record_block(record);
  }
}

} // namespace console
