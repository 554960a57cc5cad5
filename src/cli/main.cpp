#include "cli/arguments.h"
#include "cli/front_end.h"
#include "timeseries/curl_global.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  // A peer or a reader that closes early must show as a failed write, never
  // as a signal that kills the run.
  std::signal(SIGPIPE, SIG_IGN);
  const timeseries::CurlGlobal curl_global;
  const std::vector<std::string> args(argv, argv + argc);
  // The process list shows the arguments to every local user.
  cli::hide_password_argument(argc, argv);
  return cli::run(args);
}
