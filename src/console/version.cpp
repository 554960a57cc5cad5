#include "console/version.h"

namespace console {

std::string version_banner(std::string_view program_path) {
  std::string out = " Tarvo Clientes DB - coletor de clientes em atraso. Todos "
                    "os direitos reservados.\n";
  for (std::size_t i = 0; i < program_path.size();) {
    if (program_path.compare(i, 2, "./") == 0) {
      out.push_back(' ');
      i += 2;
    } else {
      out.push_back(program_path[i]);
      ++i;
    }
  }
  out += "  ";
  out += VERSION;
  out.push_back('\n');
  return out;
}

} // namespace console
