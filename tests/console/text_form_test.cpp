#include "console/text_form.h"
#include "console/version.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace console {
namespace {

TEST(FloatText, FixedFormBetweenTenThousandthAndTenQuadrillion) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {150.0, "150.0"},
      {150.5, "150.5"},
      {1234.56, "1234.56"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {0.00015, "0.00015"},
      {-2.5, "-2.5"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123456789.125, "123456789.125"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

TEST(FloatText, ExponentFormOutsideWithSignAndTwoDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {-1e16, "-1e+16"},
      {1e-05, "1e-05"},
      {9.99e-05, "9.99e-05"},
      {1e100, "1e+100"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

TEST(FloatText, NonFiniteValues) {
  EXPECT_EQ(float_text(std::nan("")), "nan");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FloatText, ReadsBackToTheSameDouble) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 100000; ++i) {
    std::uint64_t bits = rng();
    double value = 0;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) {
      continue;
    }
    const std::string text = float_text(value);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    const bool fixed = text.find('e') == std::string::npos;
    const double magnitude = std::fabs(value);
    ASSERT_EQ(fixed,
              magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16))
        << text;
    if (fixed) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

TEST(TextForm, EveryKind) {
  EXPECT_EQ(text_form(Null{}), "None");
  EXPECT_EQ(text_form(std::int64_t{-42}), "-42");
  EXPECT_EQ(text_form(std::int64_t{std::numeric_limits<std::int64_t>::min()}),
            "-9223372036854775808");
  EXPECT_EQ(text_form(std::string("Ação")), "Ação");
  EXPECT_EQ(text_form(Date{2024, 3, 5}), "2024-03-05");
  EXPECT_EQ(text_form(DateTime{{2023, 1, 2}, 10, 20, 30, 0}),
            "2023-01-02 10:20:30");
  EXPECT_EQ(text_form(DateTime{{2023, 1, 2}, 10, 20, 30, 750000}),
            "2023-01-02 10:20:30.750000");
}

TEST(CodePoints, CountsCharactersNotBytes) {
  EXPECT_EQ(code_points(""), 0U);
  EXPECT_EQ(code_points("FERRAGENS AÇO FORTE"), 19U);
  EXPECT_EQ(code_points("É𝄞"), 2U);
}

TEST(VersionBanner, ReplacesEveryDotSlashByOneBlank) {
  const std::string notice =
      version_banner("").substr(0, version_banner("").find('\n') + 1);
  ASSERT_EQ(notice.front(), ' ');
  EXPECT_EQ(version_banner("./tarvo_clientes_db"),
            notice + " tarvo_clientes_db  1.9.0\n");
  EXPECT_EQ(version_banner("/usr/bin/tarvo_clientes_db"),
            notice + "/usr/bin/tarvo_clientes_db  1.9.0\n");
  EXPECT_EQ(version_banner("bin/./x/../tarvo"),
            notice + "bin/ x/. tarvo  1.9.0\n");
  EXPECT_EQ(version_banner("..//x"), notice + ". /x  1.9.0\n");
}

} // namespace
} // namespace console
