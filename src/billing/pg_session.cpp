#include "billing/pg_session.h"

#include "billing/db_error.h"
#include "console/deadline.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <poll.h>

namespace billing {
namespace {

// libpq messages end in '\n' and may span lines ("...failed: ...\n\tIs the
// server running...?"); make them one line so the error report stays one line.
std::string one_line(std::string message) {
  std::string out;
  for (const char c : message) {
    if (c == '\n' || c == '\t') {
      if (!out.empty() && out.back() != ' ') {
        out.push_back(' ');
      }
    } else {
      out.push_back(c);
    }
  }
  while (!out.empty() && out.back() == ' ') {
    out.pop_back();
  }
  return out;
}

std::string pq_message(const PGconn* conn) {
  return one_line(PQerrorMessage(conn));
}

using Clock = std::chrono::steady_clock;

// Waits until the socket is ready, the run's bound passes (TimeoutException)
// or, when given, the step's own limit passes (returns false).
bool wait_socket(PGconn* conn,
                 short events,
                 std::string_view step,
                 std::optional<Clock::time_point> limit = std::nullopt) {
  pollfd pfd{PQsocket(conn), events, 0};
  if (pfd.fd < 0) {
    throw DbError(std::string(step) + ": conexão perdida com o banco de dados");
  }
  for (;;) {
    int wait_ms = console::deadline::wait_ms();
    if (limit) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*limit - Clock::now())
              .count();
      if (left <= 0) {
        return false;
      }
      if (wait_ms < 0 || left < wait_ms) {
        wait_ms = static_cast<int>(left);
      }
    }
    const int rc = poll(&pfd, 1, wait_ms);
    if (rc > 0) {
      return true;
    }
    if (rc == 0) {
      console::deadline::check();
    }
  }
}

// libpq leaves connect_timeout (or PGCONNECT_TIMEOUT) to the caller when the
// connection is driven by PQconnectPoll; it is honoured here as libpq would:
// whole seconds, at least 2, none when zero or negative.
std::optional<Clock::time_point> connect_limit(PGconn* conn) {
  std::optional<Clock::time_point> limit;
  PQconninfoOption* options = PQconninfo(conn);
  if (options == nullptr) {
    return limit;
  }
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (std::string_view(o->keyword) == "connect_timeout" && o->val != nullptr
        && *o->val != '\0') {
      char* end = nullptr;
      const long seconds = std::strtol(o->val, &end, 10);
      if (end != o->val && seconds > 0) {
        limit = Clock::now() + std::chrono::seconds(std::max(seconds, 2L));
      }
    }
  }
  PQconninfoFree(options);
  return limit;
}

bool succeeded(const PGresult* result) {
  const auto status = PQresultStatus(result);
  return status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
}

// A PGDATESTYLE in the environment outranks the startup option; only then is
// one SET needed, so a normal run sends nothing but its two statements.
void settle_session(PGconn* conn) {
  const char* style = PQparameterStatus(conn, "DateStyle");
  if (style == nullptr || std::string_view(style).substr(0, 3) != "ISO") {
    run_statement(conn,
                  "ajustar sessão do banco de dados",
                  "SET DateStyle TO 'ISO, MDY'");
  }
}

} // namespace

PgConn open_billing_connection(const console::RunSettings& settings) {
  // The five identifying parameters come from the command line; the session
  // also asks for UTF-8 text and ISO dates in its startup packet, so that
  // names and dates read the same whatever the server's or the
  // environment's defaults (PGCLIENTENCODING, PGDATESTYLE).
  const std::array<const char*, 8> keywords{"host",
                                            "port",
                                            "dbname",
                                            "user",
                                            "password",
                                            "client_encoding",
                                            "options",
                                            nullptr};
  const std::array<const char*, 8> values{settings.db_ip.c_str(),
                                          settings.db_port.c_str(),
                                          settings.db_name.c_str(),
                                          settings.db_user.c_str(),
                                          settings.db_password.c_str(),
                                          "UTF8",
                                          "-c DateStyle=ISO,MDY",
                                          nullptr};
  PgConn conn(PQconnectStartParams(keywords.data(), values.data(), 0));
  if (!conn) {
    throw DbError("conectar ao banco de dados: memória insuficiente");
  }
  constexpr std::string_view step = "conectar ao banco de dados";
  const auto limit = connect_limit(conn.get());
  for (;;) {
    bool ready = true;
    switch (PQconnectPoll(conn.get())) {
    case PGRES_POLLING_OK:
      settle_session(conn.get());
      return conn;
    case PGRES_POLLING_FAILED:
      throw DbError(std::string(step) + ": " + pq_message(conn.get()));
    case PGRES_POLLING_READING:
      ready = wait_socket(conn.get(), POLLIN, step, limit);
      break;
    case PGRES_POLLING_WRITING:
    case PGRES_POLLING_ACTIVE:
      ready = wait_socket(conn.get(), POLLOUT, step, limit);
      break;
    }
    if (!ready) {
      // libpq's own words for it.
      throw DbError(std::string(step) + ": timeout expired");
    }
  }
}

PgResult run_statement(PGconn* conn,
                       std::string_view step,
                       const std::string& sql,
                       const std::vector<std::string>& params) {
  int sent = 0;
  if (params.empty()) {
    sent = PQsendQuery(conn, sql.c_str());
  } else {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) {
      values.push_back(p.c_str());
    }
    sent = PQsendQueryParams(conn,
                             sql.c_str(),
                             static_cast<int>(values.size()),
                             nullptr,
                             values.data(),
                             nullptr,
                             nullptr,
                             0);
  }
  if (sent == 0) {
    throw DbError(std::string(step) + ": " + pq_message(conn));
  }
  while (PQflush(conn) == 1) {
    wait_socket(conn, POLLOUT | POLLIN, step);
    if (PQconsumeInput(conn) == 0) {
      throw DbError(std::string(step) + ": " + pq_message(conn));
    }
  }
  PgResult last;
  for (;;) {
    while (PQisBusy(conn) != 0) {
      wait_socket(conn, POLLIN, step);
      if (PQconsumeInput(conn) == 0) {
        throw DbError(std::string(step) + ": " + pq_message(conn));
      }
    }
    PgResult next(PQgetResult(conn));
    if (!next) {
      break;
    }
    // Keep the first failure: later results only repeat it.
    if (!last || succeeded(last.get())) {
      last = std::move(next);
    }
  }
  if (!last) {
    throw DbError(std::string(step) + ": o servidor não devolveu resultado");
  }
  if (!succeeded(last.get())) {
    const std::string message = one_line(PQresultErrorMessage(last.get()));
    const char* state = PQresultErrorField(last.get(), PG_DIAG_SQLSTATE);
    throw DbError(std::string(step) + ": " + message,
                  state != nullptr ? state : "");
  }
  return last;
}

} // namespace billing
