#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ops_test {

/// A document outside the subset below, or malformed; the message names the
/// line.
class YamlError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// One node of a YAML document: a scalar (its text), a mapping (members in
/// file order) or a sequence.
struct YamlNode {
  enum class Kind { scalar, mapping, sequence };
  Kind kind = Kind::scalar;
  std::string text;
  std::vector<std::pair<std::string, YamlNode>> members;
  std::vector<YamlNode> items;
  int line = 0; ///< 1-based line where the node starts

  /// The member of that name; nullptr when absent or not a mapping.
  const YamlNode* find(std::string_view key) const;
  /// The member's text; `fallback` when absent. Throws YamlError when the
  /// member is not a scalar.
  std::string scalar(std::string_view key, std::string_view fallback) const;
  /// The member's items; none when absent. Throws YamlError when the member
  /// is not a sequence.
  const std::vector<YamlNode>& sequence(std::string_view key) const;
};

/// Parses the block-style subset that Zabbix configuration exports use:
/// mappings with plain keys, sequences written with "- ", plain and
/// single-quoted scalars, literal block scalars ("|", "|-"), comment lines.
/// Throws YamlError for anything else (tabs in indentation, flow collections,
/// double-quoted scalars, anchors, duplicate keys, inconsistent indentation).
YamlNode parse_yaml(std::string_view text);

} // namespace ops_test
