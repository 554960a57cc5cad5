#include "support/scratch_dir.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace test_support {

ScratchDir::ScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tarvo_test_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  m_path = pattern + "/";
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string ScratchDir::file(std::string_view name, std::string_view bytes) const {
  const std::string path = m_path + std::string(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

} // namespace test_support
