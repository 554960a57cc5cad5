#include "billing/records.h"

#include <cstdlib>
#include <ctime>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace billing {
namespace {

using console::Date;
using console::DateTime;
using console::Null;
using console::Value;

class LocalZone : public ::testing::Test {
protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    m_old = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
  }
  void TearDown() override {
    if (m_old) {
      setenv("TZ", m_old->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

private:
  std::optional<std::string> m_old;
};

TEST_F(LocalZone, DateConversionDropsFractionsAndShiftsGapTimes) {
  EXPECT_EQ(local_date_time(Date{2024, 3, 5}),
            Value(DateTime{{2024, 3, 5}, 0, 0, 0, 0}));
  EXPECT_EQ(local_date_time(DateTime{{2023, 1, 2}, 10, 20, 30, 750000}),
            Value(DateTime{{2023, 1, 2}, 10, 20, 30, 0}));
  // 2018-11-04 00:00 to 01:00 does not exist in Sao Paulo: clocks went forward.
  EXPECT_EQ(local_date_time(DateTime{{2018, 11, 4}, 0, 30, 0, 0}),
            Value(DateTime{{2018, 11, 4}, 1, 30, 0, 0}));
  EXPECT_EQ(local_date_time(DateTime{{1969, 12, 31}, 23, 59, 59, 0}),
            Value(DateTime{{1969, 12, 31}, 23, 59, 59, 0}));
  EXPECT_EQ(local_date_time(Null{}), Value(Null{}));
}

TEST(PlaceName, DefaultOnlyForNullOrEmptyThenRemovals) {
  EXPECT_EQ(place_name(Null{}, "Sem pop"), "Sem pop");
  EXPECT_EQ(place_name(std::string(), "Sem bairro"), "Sem bairro");
  EXPECT_EQ(place_name(std::string("P.O.P-(1)"), "Sem pop"), "POP1");
  EXPECT_EQ(place_name(std::string("-"), "Sem cidade"), "");
  EXPECT_EQ(place_name(std::string("   "), "Sem bairro"), "   ");
  EXPECT_EQ(
      place_name(std::string("[Bairro] d'Água, Zona/Sul | São José."), "x"),
      "Bairro dÁgua, Zona/Sul | São José");
}

std::vector<Value> row(Value id, Value count, Value amount, Value contato) {
  return {id,
          std::string("Nome"),
          Null{},
          count,
          amount,
          contato,
          Date{2024, 3, 5},
          std::int64_t{10},
          Null{},
          std::string("P.O.P-(1)"),
          std::string(),
          Null{},
          Null{}};
}

TEST_F(LocalZone, TotalsKeepTheIntegerZeroUntilAnAmountIsAdded) {
  Collection c;
  EXPECT_EQ(c.totals.valor_total_divida, Value(std::int64_t{0}));
  add_overdue_row(c, row(std::int64_t{1}, std::int64_t{2}, Null{}, Null{}));
  EXPECT_EQ(c.totals.valor_total_divida, Value(std::int64_t{0}));
  EXPECT_EQ(c.clients[0].valor_divida, Value(std::int64_t{0}));
  add_overdue_row(
      c, row(std::int64_t{2}, std::int64_t{1}, 150.0, std::string("a@b")));
  EXPECT_EQ(c.totals.valor_total_divida, Value(150.0));
  EXPECT_EQ(c.totals.titulos_totais_em_atraso, Value(std::int64_t{3}));
}

TEST_F(LocalZone, RowsThatCannotBecomeRecordsAreErrors) {
  Collection c;
  EXPECT_THROW(add_overdue_row(c, std::vector<Value>(12)), RecordError);
  EXPECT_THROW(
      add_overdue_row(
          c, row(std::int64_t{1}, std::string("dois"), Null{}, Null{})),
      RecordError);
  EXPECT_TRUE(c.clients.empty());
}

} // namespace
} // namespace billing
