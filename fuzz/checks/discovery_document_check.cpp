#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "checks/utf8_expect.h"
#include "console/text_form.h"
#include "monitoring/discovery_document.h"

#include <bit>
#include <cmath>
#include <nlohmann/json.hpp>
#include <variant>
#include <vector>

namespace fuzz_checks {
namespace {

// One event of a JSON reading, in document order; duplicate keys stay
// visible, unlike in a parsed object.
struct Event {
  enum class Kind {
    start_object,
    end_object,
    start_array,
    end_array,
    key,
    null,
    integer,
    real,
    text,
    other
  };
  Kind kind = Kind::other;
  std::string text;
  std::int64_t integer = 0;
  double real = 0;
};

Event plain(Event::Kind kind) {
  return {kind, {}, 0, 0};
}

class Recorder : public nlohmann::json_sax<nlohmann::json> {
public:
  std::vector<Event> events;
  std::string error;

  bool null() override { return push(Event::Kind::null); }
  bool boolean(bool) override { return push(Event::Kind::other); }
  bool number_integer(number_integer_t v) override {
    events.push_back({Event::Kind::integer, {}, v, 0});
    return true;
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (v > static_cast<number_unsigned_t>(INT64_MAX)) {
      return push(Event::Kind::other);
    }
    events.push_back(
        {Event::Kind::integer, {}, static_cast<std::int64_t>(v), 0});
    return true;
  }
  bool number_float(number_float_t v, const string_t&) override {
    events.push_back({Event::Kind::real, {}, 0, v});
    return true;
  }
  bool string(string_t& v) override {
    events.push_back({Event::Kind::text, v, 0, 0});
    return true;
  }
  bool binary(binary_t&) override { return push(Event::Kind::other); }
  bool start_object(std::size_t) override {
    return push(Event::Kind::start_object);
  }
  bool key(string_t& v) override {
    events.push_back({Event::Kind::key, v, 0, 0});
    return true;
  }
  bool end_object() override { return push(Event::Kind::end_object); }
  bool start_array(std::size_t) override {
    return push(Event::Kind::start_array);
  }
  bool end_array() override { return push(Event::Kind::end_array); }
  bool parse_error(std::size_t,
                   const std::string&,
                   const nlohmann::detail::exception& e) override {
    error = e.what();
    return false;
  }

private:
  bool push(Event::Kind kind) {
    events.push_back({kind, {}, 0, 0});
    return true;
  }
};

// The events a value must read back as.
Event expected_event(const console::Value& value) {
  struct Visitor {
    Event operator()(console::Null) const { return plain(Event::Kind::null); }
    Event operator()(std::int64_t v) const {
      return {Event::Kind::integer, {}, v, 0};
    }
    Event operator()(double v) const {
      if (!std::isfinite(v)) {
        return plain(Event::Kind::null);
      }
      return {Event::Kind::real, {}, 0, v};
    }
    Event operator()(const std::string& v) const {
      return {Event::Kind::text, well_formed_utf8(v), 0, 0};
    }
    Event operator()(const console::Date& v) const {
      return {Event::Kind::text, console::text_form(v), 0, 0};
    }
    Event operator()(const console::DateTime& v) const {
      return {Event::Kind::text, console::text_form(v), 0, 0};
    }
  };
  return std::visit(Visitor{}, value);
}

bool same_event(const Event& a, const Event& b) {
  return a.kind == b.kind && a.text == b.text && a.integer == b.integer
         && std::bit_cast<std::uint64_t>(a.real)
                == std::bit_cast<std::uint64_t>(b.real);
}

void check_ascii_text(const std::string& document) {
  for (std::size_t i = 0; i < document.size(); ++i) {
    const auto c = static_cast<unsigned char>(document[i]);
    require_at(c >= 0x20 && c <= 0x7E, "byte outside printable ASCII", i);
    if (c == '\\' && i + 1 < document.size() && document[i + 1] == 'u') {
      require_at(i + 5 < document.size(), "short \\u escape", i);
      unsigned unit = 0;
      for (std::size_t j = i + 2; j < i + 6; ++j) {
        const char h = document[j];
        require_at((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f'),
                   "\\u escape not in lower-case hex",
                   i);
        unit = unit * 16
               + static_cast<unsigned>(h <= '9' ? h - '0' : h - 'a' + 10);
      }
      require_at(unit < 0x20 || unit > 0x7E, "printable ASCII escaped", i);
      require_at(unit != '\n' && unit != '\r' && unit != '\t' && unit != '\b'
                     && unit != '\f',
                 "\\u escape where a short escape is due",
                 i);
    }
    if (c == '\\') {
      ++i; // the escaped character is not itself an escape
    }
  }
}

// Outside strings: ", " and ": " and no other blank.
void check_separators(const std::string& document) {
  bool in_string = false;
  for (std::size_t i = 0; i < document.size(); ++i) {
    const char c = document[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == ',' || c == ':') {
      require_at(i + 1 < document.size() && document[i + 1] == ' ',
                 "separator without its blank",
                 i);
    } else if (c == ' ') {
      require_at(i > 0 && (document[i - 1] == ',' || document[i - 1] == ':'),
                 "stray blank",
                 i);
    }
  }
}

} // namespace

int check_discovery_document(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::vector<console::Record> forms;
  const std::size_t count = input.byte() % 9;
  for (std::size_t i = 0; i < count && !input.empty(); ++i) {
    forms.push_back(input.record());
  }

  const std::string document = monitoring::discovery_document(forms);
  require(document.starts_with("{\"data\": [") && document.ends_with("]}"),
          "document not framed by {\"data\": [ and ]}");
  check_ascii_text(document);
  check_separators(document);

  Recorder recorder;
  const bool parsed = nlohmann::json::sax_parse(document, &recorder);
  require(parsed, "document is not JSON: " + recorder.error);

  std::vector<Event> expected;
  expected.push_back(plain(Event::Kind::start_object));
  expected.push_back({Event::Kind::key, "data", 0, 0});
  expected.push_back(plain(Event::Kind::start_array));
  for (const auto& form : forms) {
    expected.push_back(plain(Event::Kind::start_object));
    for (const auto& entry : form) {
      expected.push_back({Event::Kind::key, well_formed_utf8(entry.key), 0, 0});
      expected.push_back(expected_event(entry.value));
    }
    expected.push_back(plain(Event::Kind::end_object));
  }
  expected.push_back(plain(Event::Kind::end_array));
  expected.push_back(plain(Event::Kind::end_object));

  require(recorder.events.size() == expected.size(),
          "document reads back as " + std::to_string(recorder.events.size())
              + " events, not " + std::to_string(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!same_event(recorder.events[i], expected[i])) {
      throw CheckFailure("event " + std::to_string(i) + " differs (\""
                         + recorder.events[i].text + "\" against \""
                         + expected[i].text + "\")");
    }
  }

  return 0;
}

} // namespace fuzz_checks
