#include "cli/runtime_limiter.h"

#include "console/deadline.h"

#include <csignal>
#include <string>
#include <sys/time.h>
#include <unistd.h>

namespace cli {
namespace {

constexpr char k_timeout_line[] =
    "Tempo limite de execução excedido: a execução foi interrompida.\n";

// Time the deadline-aware waits get to unwind normally before the watchdog
// ends the process.
constexpr std::chrono::milliseconds k_watchdog_grace{5000};

extern "C" void on_watchdog(int /*signal*/) {
  // Only async-signal-safe calls here: the run is stuck in a call that no
  // deadline reaches, so end it the way an exceeded bound ends.
  const ssize_t ignored =
      write(STDOUT_FILENO, k_timeout_line, sizeof k_timeout_line - 1);
  static_cast<void>(ignored);
  _exit(0);
}

void set_watchdog(std::chrono::milliseconds after) {
  itimerval timer{};
  const auto ms = after.count();
  timer.it_value.tv_sec = static_cast<time_t>(ms / 1000);
  timer.it_value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  setitimer(ITIMER_REAL, &timer, nullptr);
}

} // namespace

runtime_limiter::runtime_limiter(int seconds)
    : runtime_limiter(
        std::chrono::milliseconds(std::chrono::seconds(seconds))) {}

runtime_limiter::runtime_limiter(std::chrono::milliseconds limit) {
  std::string message(k_timeout_line,
                      sizeof k_timeout_line - 2); // without its line feed
  console::deadline::arm(limit, std::move(message));
  struct sigaction action {};
  action.sa_handler = on_watchdog;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  set_watchdog(limit + k_watchdog_grace);
}

runtime_limiter::~runtime_limiter() {
  set_watchdog(std::chrono::milliseconds(0));
  console::deadline::disarm();
}

} // namespace cli
