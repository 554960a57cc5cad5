#include "cli/front_end.h"

#include "cli/arguments.h"
#include "cli/collection_pass.h"
#include "cli/launch.h"
#include "cli/runtime_limiter.h"
#include "console/deadline.h"
#include "console/text_form.h"
#include "console/version.h"

#include <exception>
#include <iostream>

namespace cli {
namespace {

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

void dispatch(const Invocation& inv, const std::string& program) {
  const auto& mode = inv.settings.mode;
  if (mode == "version") {
    std::cout << console::version_banner(program);
    return;
  }
  if (inv.short_form) {
    throw UsageError(usage_text(program));
  }
  if (mode == "discovery_clientes") {
    run_collection_pass(inv.settings, hop_environment(), std::cout, std::cerr);
  } else if (mode.find("launch_") != std::string::npos) {
    launch(mode);
  }
}

} // namespace

int run(std::span<const std::string> argv) {
  const std::string program = argv.empty() ? std::string() : argv[0];
  const auto args = argv.empty() ? argv : argv.subspan(1);
  const auto inv = read_arguments(args);
  if (!inv) {
    std::cout << count_error_line(args.size()) << std::flush;
    return k_exit_failure;
  }
  try {
    const runtime_limiter guard(RUNTIME_LIMIT);
    dispatch(*inv, program);
  } catch (const console::TimeoutException& e) {
    std::cout << e.what() << '\n';
  } catch (const UsageError& e) {
    std::cerr << e.what() << std::flush;
    return k_exit_failure;
  } catch (const std::exception& e) {
    // The cause may quote a setting or a server's words byte for byte;
    // the line stays UTF-8 whatever they held.
    std::cerr << "Falha na execução: " << console::well_formed_utf8(e.what())
              << '\n'
              << std::flush;
    return k_exit_failure;
  }
  std::cout.flush();
  return std::cout ? k_exit_ok : k_exit_output_lost;
}

} // namespace cli
