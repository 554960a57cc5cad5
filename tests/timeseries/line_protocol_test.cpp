#include "timeseries/ilp_parser.h"
#include "timeseries/ingress_error.h"
#include "timeseries/line_protocol.h"

#include <cmath>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace {

using test_support::IlpField;
using test_support::parse_ilp;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using timeseries::Column;
using timeseries::IngressError;
using timeseries::LineBuffer;
using timeseries::TimestampMicros;

std::string name_text(std::string_view name) {
  std::string out;
  timeseries::append_name(out, name);
  return out;
}

std::string string_text(std::string_view text) {
  std::string out;
  timeseries::append_string_field(out, text);
  return out;
}

std::string float_text(double value) {
  std::string out;
  timeseries::append_float_field(out, value);
  return out;
}

TEST(LineEscaping, NamesEscapeSpaceCommaEqualsLineBreaksAndBackslash) {
  EXPECT_EQ(name_text("plain"), "plain");
  EXPECT_EQ(name_text("a b,c=d\\e\nf\rg"), "a\\ b\\,c\\=d\\\\e\\\nf\\\rg");
}

TEST(LineEscaping,
     StringsAreQuotedWithBackslashBeforeQuoteBackslashAndLineBreaks) {
  EXPECT_EQ(string_text(""), "\"\"");
  EXPECT_EQ(string_text("Rua \"A\", 1 = ok\\\n\r"),
            "\"Rua \\\"A\\\", 1 = ok\\\\\\\n\\\r\"");
  EXPECT_EQ(string_text("São João"), "\"São João\"");
}

TEST(LineEscaping, FloatsAreShortestRoundTripTextOrNaNAndInfinity) {
  EXPECT_EQ(float_text(150.0), "150.0");
  EXPECT_EQ(float_text(0.1), "0.1");
  EXPECT_EQ(float_text(-1234.56), "-1234.56");
  EXPECT_EQ(float_text(1e16), "1e+16");
  EXPECT_EQ(float_text(1.5e-5), "1.5e-05");
  EXPECT_EQ(float_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-Infinity");
  for (const double v :
       {0.1 + 0.2, 1e16, 1.5e-5, 5e-324, 1.7976931348623157e308}) {
    EXPECT_EQ(std::strtod(float_text(v).c_str(), nullptr), v);
  }
}

TEST(LineBufferTest, WholeLineLeavesAbsentColumnsOut) {
  LineBuffer buffer;
  const std::vector<Column> columns = {
      {"id", std::int64_t{-5}},
      {"gone", std::monostate{}},
      {"amount", 12.5},
      {"name", std::string("x y")},
      {"when", TimestampMicros{1709643600000000}},
  };
  buffer.add_row("tarvoClientes", columns, 1704067200000001024);
  EXPECT_EQ(
      buffer.text(),
      "tarvoClientes id=-5i,amount=12.5,name=\"x y\",when=1709643600000000t "
      "1704067200000001024\n");
  EXPECT_EQ(buffer.rows(), 1U);
}

TEST(LineBufferTest, ParsesBackToTheSameNamesKindsAndValues) {
  LineBuffer buffer;
  const std::vector<Column> columns = {
      {"a b", std::int64_t{0}},
      {"r s", 0.1 + 0.2},
      {"t=u", std::string("line\nbreak \"q\" \\")},
      {"v", TimestampMicros{-1}},
  };
  buffer.add_row("my table", columns, 7);
  buffer.add_row("my table", columns, 8);
  const auto lines = parse_ilp(buffer.text());
  ASSERT_EQ(lines.size(), 2U);
  for (const auto& line : lines) {
    EXPECT_EQ(line.table, "my table");
    ASSERT_EQ(line.fields.size(), 4U);
    EXPECT_EQ(line.fields[0].name, "a b");
    EXPECT_EQ(line.fields[0].kind, IlpField::Kind::integer);
    EXPECT_EQ(line.fields[0].number, 0);
    EXPECT_EQ(line.fields[1].name, "r s");
    EXPECT_EQ(line.fields[1].kind, IlpField::Kind::real);
    EXPECT_EQ(line.fields[1].real, 0.1 + 0.2);
    EXPECT_EQ(line.fields[2].name, "t=u");
    EXPECT_EQ(line.fields[2].kind, IlpField::Kind::text);
    EXPECT_EQ(line.fields[2].text, "line\nbreak \"q\" \\");
    EXPECT_EQ(line.fields[3].kind, IlpField::Kind::micros);
    EXPECT_EQ(line.fields[3].number, -1);
  }
  EXPECT_EQ(lines[0].at, 7);
  EXPECT_EQ(lines[1].at, 8);
}

TEST(LineBufferTest, RefusedRowsLeaveTheBufferAsBefore) {
  struct Case {
    const char* name;
    std::string table;
    std::vector<Column> columns;
    std::int64_t at;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty table",
       "",
       {{"a", std::int64_t{1}}},
       0,
       "Table names must have a non-zero length"},
      {"table with quote",
       "t'x",
       {{"a", std::int64_t{1}}},
       0,
       "Table names can't contain a \"'\""},
      {"table starting with dot",
       ".t",
       {{"a", std::int64_t{1}}},
       0,
       "Table names can't contain"},
      {"column with dot",
       "t",
       {{"a.b", std::int64_t{1}}},
       0,
       "Column names can't contain a \".\""},
      {"column with dash",
       "t",
       {{"a-b", std::int64_t{1}}},
       0,
       "Column names can't contain a \"-\""},
      {"empty column",
       "t",
       {{"", std::int64_t{1}}},
       0,
       "Column names must have a non-zero length"},
      {"long column",
       "t",
       {{std::string(128, 'c'), std::int64_t{1}}},
       0,
       "Too long"},
      {"no value",
       "t",
       {{"a", std::monostate{}}},
       0,
       "should have called `symbol` or `column`"},
      {"negative time",
       "t",
       {{"a", std::int64_t{1}}},
       -1,
       "Timestamp -1 is negative"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineBuffer buffer;
    buffer.add_row("t", std::vector<Column>{{"k", std::int64_t{1}}}, 1);
    const std::string before = buffer.text();
    EXPECT_THAT([&] { buffer.add_row(c.table, c.columns, c.at); },
                ThrowsMessage<IngressError>(HasSubstr(c.message)));
    EXPECT_EQ(buffer.text(), before);
    EXPECT_EQ(buffer.rows(), 1U);
  }
}

} // namespace
