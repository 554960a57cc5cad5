#include "faults/fault_run.h"

#include "timeseries/ilp_parser.h"

#include <algorithm>

namespace faults {
namespace {

std::string abbreviated(std::string_view text, std::size_t max_code_points) {
  std::string out;
  std::size_t n = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
      if (n == max_code_points) {
        return out + "…";
      }
      ++n;
    }
    out.push_back(c);
  }
  return out;
}

} // namespace

std::vector<std::string> argv_of(const console::RunSettings& s) {
  return {TARVO_BINARY,
          s.mode,
          s.host,
          s.db_ip,
          s.db_port,
          s.db_name,
          s.db_user,
          s.db_password,
          s.pop_id,
          s.quest_db_ip,
          s.quest_db_port,
          s.zabbix_host};
}

std::string zabbix_server_of(const test_support::FakeTrapper& trapper) {
  return "127.0.0.1:" + std::to_string(trapper.port());
}

FakeStore::FakeStore(const std::string& address,
                     test_support::HttpScript sql_script,
                     test_support::HttpScript rows_script,
                     std::string rows_password,
                     std::string sql_password) {
  using test_support::FakeQuestDb;
  rows = std::make_unique<FakeQuestDb>(
      FakeQuestDb::Options{.address = address,
                           .port = 0,
                           .script = std::move(rows_script),
                           .user = "korviadmin",
                           .password = std::move(rows_password)});
  sql = std::make_unique<FakeQuestDb>(
      FakeQuestDb::Options{.address = address,
                           .port = 9000,
                           .script = std::move(sql_script),
                           .user = "korviadmin",
                           .password = std::move(sql_password)});
}

std::size_t FakeStore::rows_received() const {
  std::size_t n = 0;
  for (const auto& request : rows->requests()) {
    // Text fields may hold line feeds: count what the store would read.
    n += test_support::parse_ilp(request.body).size();
  }
  return n;
}

test_support::HttpScript complete_table() {
  return {test_support::HttpReply::column_listing(15)};
}

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80U              ? 1
                          : (lead & 0xE0U) == 0xC0U ? 2
                          : (lead & 0xF0U) == 0xE0U ? 3
                          : (lead & 0xF8U) == 0xF0U ? 4
                                                    : 0;
    if (n == 0 || i + n > text.size()) {
      return false;
    }
    unsigned cp = n == 1 ? lead : lead & (0x7FU >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0U) != 0x80U) {
        return false;
      }
      cp = (cp << 6U) | (b & 0x3FU);
    }
    constexpr unsigned k_min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < k_min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n;
  }
  return true;
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

std::string outcome(const support::RunResult& r, std::string_view extra) {
  std::string out = r.signal != 0 ? "SIGNAL " + std::to_string(r.signal)
                                  : "exit " + std::to_string(r.status);
  if (!r.out.empty()) {
    out += "; out: " + abbreviated(first_line(r.out), 90);
    const auto lines = std::count(r.out.begin(), r.out.end(), '\n');
    if (lines > 1) {
      out += " (+" + std::to_string(lines - 1) + " lines)";
    }
  }
  if (!r.err.empty()) {
    out += "; err: " + abbreviated(first_line(r.err), 90);
  }
  if (!extra.empty()) {
    out += "; ";
    out += extra;
  }
  return out;
}

console::RunSettings FaultRun::settings(const std::string& store_address,
                                        const std::string& rows_port) const {
  console::RunSettings s;
  s.mode = "discovery_clientes";
  s.host = "";
  s.db_ip = m_env.host;
  s.db_port = m_env.port;
  s.db_name = m_env.database;
  s.db_user = m_env.user;
  s.db_password = m_env.password;
  s.pop_id = "1";
  s.quest_db_ip = store_address;
  s.quest_db_port = rows_port;
  s.zabbix_host = "pop-centro";
  return s;
}

support::RunResult FaultRun::run(const console::RunSettings& s,
                                 const std::string& zabbix_server,
                                 const support::RunOptions& options) const {
  support::RunOptions with_server = options;
  with_server.env.push_back("ZABBIX_SERVER=" + zabbix_server);
  return support::run_program(TARVO_BINARY, argv_of(s), with_server);
}

} // namespace faults
