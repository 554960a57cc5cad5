#pragma once

#include <cstddef>

namespace transport {

/// What a non-blocking step waits for before it can go on.
enum class Wait { none, readable, writable };

/// One try at moving bytes on a non-blocking socket, plain or TLS: how many
/// moved, and what to wait for before the next try.
struct Progress {
  Wait wait = Wait::none;
  std::size_t bytes = 0; ///< moved by this try
  bool closed = false;   ///< the peer ended the stream (reads only)
};

} // namespace transport
