#pragma once

#include <string>

namespace console {

/// The run's settings, each the unchanged text of its positional argument.
/// Filled once by the front end and only read afterwards.
struct RunSettings {
  std::string mode;
  std::string host; // accepted and never read
  std::string db_ip;
  std::string db_port;
  std::string db_name;
  std::string db_user;
  std::string db_password;
  std::string pop_id;
  std::string quest_db_ip;
  std::string quest_db_port;
  std::string zabbix_host;
};

} // namespace console
