#include "ops/yaml_subset.h"

#include <optional>

namespace ops_test {
namespace {

struct Line {
  int number = 0;
  int indent = 0;
  std::string_view content; ///< after the indentation, trailing blanks cut
};

[[noreturn]] void fail(int line, const std::string& reason) {
  throw YamlError("line " + std::to_string(line) + ": " + reason);
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool is_dash(const Line& line) {
  return line.content == "-" || line.content.starts_with("- ");
}

bool is_block_header(std::string_view value) {
  return value == "|" || value == "|-";
}

// "- key: value" opens a mapping inside the item; a quoted scalar never does.
bool opens_mapping(std::string_view rest) {
  return rest.front() != '\''
         && (rest.find(": ") != std::string_view::npos || rest.ends_with(':'));
}

YamlNode scalar_node(std::string text, int line) {
  YamlNode node;
  node.kind = YamlNode::Kind::scalar;
  node.text = std::move(text);
  node.line = line;
  return node;
}

std::string parse_scalar(std::string_view text, int line) {
  if (text.front() == '\'') {
    std::string out;
    std::size_t i = 1;
    for (;;) {
      if (i >= text.size()) {
        fail(line, "unterminated single-quoted scalar");
      }
      if (text[i] == '\'') {
        if (i + 1 < text.size() && text[i + 1] == '\'') {
          out.push_back('\'');
          i += 2;
          continue;
        }
        break;
      }
      out.push_back(text[i]);
      ++i;
    }
    const std::string_view after = trim_right(text.substr(i + 1));
    if (!after.empty() && !after.starts_with(" #")) {
      fail(line, "text after a quoted scalar");
    }
    return out;
  }
  if (text.front() == '"') {
    fail(line, "double-quoted scalars are not supported");
  }
  // Flow collections, anchors, aliases, tags, folded blocks and reserved
  // indicators: the Zabbix reader would read them as YAML, not as text.
  if (std::string_view("[]{}&*!>%@`").find(text.front())
      != std::string_view::npos) {
    fail(line,
         "unsupported YAML syntax \"" + std::string(text.substr(0, 1)) + "\"");
  }
  const auto plain = trim_right(text.substr(0, text.find(" #")));
  // The Zabbix reader refuses a mapping inside a plain value.
  if (plain.find(": ") != std::string_view::npos) {
    fail(line, "\": \" inside a plain scalar");
  }
  return std::string(plain);
}

class Parser {
public:
  explicit Parser(std::string_view text) {
    while (!text.empty()) {
      const auto end = text.find('\n');
      m_lines.push_back(text.substr(0, end));
      if (end == std::string_view::npos) {
        break;
      }
      text.remove_prefix(end + 1);
    }
  }

  YamlNode document() {
    const auto first = peek();
    if (!first) {
      throw YamlError("empty document");
    }
    YamlNode root = node_at(first->indent);
    if (const auto rest = peek()) {
      fail(rest->number, "unexpected indentation");
    }
    return root;
  }

private:
  // The next line that is neither blank nor a comment, without taking it.
  std::optional<Line> peek() {
    if (m_pending) {
      return m_pending;
    }
    while (m_next < m_lines.size()) {
      const std::string_view raw = trim_right(m_lines[m_next]);
      const auto indent = raw.find_first_not_of(' ');
      if (indent == std::string_view::npos) {
        ++m_next;
        continue;
      }
      const int number = static_cast<int>(m_next) + 1;
      if (raw[indent] == '\t') {
        fail(number, "tab in indentation");
      }
      if (raw[indent] == '#') {
        ++m_next;
        continue;
      }
      return Line{number, static_cast<int>(indent), raw.substr(indent)};
    }
    return std::nullopt;
  }

  void take() {
    if (m_pending) {
      m_pending.reset();
    } else {
      ++m_next;
    }
  }

  YamlNode node_at(int indent) {
    const auto line = peek();
    return is_dash(*line) ? sequence_at(indent) : mapping_at(indent);
  }

  YamlNode mapping_at(int indent) {
    YamlNode node;
    node.kind = YamlNode::Kind::mapping;
    node.line = peek()->number;
    for (auto line = peek(); line && line->indent >= indent; line = peek()) {
      if (line->indent > indent) {
        fail(line->number, "unexpected indentation");
      }
      if (is_dash(*line)) {
        fail(line->number, "sequence item inside a mapping");
      }
      std::string_view content = line->content;
      const auto colon = content.find(": ");
      std::string_view key;
      std::string_view value;
      if (colon != std::string_view::npos) {
        key = content.substr(0, colon);
        value = content.substr(colon + 2);
        while (!value.empty() && value.front() == ' ') {
          value.remove_prefix(1);
        }
      } else if (content.ends_with(':')) {
        key = content.substr(0, content.size() - 1);
      } else {
        fail(line->number, "expected \"key: value\"");
      }
      if (key.empty() || key.front() == '\'' || key.front() == '"'
          || key.find_first_of("{}[]#&*!") != std::string_view::npos) {
        fail(line->number, "unsupported key \"" + std::string(key) + "\"");
      }
      if (node.find(key) != nullptr) {
        fail(line->number, "duplicate key \"" + std::string(key) + "\"");
      }
      const int number = line->number;
      take();
      YamlNode child;
      if (value.empty() || value.starts_with('#')) {
        const auto next = peek();
        if (next && next->indent > indent) {
          child = node_at(next->indent);
        } else if (next && next->indent == indent && is_dash(*next)) {
          child = sequence_at(indent);
        } else {
          child = scalar_node("", number);
        }
      } else if (is_block_header(value)) {
        child = block_scalar(indent, value == "|-", number);
      } else {
        child = scalar_node(parse_scalar(value, number), number);
      }
      node.members.emplace_back(std::string(key), std::move(child));
    }
    return node;
  }

  YamlNode sequence_at(int indent) {
    YamlNode node;
    node.kind = YamlNode::Kind::sequence;
    node.line = peek()->number;
    for (auto line = peek(); line && line->indent >= indent; line = peek()) {
      if (line->indent > indent) {
        fail(line->number, "unexpected indentation");
      }
      if (!is_dash(*line)) {
        break;
      }
      std::string_view rest = line->content.substr(1);
      int offset = 1;
      while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
        ++offset;
      }
      const int number = line->number;
      take();
      if (rest.empty()) {
        const auto next = peek();
        node.items.push_back(next && next->indent > indent
                                 ? node_at(next->indent)
                                 : scalar_node("", number));
      } else if (is_block_header(rest)) {
        node.items.push_back(block_scalar(indent, rest == "|-", number));
      } else if (opens_mapping(rest)) {
        // The item's first member sits on the dash line: read it as a line
        // of its own, indented to where it starts.
        m_pending = Line{number, indent + offset, rest};
        node.items.push_back(mapping_at(indent + offset));
      } else {
        node.items.push_back(scalar_node(parse_scalar(rest, number), number));
      }
    }
    return node;
  }

  // The lines after a "|" header that are blank or indented deeper than the
  // header's own line, with the first line's indentation removed; "|" keeps
  // one final line feed, "|-" none.
  YamlNode block_scalar(int parent_indent, bool strip, int header) {
    std::vector<std::string_view> lines;
    std::size_t block_indent = 0;
    while (m_next < m_lines.size()) {
      const std::string_view raw = trim_right(m_lines[m_next]);
      const auto indent = raw.find_first_not_of(' ');
      if (indent == std::string_view::npos) {
        lines.emplace_back();
        ++m_next;
        continue;
      }
      if (static_cast<int>(indent) <= parent_indent) {
        break;
      }
      if (block_indent == 0) {
        block_indent = indent;
      } else if (indent < block_indent) {
        fail(static_cast<int>(m_next) + 1,
             "block scalar line indented less than its first line");
      }
      lines.push_back(raw.substr(block_indent));
      ++m_next;
    }
    while (!lines.empty() && lines.back().empty()) {
      lines.pop_back();
    }
    if (lines.empty()) {
      fail(header, "empty block scalar");
    }
    std::string text;
    for (const auto& l : lines) {
      text += l;
      text += '\n';
    }
    if (strip) {
      text.pop_back();
    }
    return scalar_node(std::move(text), header);
  }

  std::vector<std::string_view> m_lines;
  std::size_t m_next = 0;
  std::optional<Line> m_pending;
};

} // namespace

const YamlNode* YamlNode::find(std::string_view key) const {
  for (const auto& [name, value] : members) {
    if (name == key) {
      return &value;
    }
  }
  return nullptr;
}

std::string YamlNode::scalar(std::string_view key,
                             std::string_view fallback) const {
  const YamlNode* member = find(key);
  if (member == nullptr) {
    return std::string(fallback);
  }
  if (member->kind != Kind::scalar) {
    fail(member->line, "\"" + std::string(key) + "\" is not a scalar");
  }
  return member->text;
}

const std::vector<YamlNode>& YamlNode::sequence(std::string_view key) const {
  static const std::vector<YamlNode> none;
  const YamlNode* member = find(key);
  if (member == nullptr) {
    return none;
  }
  if (member->kind != Kind::sequence) {
    fail(member->line, "\"" + std::string(key) + "\" is not a sequence");
  }
  return member->items;
}

YamlNode parse_yaml(std::string_view text) {
  return Parser(text).document();
}

} // namespace ops_test
