#pragma once

#include <optional>
#include <string>

namespace support {

/// The scratch PostgreSQL cluster that the suite starts (see pg_fixture.cmake).
struct PgEnv {
  std::string host;
  std::string port;
  std::string database;
  std::string user;
  std::string password;
  std::string log_path; ///< the server log, with every connection
                        ///< (log_connections) and statement (log_statement)
  std::string ca_file;  ///< the CA that signed the server's certificate
  std::string other_ca_file; ///< a CA that signed nothing of the cluster's
};

/// The cluster of this test run, read from the file named by TARVO_PG_ENV;
/// nullopt when the suite runs without one.
std::optional<PgEnv> test_cluster();

/// Runs SQL (several statements allowed) on `database` of the cluster; throws
/// on failure.
void exec_sql(const PgEnv& env,
              const std::string& database,
              const std::string& sql);

/// A fresh database `name` (dropped first if it exists) with the billing
/// schema and then `rows_sql` loaded into it.
void create_billing_database(const PgEnv& env,
                             const std::string& name,
                             const std::string& rows_sql);

/// Everything the server logged from byte offset `from` on.
std::string read_log_from(const PgEnv& env, std::size_t from);

/// Current size of the server log.
std::size_t log_size(const PgEnv& env);

} // namespace support
