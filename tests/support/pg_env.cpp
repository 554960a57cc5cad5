#include "support/pg_env.h"

#include <cstdlib>
#include <fstream>
#include <libpq-fe.h>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace support {
namespace {

struct ConnFree {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct ResultFree {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};

} // namespace

std::optional<PgEnv> test_cluster() {
  const char* path = std::getenv("TARVO_PG_ENV");
  if (path == nullptr || *path == '\0') {
    return std::nullopt;
  }
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  PgEnv env;
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      continue;
    }
    const auto key = line.substr(0, eq);
    const auto value = line.substr(eq + 1);
    if (key == "PGHOST")
      env.host = value;
    if (key == "PGPORT")
      env.port = value;
    if (key == "PGDATABASE")
      env.database = value;
    if (key == "PGUSER")
      env.user = value;
    if (key == "PGPASSWORD")
      env.password = value;
    if (key == "PGLOG")
      env.log_path = value;
    if (key == "CA_FILE")
      env.ca_file = value;
    if (key == "OTHER_CA_FILE")
      env.other_ca_file = value;
  }
  return env;
}

void exec_sql(const PgEnv& env,
              const std::string& database,
              const std::string& sql) {
  const char* keys[] = {"host", "port", "dbname", "user", "password", nullptr};
  const char* values[] = {env.host.c_str(),
                          env.port.c_str(),
                          database.c_str(),
                          env.user.c_str(),
                          env.password.c_str(),
                          nullptr};
  std::unique_ptr<PGconn, ConnFree> conn(PQconnectdbParams(keys, values, 0));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("test connect: ")
                             + PQerrorMessage(conn.get()));
  }
  std::unique_ptr<PGresult, ResultFree> res(PQexec(conn.get(), sql.c_str()));
  const auto status = PQresultStatus(res.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(
        "test sql: " + std::string(PQresultErrorMessage(res.get())) + sql);
  }
}

void create_billing_database(const PgEnv& env,
                             const std::string& name,
                             const std::string& rows_sql) {
  exec_sql(env, env.database, "DROP DATABASE IF EXISTS " + name);
  exec_sql(env,
           env.database,
           "CREATE DATABASE " + name + " TEMPLATE template0 ENCODING 'UTF8'");
  std::ifstream schema(TARVO_BILLING_SCHEMA);
  std::ostringstream text;
  text << schema.rdbuf();
  exec_sql(env, name, text.str());
  if (!rows_sql.empty()) {
    exec_sql(env, name, rows_sql);
  }
}

std::size_t log_size(const PgEnv& env) {
  std::ifstream in(env.log_path, std::ios::binary | std::ios::ate);
  return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

std::string read_log_from(const PgEnv& env, std::size_t from) {
  std::ifstream in(env.log_path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

} // namespace support
