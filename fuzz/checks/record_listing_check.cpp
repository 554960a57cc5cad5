#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "console/record_listing.h"
#include "console/text_form.h"

#include <sstream>
#include <vector>

namespace fuzz_checks {
namespace {

// Code points as the listing counts them: bytes that are not UTF-8
// continuation bytes (10xxxxxx).
std::size_t width_of(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || byte >= 0xC0) {
      ++n;
    }
  }
  return n;
}

std::string padded(const std::string& text, std::size_t width) {
  const std::size_t n = width_of(text);
  return text + std::string(n < width ? width - n : 0, ' ');
}

// The block the listing's rules give for a record with entries.
std::string expected_block(const console::Record& record) {
  std::size_t key_width = 0;
  std::size_t value_width = 0;
  for (const auto& entry : record) {
    key_width = std::max(key_width, width_of(entry.key));
    value_width =
        std::max(value_width, width_of(console::text_form(entry.value)));
  }
  std::string block;
  for (const auto& entry : record) {
    block += padded(entry.key, key_width);
    if (!std::holds_alternative<console::Null>(entry.value)) {
      block += " " + padded(console::text_form(entry.value), value_width);
    }
    block += "\n";
  }
  return block + "\n";
}

bool holds_line_break(const console::Record& record) {
  for (const auto& entry : record) {
    if (entry.key.find('\n') != std::string::npos
        || console::text_form(entry.value).find('\n') != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Without line breaks in the texts, the block is one line per entry, all of
// one width except those of null values, then one empty line.
void check_lines(const console::Record& record, const std::string& block) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (block[i] == '\n') {
      lines.push_back(block.substr(start, i - start));
      start = i + 1;
    }
  }
  require(start == block.size(), "block does not end with a line feed");
  require(lines.size() == record.size() + 1, "not one line per entry");
  require(lines.back().empty(), "block does not end with an empty line");
  std::size_t key_width = 0;
  for (const auto& entry : record) {
    key_width = std::max(key_width, width_of(entry.key));
  }
  std::size_t full_width = 0;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const std::size_t width = width_of(lines[i]);
    if (std::holds_alternative<console::Null>(record[i].value)) {
      require(width == key_width, "null line not the key field alone");
      continue;
    }
    require(width > key_width, "line shorter than its key field");
    if (full_width == 0) {
      full_width = width;
    }
    require(width == full_width, "lines of one block differ in width");
  }
}

} // namespace

int check_record_listing(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::vector<console::Record> records;
  const std::size_t count = input.byte() % 6;
  for (std::size_t i = 0; i < count; ++i) {
    records.push_back(input.record());
  }

  std::string expected_output;
  bool expect_error = false;
  for (const auto& record : records) {
    if (record.empty()) {
      bool refused = false;
      try {
        (void)console::record_block(record);
      } catch (const console::ListingError&) {
        refused = true;
      }
      require(refused, "a record without entries was listed");
      expect_error = true;
      break;
    }
    std::string block;
    try {
      block = console::record_block(record);
    } catch (const std::exception& e) {
      throw CheckFailure(std::string("record_block threw: ") + e.what());
    }
    if (block != expected_block(record)) {
      throw CheckFailure("block differs from the listing's rules:\n" + block);
    }
    if (!holds_line_break(record)) {
      check_lines(record, block);
    }
    expected_output += block;
  }

  std::ostringstream out;
  bool threw = false;
  try {
    console::print_dict_list(out, records);
  } catch (const console::ListingError&) {
    threw = true;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("print_dict_list threw: ") + e.what());
  }
  require(threw == expect_error,
          expect_error ? "a record without entries did not stop the listing"
                       : "the listing stopped without cause");
  require(out.str() == expected_output,
          "listing differs from its blocks in order");
  return 0;
}

} // namespace fuzz_checks
