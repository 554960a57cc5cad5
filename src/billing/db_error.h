#pragma once

#include <stdexcept>
#include <string>

namespace billing {

/// A failure of the billing database: the step, then the server's or libpq's
/// words.
class DbError : public std::runtime_error {
public:
  DbError(const std::string& what, std::string sqlstate = {})
      : std::runtime_error(what), m_sqlstate(std::move(sqlstate)) {}
  const std::string& sqlstate() const { return m_sqlstate; }

private:
  std::string m_sqlstate;
};

} // namespace billing
