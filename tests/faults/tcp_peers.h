#pragma once

#include "support/sockets.h"
#include "transport/fd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace faults {

/// A loopback address of this suite, 127.30.x.y, unique to one (file, line)
/// pair: tests that run side by side never share an address, so each can
/// bind the store's fixed port 9000 on its own.
std::string fault_address(int file_id, int line);

using test_support::connect_to;
using test_support::listen_on;
using test_support::unused_port;

/// Accepts connections and never reads or writes a byte: a peer that
/// accepted and then hangs. Connections stay open until destruction.
class SilentPeer {
public:
  explicit SilentPeer(const std::string& address);
  ~SilentPeer();
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;
  std::uint16_t port() const { return m_port; }
  /// Connections accepted so far.
  int accepted() const { return m_accepted.load(); }

private:
  std::uint16_t m_port = 0; // before m_listener, which sets it
  transport::Fd m_listener;
  std::atomic<int> m_accepted{0};
  std::jthread m_thread;
};

/// A listener whose accept queue is already full: the kernel answers no
/// further SYN, so a connection attempt hangs, as behind a firewall that
/// drops packets.
class UnansweredSyns {
public:
  explicit UnansweredSyns(const std::string& address);
  std::uint16_t port() const { return m_port; }

private:
  std::uint16_t m_port = 0; // before m_listener, which sets it
  transport::Fd m_listener;
  transport::Fd m_queued; ///< the one connection the queue holds
};

/// Writes `bytes` to every connection as soon as it is accepted, then closes
/// it: a peer that speaks something else. Listens on `port`, or an ephemeral
/// one when 0.
class GarbagePeer {
public:
  GarbagePeer(const std::string& address,
              std::string bytes,
              std::uint16_t port = 0);
  ~GarbagePeer();
  GarbagePeer(const GarbagePeer&) = delete;
  GarbagePeer& operator=(const GarbagePeer&) = delete;
  std::uint16_t port() const { return m_port; }

private:
  std::uint16_t m_port = 0; // before m_listener, which sets it
  transport::Fd m_listener;
  std::string m_bytes;
  std::jthread m_thread;
};

/// A TCP relay in front of a real server, with faults on the way back: each
/// chunk from the server may be held back for a while, and once the client
/// has sent a given text the next chunk from the server may be cut short and
/// both connections closed, or nothing more passed on at all. It declines
/// TLS as a PostgreSQL server with ssl=off does (SSLRequest answered with
/// 'N'), so the client's bytes stay readable.
class FaultyRelay {
public:
  struct Options {
    std::string listen_address;
    std::string target_host = "127.0.0.1";
    std::uint16_t target_port = 0;
    /// Held back before each chunk from the server is passed on.
    std::chrono::milliseconds delay{0};
    /// When set: after the client has sent this text, only `cut_bytes` of
    /// the server's next chunk are passed on, then both sides are closed.
    std::optional<std::string> cut_after;
    std::size_t cut_bytes = 0;
    /// With cut_after: pass nothing more from the server and keep both
    /// connections open instead (a server that stalls mid-statement).
    bool stall = false;
  };

  explicit FaultyRelay(Options options);
  ~FaultyRelay();
  FaultyRelay(const FaultyRelay&) = delete;
  FaultyRelay& operator=(const FaultyRelay&) = delete;
  std::uint16_t port() const { return m_port; }
  /// Whether a cut happened.
  bool did_cut() const { return m_cut.load(); }

private:
  void serve(const std::stop_token& stop);

  Options m_options;
  std::uint16_t m_port = 0; // before m_listener, which sets it
  transport::Fd m_listener;
  std::atomic<bool> m_cut{false};
  std::jthread m_thread;
};

} // namespace faults
