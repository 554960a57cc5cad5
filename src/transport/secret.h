#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace transport {

/// Bytes that must not outlive their use in memory: a key, a password, a
/// token. Held in one allocation that is never grown (so no copy of it is
/// left behind in freed memory), move-only, and wiped when released. A NUL
/// always follows the bytes, so text APIs (libcurl's) take them as they are.
class SecretBytes {
public:
  SecretBytes() = default;
  /// `size` zero bytes, to be filled in place.
  explicit SecretBytes(std::size_t size);
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes() { wipe(); }

  unsigned char* data() { return m_bytes.get(); }
  const unsigned char* data() const { return m_bytes.get(); }
  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  /// The bytes as text, for an API that takes a string; still owned here.
  std::string_view view() const;
  /// The bytes as a NUL-terminated string ("" when empty); still owned here.
  const char* c_str() const;

  /// Keeps the first `size` bytes (no more than held) and wipes the rest.
  void truncate(std::size_t size);

  /// Wipes the bytes and releases them; the buffer is then empty.
  void wipe() noexcept;

private:
  std::unique_ptr<unsigned char[]> m_bytes;
  std::size_t m_size = 0;
};

/// The whole of the regular file at `path`, read into one buffer of the
/// file's size, at most `max_size` bytes. Throws TransportError (step
/// Step::file) whose message is the reason alone ("não foi possível ler:
/// <errno text>", "maior que N bytes"); never quotes the contents.
SecretBytes read_secret_file(const std::string& path, std::size_t max_size);

/// Throws TransportError (Step::file, "não foi possível ler: <errno text>")
/// when the file at `path` cannot be opened for reading, as
/// read_secret_file words it; reads nothing.
void require_readable(const std::string& path);

} // namespace transport
