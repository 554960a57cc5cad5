#include "checks/checks.h"
#include "checks/fuzz_input.h"
#include "timeseries/curl_global.h"
#include "timeseries/ingress.h"

#include <algorithm>
#include <optional>

namespace fuzz_checks {
namespace {

bool plain_host(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.'
           || c == '-';
  });
}

bool plain_port(const std::string& port) {
  return !port.empty() && port.size() <= 5 && port.front() != '0'
         && std::all_of(port.begin(), port.end(), [](char c) {
              return c >= '0' && c <= '9';
            });
}

} // namespace

int check_ingress_conf(const std::uint8_t* data, std::size_t size) {
  // libcurl's global state, once for the process, as main has it.
  static const timeseries::CurlGlobal curl;
  FuzzInput input(data, size);
  std::string conf;
  bool must_open = false;
  if (input.byte() % 2 == 0) {
    conf = input.rest();
  } else {
    // The program's own text around the two settings.
    const std::string host = input.text();
    const std::string port = input.text();
    const std::string extra = input.rest();
    conf = "http::addr=" + host + ":" + port
           + ";username=korviadmin;password=sentinelKQ;" + extra;
    must_open = plain_host(host) && plain_port(port) && extra.empty();
  }
  std::optional<timeseries::Sender> sender;
  try {
    sender.emplace(timeseries::Sender::from_conf(conf));
  } catch (const timeseries::IngressError& e) {
    require(!must_open,
            std::string("the program's own configuration refused: ")
                + e.what());
    return 0;
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("not an IngressError: ") + e.what());
  }
  // A new sender holds nothing, and flushing nothing sends nothing.
  require(sender->pending_rows() == 0, "a new sender has rows");
  try {
    sender->flush();
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("flushing an empty sender threw: ")
                       + e.what());
  }
  sender->close();
  return 0;
}

} // namespace fuzz_checks
