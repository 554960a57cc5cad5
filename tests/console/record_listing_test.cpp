#include "console/record_listing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

namespace console {
namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

std::string listing(const std::vector<Record>& records) {
  std::ostringstream out;
  print_dict_list(out, records);
  return out.str();
}

TEST(RecordListing, PadsKeysAndValuesByCodePoints) {
  const Record record{{"{#CLIENTE_ID}", std::int64_t{1520}},
                      {"{#RAZAOSOCIAL}", std::string("FERRAGENS AÇO FORTE")},
                      {"{#VALOR_DIVIDA}", 150.0}};
  EXPECT_EQ(listing({record}),
            "{#CLIENTE_ID}   1520               \n"
            "{#RAZAOSOCIAL}  FERRAGENS AÇO FORTE\n"
            "{#VALOR_DIVIDA} 150.0              \n"
            "\n");
}

TEST(RecordListing, EachBlockAlignedOnItsOwn) {
  const std::vector<Record> records{
      {{"a", std::int64_t{1}}, {"bbb", std::string("x")}},
      {{"cc", std::string("long value")}}};
  EXPECT_EQ(listing(records),
            "a   1\n"
            "bbb x\n"
            "\n"
            "cc long value\n"
            "\n");
}

TEST(RecordListing, NullGivesTheKeyAloneAndCountsFourWide) {
  const Record record{{"{#ID}", std::int64_t{7}},
                      {"{#NOME_LONGO}", Null{}},
                      {"{#X}", std::string("ab")}};
  EXPECT_EQ(listing({record}),
            "{#ID}         7   \n"
            "{#NOME_LONGO}\n"
            "{#X}          ab  \n"
            "\n");
}

TEST(RecordListing, EmptyValuesLeaveTheSeparatorOnly) {
  const Record record{{"k", std::string()}, {"key", std::string()}};
  EXPECT_EQ(listing({record}), "k   \nkey \n\n");
}

TEST(RecordListing, EmptyListPrintsNothing) {
  EXPECT_EQ(listing({}), "");
}

TEST(RecordListing, RecordWithoutEntriesStopsAfterTheBlocksBefore) {
  std::ostringstream out;
  const std::vector<Record> records{
      {{"k", std::int64_t{1}}}, {}, {{"never", std::int64_t{2}}}};
  EXPECT_THAT([&] { print_dict_list(out, records); },
              ThrowsMessage<ListingError>(HasSubstr("registro sem entradas")));
  EXPECT_EQ(out.str(), "k 1\n\n");
}

} // namespace
} // namespace console
