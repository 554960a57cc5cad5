#include "timeseries/ilp_parser.h"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace test_support {
namespace {

class Reader {
public:
  explicit Reader(std::string_view text) : m_text(text) {}
  bool done() const { return m_at >= m_text.size(); }
  char peek() const {
    if (done()) {
      throw std::runtime_error("line protocol ends early");
    }
    return m_text[m_at];
  }
  char take() {
    const char c = peek();
    ++m_at;
    return c;
  }

  // A name up to an unescaped stop character, which is left unread.
  std::string name(std::string_view stops) {
    std::string out;
    while (stops.find(peek()) == std::string_view::npos) {
      char c = take();
      if (c == '\\') {
        c = take();
      } else if (c == '\n' || c == '"') {
        throw std::runtime_error("bad character in name");
      }
      out.push_back(c);
    }
    if (out.empty()) {
      throw std::runtime_error("empty name");
    }
    return out;
  }

  std::string quoted() {
    std::string out;
    if (take() != '"') {
      throw std::runtime_error("string without opening quote");
    }
    for (char c = take(); c != '"'; c = take()) {
      if (c == '\\') {
        c = take();
      }
      out.push_back(c);
    }
    return out;
  }

  std::string bare() {
    std::string out;
    while (peek() != ',' && peek() != ' ' && peek() != '\n') {
      out.push_back(take());
    }
    return out;
  }

private:
  std::string_view m_text;
  std::size_t m_at = 0;
};

std::int64_t integer(std::string_view digits) {
  std::int64_t value = 0;
  const auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{} || end != digits.data() + digits.size()
      || digits.empty()) {
    throw std::runtime_error("bad integer " + std::string(digits));
  }
  return value;
}

IlpField field_from(std::string name, Reader& reader) {
  IlpField field;
  field.name = std::move(name);
  if (reader.peek() == '"') {
    field.kind = IlpField::Kind::text;
    field.text = reader.quoted();
    return field;
  }
  field.raw = reader.bare();
  const std::string_view raw = field.raw;
  if (raw.empty()) {
    throw std::runtime_error("empty value of " + field.name);
  }
  if (raw.back() == 'i') {
    field.kind = IlpField::Kind::integer;
    field.number = integer(raw.substr(0, raw.size() - 1));
  } else if (raw.back() == 't') {
    field.kind = IlpField::Kind::micros;
    field.number = integer(raw.substr(0, raw.size() - 1));
  } else {
    field.kind = IlpField::Kind::real;
    char* end = nullptr;
    const std::string text(raw);
    field.real = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) {
      throw std::runtime_error("bad float " + text);
    }
  }
  return field;
}

} // namespace

const IlpField* IlpLine::field(std::string_view name) const {
  for (const IlpField& f : fields) {
    if (f.name == name) {
      return &f;
    }
  }
  return nullptr;
}

std::vector<IlpLine> parse_ilp(std::string_view body) {
  std::vector<IlpLine> lines;
  Reader reader(body);
  while (!reader.done()) {
    IlpLine line;
    line.table = reader.name(" ,\n");
    if (reader.take() != ' ') {
      throw std::runtime_error("table not followed by a space");
    }
    for (;;) {
      std::string name = reader.name("=\n ,");
      if (reader.take() != '=') {
        throw std::runtime_error("field without '='");
      }
      line.fields.push_back(field_from(std::move(name), reader));
      const char next = reader.take();
      if (next == ' ') {
        break;
      }
      if (next != ',') {
        throw std::runtime_error("fields not separated by ','");
      }
    }
    std::string digits;
    while (reader.peek() != '\n') {
      digits.push_back(reader.take());
    }
    reader.take();
    line.at = integer(digits);
    lines.push_back(std::move(line));
  }
  return lines;
}

} // namespace test_support
