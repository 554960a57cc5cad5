#pragma once

#include <unistd.h>
#include <utility>

namespace transport {

/// Owns one file descriptor and closes it on destruction; -1 owns nothing.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) noexcept : m_fd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }

  /// The descriptor, still owned; -1 when empty.
  int get() const noexcept { return m_fd; }
  explicit operator bool() const noexcept { return m_fd >= 0; }

  /// Closes the descriptor now (if any); the object is then empty.
  void reset() noexcept {
    if (m_fd >= 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }

private:
  int m_fd = -1;
};

} // namespace transport
