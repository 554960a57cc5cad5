#pragma once

#include "transport/secret.h"

#include <string>

namespace timeseries {

/// How requests prove who sends them to the store.
enum class StoreAuth {
  fixed_pair, ///< basic authentication with the program's own pair
  basic,      ///< basic authentication with the operator's user and password
  bearer,     ///< "Authorization: Bearer <token>", no basic authentication
};

/// How both of the store's endpoints, SQL and ingestion, are reached: who
/// the collector is and whether the requests travel over TLS. Move-only;
/// the password or token is wiped when the object goes.
struct StoreAccess {
  StoreAuth auth = StoreAuth::fixed_pair;
  std::string user;              ///< basic: the user name
  transport::SecretBytes secret; ///< basic: the password; bearer: the token
  bool https = false;  ///< TLS 1.2 or later, the certificate always verified
  std::string ca_file; ///< with https: trusted CAs (PEM); empty: the system's
};

} // namespace timeseries
