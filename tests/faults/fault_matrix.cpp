#include "faults/fault_matrix.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace faults {
namespace {

constexpr std::array<std::string_view, 6> k_peer_order = {
    "PostgreSQL",
    "Zabbix trapper",
    "store /exec",
    "store /write",
    "store over TLS",
    "standard output",
};

constexpr std::array<std::string_view, 15> k_fault_order = {
    "refused",
    "never answers",
    "stalls",
    "slow",
    "garbage",
    "cut mid-way",
    "error reply",
    "5xx",
    "4xx",
    "credentials refused",
    "closes early",
    "full",
    "reader gone",
    "closed",
    "reader leaves",
};

std::vector<MatrixRow>& rows_of_process() {
  static std::vector<MatrixRow> rows;
  return rows;
}

// Position of the first entry that starts `text`; entries not found sort
// last, in their own order.
template <std::size_t N>
std::size_t rank(const std::array<std::string_view, N>& order,
                 std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (text.substr(0, order[i].size()) == order[i]) {
      return i;
    }
  }
  return N;
}

// Tabs and line breaks would break the file's one-row-a-line layout.
std::string flat(std::string_view text) {
  std::string out(text);
  std::replace_if(
      out.begin(),
      out.end(),
      [](char c) { return c == '\t' || c == '\n'; },
      ' ');
  return out;
}

std::size_t code_points(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
      }));
}

void pad(std::string& out, std::string_view text, std::size_t width) {
  out += text;
  const std::size_t n = code_points(text);
  if (n < width) {
    out.append(width - n, ' ');
  }
}

} // namespace

std::string matrix_file() {
  const char* path = std::getenv("TARVO_FAULT_MATRIX");
  if (path != nullptr) {
    return path;
  }
#ifdef TARVO_FAULT_MATRIX_FILE
  return TARVO_FAULT_MATRIX_FILE;
#else
  return {};
#endif
}

void record(std::string_view peer,
            std::string_view fault,
            std::string_view outcome,
            std::chrono::milliseconds elapsed) {
  MatrixRow row{flat(peer), flat(fault), flat(outcome), elapsed};
  const std::string path = matrix_file();
  if (!path.empty()) {
    const std::string line = row.peer + "\t" + row.fault + "\t" + row.outcome
                             + "\t" + std::to_string(elapsed.count()) + "\n";
    // O_APPEND and one write: rows of tests running side by side never mix.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const ssize_t written = ::write(fd, line.data(), line.size());
      static_cast<void>(written);
      ::close(fd);
    }
  }
  rows_of_process().push_back(std::move(row));
}

const std::vector<MatrixRow>& recorded() {
  return rows_of_process();
}

std::vector<MatrixRow> read_rows(const std::string& path) {
  std::vector<MatrixRow> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::array<std::string, 4> parts;
    std::size_t at = 0;
    std::size_t i = 0;
    for (; i < parts.size(); ++i) {
      const std::size_t tab = line.find('\t', at);
      parts[i] = line.substr(at, tab == std::string::npos ? tab : tab - at);
      if (tab == std::string::npos) {
        break;
      }
      at = tab + 1;
    }
    if (i != parts.size() - 1) {
      continue;
    }
    char* end = nullptr;
    const long long ms = std::strtoll(parts[3].c_str(), &end, 10);
    rows.push_back(
        {parts[0], parts[1], parts[2], std::chrono::milliseconds(ms)});
  }
  return rows;
}

std::string render_table(std::vector<MatrixRow> rows) {
  std::stable_sort(
      rows.begin(), rows.end(), [](const MatrixRow& a, const MatrixRow& b) {
        const auto pa = rank(k_peer_order, a.peer);
        const auto pb = rank(k_peer_order, b.peer);
        if (pa != pb) {
          return pa < pb;
        }
        if (a.peer != b.peer) {
          return a.peer < b.peer;
        }
        return rank(k_fault_order, a.fault) < rank(k_fault_order, b.fault);
      });
  std::size_t peer_w = 4;
  std::size_t fault_w = 5;
  for (const auto& r : rows) {
    peer_w = std::max(peer_w, code_points(r.peer));
    fault_w = std::max(fault_w, code_points(r.fault));
  }
  std::string out;
  const auto line = [&](std::string_view peer,
                        std::string_view fault,
                        std::string_view elapsed,
                        std::string_view outcome) {
    pad(out, peer, peer_w);
    out += " | ";
    pad(out, fault, fault_w);
    out += " | ";
    std::string e(elapsed);
    out.append(e.size() < 8 ? 8 - e.size() : 0, ' ');
    out += e;
    out += " | ";
    out += outcome;
    out += '\n';
  };
  line("peer", "fault", "elapsed", "outcome");
  out += std::string(peer_w, '-') + "-+-" + std::string(fault_w, '-')
         + "-+----------+---------\n";
  for (const auto& r : rows) {
    line(r.peer, r.fault, std::to_string(r.elapsed.count()) + " ms", r.outcome);
  }
  return out;
}

} // namespace faults
