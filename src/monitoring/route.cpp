#include "monitoring/route.h"

#include "monitoring/zabbix_error.h"

#include <algorithm>

namespace monitoring {
namespace {

std::string revision_text(std::uint64_t revision) {
  return "revisão " + std::to_string(revision);
}

} // namespace

std::string nodes_text(const std::vector<ZabbixServer>& nodes) {
  std::string text;
  for (const auto& node : nodes) {
    text += (text.empty() ? "" : ";") + server_text(node);
  }
  return text;
}

Route::Route(std::vector<ZabbixServer> nodes)
    : m_nodes(std::move(nodes)), m_resolved(m_nodes.size()) {
  if (m_nodes.empty()) {
    throw ZabbixError("nenhum servidor Zabbix");
  }
}

Hop Route::node_hop(std::size_t node) {
  auto& slot = m_resolved[node];
  if (!slot) {
    slot = transport::Resolved::resolve(m_nodes[node].host, m_nodes[node].port);
  }
  return Hop{m_nodes[node], &*slot, node, 0};
}

Hop Route::learned_hop() {
  auto& learned = *m_learned;
  if (!learned.resolved) {
    learned.resolved = transport::Resolved::resolve(learned.server.host,
                                                    learned.server.port);
  }
  return Hop{learned.server, &*learned.resolved, std::nullopt, learned.revision};
}

void Route::learn(const Redirect& redirect) {
  m_revision = std::max(m_revision, redirect.revision);
  if (m_learned
      && server_text(m_learned->server) == server_text(redirect.target)) {
    // The same address again (a newer revision of the same owner): its
    // name was resolved already.
    m_learned->revision = redirect.revision;
    return;
  }
  m_learned = Learned{redirect.target, std::nullopt, redirect.revision};
}

void Route::forget(const ZabbixServer& server) {
  if (m_learned && server_text(m_learned->server) == server_text(server)) {
    m_learned.reset();
  }
}

Route::Attempt::Attempt(Route& route, std::string label)
    : m_route(route), m_label(std::move(label)) {}

Hop Route::Attempt::next() {
  if (m_pending) {
    Hop hop = *m_pending;
    m_pending.reset();
    return hop;
  }
  if (!m_started) {
    m_started = true;
    if (m_route.m_learned) {
      return m_route.learned_hop();
    }
    m_list_start = m_route.m_current;
  }
  const std::size_t count = m_route.m_nodes.size();
  while (m_list_offset < count) {
    const std::size_t node = (m_list_start + m_list_offset++) % count;
    const Tried* before = tried(m_route.m_nodes[node]);
    // Back on the list after a redirect, a node that already refused this
    // request is not asked again; one that took it (and redirected) is.
    if (before == nullptr || before->failure.empty()) {
      return m_route.node_hop(node);
    }
  }
  throw_nothing_accepted();
}

void Route::Attempt::connected(const Hop& hop) {
  if (hop.node) {
    m_route.m_current = *hop.node;
  }
  record(hop, {});
}

void Route::Attempt::unreachable(const Hop& hop, const std::string& reason) {
  record(hop, reason);
  if (hop.node) {
    return; // next() goes on down the list
  }
  // The owner a redirect named is gone (a proxy stopped, the group not yet
  // moved): the configured servers are asked again, as at the start.
  m_route.forget(hop.server);
  if (m_fell_back) {
    throw_nothing_accepted();
  }
  back_to_list();
}

void Route::Attempt::redirected(const Hop& hop, const Redirect& redirect) {
  if (redirect.reset) {
    // The address that redirected no longer serves the host.
    if (!hop.node && !m_fell_back) {
      m_route.forget(hop.server);
      back_to_list();
      return;
    }
    fail(hop, "o servidor desfez o redirecionamento (serviço fora do ar)");
  }
  const std::string target = server_text(redirect.target);
  if (m_chain.empty()) {
    m_chain = server_text(hop.server);
  }
  m_chain += " → " + target + " (" + revision_text(redirect.revision) + ")";
  if (++m_redirects > k_max_redirects) {
    fail(hop,
         "redirecionamentos demais (mais de "
             + std::to_string(k_max_redirects) + "): " + m_chain);
  }
  if (redirect.revision < m_route.m_revision) {
    // A member that has not yet heard of the latest move: the run does not
    // go back to where the group's older assignment put the host.
    fail(hop,
         "redirecionado para " + target + " com a "
             + revision_text(redirect.revision)
             + ", anterior à já seguida nesta execução ("
             + std::to_string(m_route.m_revision) + ")");
  }
  const Tried* before = tried(redirect.target);
  if (before != nullptr
      && (redirect.revision <= before->revision || target == server_text(hop.server))) {
    // The same answer again, or an address sending the request to itself:
    // following it would only go round.
    if (!before->failure.empty()) {
      fail(hop,
           "redirecionado de novo para " + target + " ("
               + revision_text(redirect.revision)
               + "), que não aceitou a conexão: " + before->failure);
    }
    fail(hop,
         "redirecionado de volta para " + target + " ("
             + revision_text(redirect.revision)
             + "), já tentado neste pedido");
  }
  m_route.learn(redirect);
  m_pending = m_route.learned_hop();
}

const Route::Attempt::Tried*
Route::Attempt::tried(const ZabbixServer& server) const {
  const std::string address = server_text(server);
  const auto it = std::find_if(m_tried.rbegin(),
                               m_tried.rend(),
                               [&](const Tried& t) { return t.address == address; });
  return it == m_tried.rend() ? nullptr : &*it;
}

void Route::Attempt::record(const Hop& hop, std::string failure) {
  m_tried.push_back(Tried{server_text(hop.server),
                          hop.revision,
                          !hop.node.has_value(),
                          std::move(failure)});
}

void Route::Attempt::back_to_list() {
  m_fell_back = true;
  m_started = true;
  m_list_start = 0;
  m_list_offset = 0;
}

void Route::Attempt::fail(const Hop& at, const std::string& reason) const {
  throw ZabbixError(server_text(at.server), m_label, reason);
}

void Route::Attempt::throw_nothing_accepted() const {
  const bool redirected = std::any_of(
      m_tried.begin(), m_tried.end(), [](const Tried& t) { return t.redirect; });
  if (m_route.m_nodes.size() == 1 && m_tried.size() == 1 && !redirected) {
    // One server: its reason alone, as it always read.
    throw ZabbixError(m_tried.front().address, m_label, m_tried.front().failure);
  }
  std::string reasons;
  for (const auto& t : m_tried) {
    if (t.failure.empty()) {
      continue;
    }
    reasons += (reasons.empty() ? "" : "; ") + t.address;
    if (t.redirect) {
      reasons += " (redirecionamento, " + revision_text(t.revision) + ")";
    }
    reasons += ": " + t.failure;
  }
  throw ZabbixError(nodes_text(m_route.m_nodes),
                    m_label,
                    (redirected ? "nenhum endereço aceitou a conexão: "
                                : "nenhum nó aceitou a conexão: ")
                        + reasons);
}

} // namespace monitoring
