#include "console/deadline.h"

#include <optional>

namespace console::deadline {
namespace {

// The run is single-threaded; the bound is plain process state.
std::optional<Clock::time_point> g_until;
std::string g_message;

} // namespace

void arm(Clock::duration limit, std::string message) {
  g_until = Clock::now() + limit;
  g_message = std::move(message);
}

void disarm() {
  g_until.reset();
}

void check() {
  if (g_until && Clock::now() >= *g_until) {
    throw TimeoutException(g_message);
  }
}

int wait_ms(int cap_ms) {
  if (!g_until) {
    return cap_ms;
  }
  const auto left = *g_until - Clock::now();
  if (left <= Clock::duration::zero()) {
    throw TimeoutException(g_message);
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  if (cap_ms >= 0 && ms > cap_ms) {
    return cap_ms;
  }
  return ms > 2'000'000'000 ? 2'000'000'000 : static_cast<int>(ms);
}

} // namespace console::deadline
