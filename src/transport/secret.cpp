#include "transport/secret.h"

#include "transport/fd.h"
#include "transport/transport_error.h"

#include <cerrno>
#include <fcntl.h>
#include <string.h> // explicit_bzero
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace transport {

SecretBytes::SecretBytes(std::size_t size)
    : m_bytes(new unsigned char[size + 1]()), m_size(size) {}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : m_bytes(std::move(other.m_bytes)),
      m_size(std::exchange(other.m_size, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    m_bytes = std::move(other.m_bytes);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}

std::string_view SecretBytes::view() const {
  // The bytes are plain octets; text APIs take them as char.
  return {static_cast<const char*>(static_cast<const void*>(m_bytes.get())),
          m_size};
}

const char* SecretBytes::c_str() const {
  return m_bytes ? view().data() : "";
}

void SecretBytes::truncate(std::size_t size) {
  if (size < m_size) {
    explicit_bzero(m_bytes.get() + size, m_size - size);
    m_size = size;
  }
}

void SecretBytes::wipe() noexcept {
  if (m_bytes) {
    // truncate() has already wiped whatever lies past m_size, and the
    // terminating NUL is zero.
    explicit_bzero(m_bytes.get(), m_size);
    m_bytes.reset();
  }
  m_size = 0;
}

namespace {

TransportError unreadable(int error) {
  return TransportError(Step::file,
                        "não foi possível ler: "
                            + std::system_category().message(error));
}

Fd open_for_reading(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    throw unreadable(errno);
  }
  return fd;
}

} // namespace

void require_readable(const std::string& path) {
  (void)open_for_reading(path);
}

SecretBytes read_secret_file(const std::string& path, std::size_t max_size) {
  const Fd fd = open_for_reading(path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    throw unreadable(errno);
  }
  if (!S_ISREG(info.st_mode)) {
    // systemd's credentials and plain files are regular; a pipe or device
    // has no size to read into one buffer.
    throw TransportError(Step::file,
                         "não foi possível ler: não é um arquivo comum");
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  if (size > max_size) {
    throw TransportError(Step::file,
                         "maior que " + std::to_string(max_size) + " bytes");
  }
  SecretBytes secret(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd.get(), secret.data() + got, size - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      throw unreadable(errno);
    }
    if (n == 0) {
      break; // the file shrank since fstat: keep what it holds now
    }
    got += static_cast<std::size_t>(n);
  }
  secret.truncate(got);
  return secret;
}

} // namespace transport
