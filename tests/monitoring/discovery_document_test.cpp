#include "monitoring/discovery_document.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace {

using console::Entry;
using console::Record;
using console::Value;
using monitoring::discovery_document;

std::string json_string(std::string_view utf8) {
  std::string out;
  monitoring::append_json_string(out, utf8);
  return out;
}

std::string single_value_document(const Value& value) {
  const std::vector<Record> forms{Record{Entry{"{#V}", value}}};
  return discovery_document(forms);
}

class DiscoveryDocumentTest : public ::testing::Test {};

TEST_F(DiscoveryDocumentTest, OneClientIsWrittenExactly) {
  const std::vector<Record> forms{Record{
      Entry{"{#CLIENTE_ID}", std::int64_t{42}},
      Entry{"{#RAZAOSOCIAL}", std::string("Construções Exemplo")},
      Entry{"{#CPF_CNPJ}", std::string("000.000.000-00")},
      Entry{"{#VALOR_DIVIDA}", 199.8},
      Entry{"{#TITULOS_EM_ATRASO}", std::int64_t{2}},
      Entry{"{#CONTATO}", std::string("N/A")},
  }};
  EXPECT_EQ(
      discovery_document(forms),
      R"({"data": [{"{#CLIENTE_ID}": 42, "{#RAZAOSOCIAL}": "Constru\u00e7\u00f5es Exemplo", )"
      R"("{#CPF_CNPJ}": "000.000.000-00", "{#VALOR_DIVIDA}": 199.8, "{#TITULOS_EM_ATRASO}": 2, )"
      R"("{#CONTATO}": "N/A"}]})");
}

TEST_F(DiscoveryDocumentTest, AClientsFormInItsOrderWithNAForNoContact) {
  billing::Client client;
  client.id = std::int64_t{7};
  client.razao_social = std::string("Nome");
  client.valor_divida = std::int64_t{0};
  client.titulos_em_atraso = std::int64_t{2};
  const Record form = monitoring::discovery_form(client);
  const std::vector<std::string> keys{"{#CLIENTE_ID}",
                                      "{#RAZAOSOCIAL}",
                                      "{#CPF_CNPJ}",
                                      "{#VALOR_DIVIDA}",
                                      "{#TITULOS_EM_ATRASO}",
                                      "{#CONTATO}"};
  ASSERT_EQ(form.size(), keys.size());
  for (std::size_t i = 0; i < form.size(); ++i) {
    EXPECT_EQ(form[i].key, keys[i]);
  }
  EXPECT_EQ(form[5].value, Value(std::string("N/A")));
}

TEST_F(DiscoveryDocumentTest, NoClientsIsAnEmptyArray) {
  EXPECT_EQ(discovery_document({}), R"({"data": []})");
}

TEST_F(DiscoveryDocumentTest,
       SeveralFormsAndEmptyFormAreSeparatedByCommaBlank) {
  const std::vector<Record> forms{
      Record{Entry{"{#A}", std::int64_t{-1}}, Entry{"{#B}", console::Null{}}},
      Record{},
      Record{Entry{"{#A}", std::int64_t{7}}},
  };
  EXPECT_EQ(discovery_document(forms),
            R"({"data": [{"{#A}": -1, "{#B}": null}, {}, {"{#A}": 7}]})");
}

TEST_F(DiscoveryDocumentTest, StringEscapes) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"plain ascii", "abc ~!", R"("abc ~!")"},
      {"empty", "", R"("")"},
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short escapes", "\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {"control U+0001", "\x01", R"("\u0001")"},
      {"NUL", std::string(1, '\0'), R"("\u0000")"},
      {"control U+001F", "\x1f", R"("\u001f")"},
      {"DEL", "\x7f", R"("\u007f")"},
      {"slash is not escaped", "a/b", R"("a/b")"},
      {"two-byte", "ç", R"("\u00e7")"},
      {"U+0080 lowest two-byte", "\xc2\x80", R"("\u0080")"},
      {"three-byte", "€", R"("\u20ac")"},
      {"U+FFFF", "\xef\xbf\xbf", R"("\uffff")"},
      {"astral U+1D11E", "\xf0\x9d\x84\x9e", R"("\ud834\udd1e")"},
      {"U+10000", "\xf0\x90\x80\x80", R"("\ud800\udc00")"},
      {"U+10FFFF", "\xf4\x8f\xbf\xbf", R"("\udbff\udfff")"},
      {"lone continuation byte", "a\x80z", R"("a\ufffdz")"},
      {"truncated three-byte at end", "a\xe2\x82", R"("a\ufffd\ufffd")"},
      {"truncated sequence then ascii", "\xe2\x82z", R"("\ufffd\ufffdz")"},
      {"overlong slash", "\xc0\xaf", R"("\ufffd\ufffd")"},
      {"encoded surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
      {"byte 0xff", "\xff", R"("\ufffd")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_string(c.input), c.expected);
  }
}

TEST_F(DiscoveryDocumentTest, MemberNamesAreEscapedToo) {
  const std::vector<Record> forms{
      Record{Entry{"{#NOME\"É}", std::string("x")}}};
  EXPECT_EQ(discovery_document(forms),
            R"({"data": [{"{#NOME\"\u00c9}": "x"}]})");
}

TEST_F(DiscoveryDocumentTest, NumberText) {
  struct Case {
    const char* name;
    Value value;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"integral float keeps .0", 150.0, "150.0"},
      {"zero float", 0.0, "0.0"},
      {"shortest round trip", 0.1, "0.1"},
      {"1e16 in exponent form", 1e16, "1e+16"},
      {"just below 1e16 fixed", 9999999999999998.0, "9999999999999998.0"},
      {"1e-05 in exponent form", 1e-05, "1e-05"},
      {"0.0001 fixed", 0.0001, "0.0001"},
      {"negative", -199.8, "-199.8"},
      {"nan is null", std::numeric_limits<double>::quiet_NaN(), "null"},
      {"inf is null", std::numeric_limits<double>::infinity(), "null"},
      {"-inf is null", -std::numeric_limits<double>::infinity(), "null"},
      {"int64 min",
       std::numeric_limits<std::int64_t>::min(),
       "-9223372036854775808"},
      {"int64 max",
       std::numeric_limits<std::int64_t>::max(),
       "9223372036854775807"},
      {"null", console::Null{}, "null"},
      {"date quoted", console::Date{2024, 3, 5}, R"("2024-03-05")"},
      {"date-time quoted",
       console::DateTime{{2024, 3, 5}, 7, 8, 9, 0},
       R"("2024-03-05 07:08:09")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(single_value_document(c.value),
              R"({"data": [{"{#V}": )" + c.expected + "}]}");
  }
}

TEST_F(DiscoveryDocumentTest, DocumentIsValidJsonForNonFiniteValues) {
  const std::vector<Record> forms{
      Record{Entry{"{#A}", std::nan("")}, Entry{"{#B}", 1.5}}};
  const auto parsed = nlohmann::json::parse(discovery_document(forms));
  EXPECT_TRUE(parsed["data"][0]["{#A}"].is_null());
  EXPECT_EQ(parsed["data"][0]["{#B}"].get<double>(), 1.5);
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0U | (cp >> 6U)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0U | (cp >> 12U)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  } else {
    out.push_back(static_cast<char>(0xF0U | (cp >> 18U)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 12U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  }
}

// Code points drawn from every encoded length, control characters and the
// edges of the surrogate gap included.
char32_t random_code_point(std::mt19937& rng) {
  std::uniform_int_distribution<int> band(0, 4);
  switch (band(rng)) {
  case 0:
    return std::uniform_int_distribution<char32_t>(0, 0x7F)(rng);
  case 1:
    return std::uniform_int_distribution<char32_t>(0x80, 0x7FF)(rng);
  case 2: {
    char32_t cp = 0;
    do {
      cp = std::uniform_int_distribution<char32_t>(0x800, 0xFFFF)(rng);
    } while (cp >= 0xD800 && cp <= 0xDFFF);
    return cp;
  }
  case 3:
    return std::uniform_int_distribution<char32_t>(0x10000, 0x10FFFF)(rng);
  default: {
    constexpr char32_t edges[] = {0x00,
                                  0x1F,
                                  0x20,
                                  0x7E,
                                  0x7F,
                                  0xD7FF,
                                  0xE000,
                                  0xFFFD,
                                  0xFFFF,
                                  0x10000,
                                  0x10FFFF};
    return edges[std::uniform_int_distribution<std::size_t>(
        0, std::size(edges) - 1)(rng)];
  }
  }
}

TEST_F(DiscoveryDocumentTest, RandomTextReadsBackUnchanged) {
  std::mt19937 rng(20240521);
  std::uniform_int_distribution<int> length(0, 24);
  for (int n = 0; n < 2000; ++n) {
    std::string name = "{#";
    std::string text;
    const int count = length(rng);
    for (int i = 0; i < count; ++i) {
      append_utf8(text, random_code_point(rng));
      append_utf8(name, random_code_point(rng));
    }
    name += "#"; // never equal to "{#N}"
    const std::vector<Record> forms{
        Record{Entry{name, text}, Entry{"{#N}", std::int64_t{n}}}};
    const auto document = discovery_document(forms);
    SCOPED_TRACE(document);
    for (const char c : document) {
      ASSERT_TRUE(c >= 0x20 && c <= 0x7E);
    }
    const auto parsed = nlohmann::json::parse(document);
    ASSERT_EQ(parsed.size(), 1U);
    const auto& form = parsed.at("data").at(0);
    ASSERT_EQ(form.size(), 2U);
    // nlohmann keeps members sorted by name, so look them up by name.
    EXPECT_EQ(form.at(name).get<std::string>(), text);
    EXPECT_EQ(form.at("{#N}").get<std::int64_t>(), n);
  }
}

} // namespace
