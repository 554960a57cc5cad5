#pragma once

#include <stdexcept>
#include <string>

namespace monitoring {

/// A value could not be handed to the Zabbix server, or its address is
/// malformed. The message names the step and the server, in Portuguese.
class ZabbixError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace monitoring
