#pragma once

#include "console/run_settings.h"
#include "support/fake_questdb.h"
#include "support/fake_trapper.h"
#include "support/pg_test.h"
#include "support/run_program.h"

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace faults {

/// The eleven settings of a full command line, in order.
std::vector<std::string> argv_of(const console::RunSettings& s);

/// "127.0.0.1:<port>" of a trapper double, as ZABBIX_SERVER names it.
std::string zabbix_server_of(const test_support::FakeTrapper& trapper);

/// Both endpoints of a store double on one address: SQL on the fixed port
/// 9000, rows on a port of their own.
struct FakeStore {
  FakeStore(const std::string& address,
            test_support::HttpScript sql_script,
            test_support::HttpScript rows_script = {},
            std::string rows_password = "sentinelKQ",
            std::string sql_password = "sentinelKQ");
  std::unique_ptr<test_support::FakeQuestDb> sql;
  std::unique_ptr<test_support::FakeQuestDb> rows;
  std::string rows_port() const { return std::to_string(rows->port()); }
  /// Rows of line protocol received on /write, over every request; throws
  /// when a body does not parse.
  std::size_t rows_received() const;
};

/// The store's reply for a table that is already complete.
test_support::HttpScript complete_table();

/// Whether text is well-formed UTF-8 (no overlong forms, surrogates or
/// values above U+10FFFF).
bool is_utf8(std::string_view text);

/// The first line of text, without its line feed.
std::string first_line(std::string_view text);

/// How a run ended, for the fault matrix: exit status or signal, then the
/// first line of each stream that carried something, then `extra`.
std::string outcome(const support::RunResult& r, std::string_view extra = {});

/// Replaces a stream's buffer for the lifetime of the object and keeps what
/// was written to it.
class Capture {
public:
  explicit Capture(std::ostream& stream)
      : m_stream(stream), m_old(stream.rdbuf(m_text.rdbuf())) {}
  ~Capture() { m_stream.rdbuf(m_old); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string text() const { return m_text.str(); }

private:
  std::ostream& m_stream;
  std::ostringstream m_text;
  std::streambuf* m_old;
};

/// A test against the scratch cluster that runs the program (or the pass in
/// this process) against doubles of the other peers.
class FaultRun : public support::PgTest {
protected:
  /// Settings for the fixture database, the store at `store_address`.
  console::RunSettings settings(const std::string& store_address,
                                const std::string& rows_port = "9009") const;

  /// Runs the program with ZABBIX_SERVER set to `zabbix_server`.
  support::RunResult run(const console::RunSettings& s,
                         const std::string& zabbix_server,
                         const support::RunOptions& options = {}) const;
};

/// Number of sends a full publication of the fixture database makes: four
/// totals, the document, two per client.
inline constexpr std::size_t k_fixture_sends = 5 + 2 * 11;

/// The run's time-out line, as the limiter words it.
inline constexpr std::string_view k_timeout_line =
    "Tempo limite de execução excedido: a execução foi interrompida.";

} // namespace faults
