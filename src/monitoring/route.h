#pragma once

#include "monitoring/sender_protocol.h"
#include "monitoring/zabbix_server.h"
#include "transport/resolved.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace monitoring {

/// Most redirects one request follows. zabbix_sender follows one; a chain
/// of a few covers a member that has not yet heard of a move sending the
/// request to one that has.
inline constexpr std::size_t k_max_redirects = 3;

/// One place a request may go: a configured node, or the address a redirect
/// named.
struct Hop {
  ZabbixServer server;
  /// Its addresses, resolved once per run; valid until the next call on
  /// the attempt that gave the hop.
  const transport::Resolved* resolved = nullptr;
  /// Its position in the configured list; none for a redirect's address.
  std::optional<std::size_t> node;
  /// The revision of the redirect that named it; 0 for a configured node.
  std::uint64_t revision = 0;
};

/// Where a run's requests go: the configured nodes (one server, a proxy, or
/// the nodes of a high-availability cluster) and the address that a proxy
/// group's redirect taught the run, with the highest revision followed.
///
/// A request goes to the learned address when there is one, otherwise to
/// the node that took the previous request (the first at the start). A node
/// that cannot be connected to hands the request to the next in list order,
/// each node once. A redirect sends the same request to the address it
/// names, which then takes the requests after it too; a redirect older than
/// the one followed does not move the run back. When a learned address
/// cannot be connected to, the request goes back to the configured list, as
/// at the start of the run, once.
class Route {
public:
  /// Throws ZabbixError for an empty list.
  explicit Route(std::vector<ZabbixServer> nodes);

  const std::vector<ZabbixServer>& nodes() const { return m_nodes; }

  /// The way of one request through the route. Its failures are
  /// ZabbixErrors that name the exchange (`label`) and every address they
  /// concern, each with its own reason.
  class Attempt {
  public:
    /// The next place to try. Throws ZabbixError when none is left.
    Hop next();
    /// The connection to `hop` was opened.
    void connected(const Hop& hop);
    /// The connection to `hop` could not be opened, for `reason`.
    void unreachable(const Hop& hop, const std::string& reason);
    /// `hop` did not process the request but sent it to `redirect`. Throws
    /// ZabbixError when the redirect cannot be followed: past the bound, back
    /// to an address already tried for this request with no newer revision
    /// (or to the one that redirected), or older than one the run followed.
    void redirected(const Hop& hop, const Redirect& redirect);

  private:
    friend class Route;
    Attempt(Route& route, std::string label);

    struct Tried {
      std::string address;
      std::uint64_t revision = 0;
      bool redirect = false; // a redirect's address, not a configured node
      std::string failure;   // empty: it took the connection
    };
    const Tried* tried(const ZabbixServer& server) const;
    void record(const Hop& hop, std::string failure);
    void back_to_list();
    [[noreturn]] void fail(const Hop& at, const std::string& reason) const;
    [[noreturn]] void throw_nothing_accepted() const;

    Route& m_route;
    std::string m_label;
    std::vector<Tried> m_tried;
    std::optional<Hop> m_pending; // a redirect's address, tried next
    bool m_started = false;
    bool m_fell_back = false; // back on the list after a learned address
    std::size_t m_list_start = 0;
    std::size_t m_list_offset = 0;
    std::size_t m_redirects = 0;
    std::string m_chain; // "a → b → c": the addresses redirects led through
  };

  /// Starts the way of the request that `label` names ("chave k").
  Attempt attempt(std::string label) { return Attempt(*this, std::move(label)); }

private:
  struct Learned {
    ZabbixServer server;
    std::optional<transport::Resolved> resolved;
    std::uint64_t revision = 0;
  };
  Hop node_hop(std::size_t node);
  Hop learned_hop();
  void learn(const Redirect& redirect);
  void forget(const ZabbixServer& server);

  std::vector<ZabbixServer> m_nodes;
  std::vector<std::optional<transport::Resolved>> m_resolved;
  std::size_t m_current = 0;
  std::optional<Learned> m_learned;
  std::uint64_t m_revision = 0; // the highest followed in the run
};

/// The nodes as ZABBIX_SERVER lists them, "a:10051;b:10051"; for messages.
std::string nodes_text(const std::vector<ZabbixServer>& nodes);

} // namespace monitoring
