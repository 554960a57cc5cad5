#pragma once

#include <libpq-fe.h>
#include <memory>

namespace billing {

struct PgConnFree {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct PgResultFree {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, PgConnFree>;
using PgResult = std::unique_ptr<PGresult, PgResultFree>;

} // namespace billing
