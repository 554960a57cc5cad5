#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "timeseries/ingress.h"
#include "timeseries/reply_error.h"
#include "timeseries/table_upkeep.h"

#include <nlohmann/json.hpp>
#include <optional>

namespace fuzz_checks {
namespace {

using timeseries::UpkeepAction;

std::string action_name(UpkeepAction action) {
  switch (action) {
  case UpkeepAction::create_table:
    return "create_table";
  case UpkeepAction::add_columns:
    return "add_columns";
  case UpkeepAction::nothing:
    return "nothing";
  }
  return "?";
}

// The listing's body as run_query hands it on: parsed strictly, a body that
// is not JSON (a syntax error, or a number beyond double's range, which
// nlohmann reports as out_of_range) being a failure of the upkeep's block,
// which then creates the table.
void check_listing(const std::string& body) {
  require(timeseries::upkeep_action(std::nullopt) == UpkeepAction::create_table,
          "a failed listing request does not create the table");
  std::optional<nlohmann::json> listing;
  try {
    listing = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception&) {
    return; // upkeep_table's catch-all: the creation statement
  }
  UpkeepAction expected = UpkeepAction::create_table;
  if (listing->is_object() && listing->contains("dataset")) {
    const auto& dataset = (*listing)["dataset"];
    if (dataset.is_array() || dataset.is_object()) {
      expected = dataset.size() < 15 ? UpkeepAction::add_columns
                                     : UpkeepAction::nothing;
    }
  }
  UpkeepAction got = UpkeepAction::create_table;
  try {
    got = timeseries::upkeep_action(listing);
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("upkeep_action threw: ") + e.what());
  }
  require(got == expected,
          "listing decided " + action_name(got) + ", not "
              + action_name(expected));
}

std::string without_trailing_line_breaks(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

void check_refusal(long status, const std::string& body) {
  std::string message;
  try {
    message = timeseries::refusal_message(
        status, body, "http://store:9000/write", "text/plain");
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("refusal_message threw: ") + e.what());
  }
  const std::string lead = "Could not flush buffer: ";
  require(message.starts_with(lead), "message without its lead: " + message);
  if (status == 404) {
    require(message == lead + "HTTP endpoint does not support ILP.",
            "404 message: " + message);
    return;
  }
  if (status == 401 || status == 403) {
    const std::string text = without_trailing_line_breaks(body);
    require(message
                == lead + "HTTP endpoint authentication error"
                       + (text.empty() ? "" : ": " + text)
                       + " [code: " + std::to_string(status) + "]",
            "authentication message: " + message);
    return;
  }
  const auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_object() && json.contains("message")
      && json["message"].is_string()) {
    require(message.starts_with(lead + json["message"].get<std::string>()
                                + " [id: "),
            "JSON error message: " + message);
    require(message.ends_with("]"), "JSON error message not closed");
    return;
  }
  require(message
              == lead
                     + timeseries::reply_summary(
                         "http://store:9000/write", status, "text/plain", body),
          "plain error message: " + message);
}

} // namespace

int check_store_reply(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t mode = input.byte();
  if (mode % 2 == 0) {
    check_listing(input.rest());
    return 0;
  }
  // Mostly the statuses a store or proxy gives, sometimes anything at all.
  const auto raw =
      static_cast<std::uint16_t>(input.byte() | (input.byte() << 8U));
  const long status = mode % 4 == 1
                          ? 400 + raw % 200
                          : static_cast<long>(static_cast<std::int16_t>(raw));
  check_refusal(status, input.rest());
  return 0;
}

} // namespace fuzz_checks
