#pragma once

#include <string>
#include <string_view>

namespace test_support {

/// A folder of the test's own under the system's temporary folder, removed
/// with everything in it when the object goes.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  /// The folder, ending in '/'.
  const std::string& path() const { return m_path; }
  /// Writes `bytes` to the file `name` in the folder; returns its path.
  std::string file(std::string_view name, std::string_view bytes) const;

private:
  std::string m_path;
};

} // namespace test_support
