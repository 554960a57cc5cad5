#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct addrinfo;

namespace transport {

/// A host and port resolved once: its addresses in the resolver's order, or
/// why the name gave none. A failure is kept, not thrown, so that one name
/// that does not resolve hides no other peer.
class Resolved {
public:
  /// Resolves `host` (a name, or an address; IPv6 without brackets) now.
  /// Name resolution cannot be cut by the run's bound; it is not started
  /// once the bound is gone (console::TimeoutException).
  static Resolved resolve(const std::string& host, std::uint16_t port);

  /// The addresses; nullptr when the name did not resolve.
  const addrinfo* addresses() const { return m_addresses.get(); }
  /// Why the name did not resolve; empty when it did.
  const std::string& failure() const { return m_failure; }

private:
  struct AddrinfoFree {
    void operator()(addrinfo* a) const noexcept;
  };
  std::unique_ptr<addrinfo, AddrinfoFree> m_addresses;
  std::string m_failure;
};

} // namespace transport
