#include "timeseries/reply_error.h"

#include <algorithm>
#include <cctype>

namespace timeseries {
namespace {

constexpr std::size_t k_max_excerpt = 160;

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::size_t find_nocase(std::string_view text,
                        std::string_view word,
                        std::size_t from = 0) {
  for (std::size_t at = from; at + word.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < word.size() && lower(text[at + i]) == word[i]) {
      ++i;
    }
    if (i == word.size()) {
      return at;
    }
  }
  return std::string_view::npos;
}

// A proxy's error page says it all in its title ("400 The plain HTTP request
// was sent to HTTPS port"); without one, its text without the tags.
std::string_view html_part(std::string_view body) {
  const std::size_t open = find_nocase(body, "<title>");
  if (open == std::string_view::npos) {
    return body;
  }
  const std::size_t start = open + 7;
  const std::size_t close = find_nocase(body, "</title>", start);
  return body.substr(start,
                     close == std::string_view::npos ? close : close - start);
}

std::string readable_text(std::string_view body, bool html) {
  std::string text;
  bool in_tag = false;
  for (const char c : html ? html_part(body) : body) {
    bool blank = static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
    if (html && c == '<') {
      in_tag = true;
      blank = true;
    } else if (in_tag) {
      if (c != '>') {
        continue;
      }
      in_tag = false;
      blank = true;
    }
    if (!blank) {
      text += c;
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

// Cut at a character boundary, never inside a UTF-8 sequence.
std::string excerpt(std::string text) {
  if (text.size() <= k_max_excerpt) {
    return text;
  }
  std::size_t cut = k_max_excerpt;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) {
    --cut;
  }
  text.resize(cut);
  return text + "…";
}

} // namespace

std::string reply_summary(std::string_view endpoint,
                          long status,
                          std::string_view content_type,
                          std::string_view body) {
  const std::string_view media = content_type.substr(
      0, std::min(content_type.find(';'), content_type.size()));
  std::string type(media);
  while (!type.empty() && type.back() == ' ') {
    type.pop_back();
  }
  const bool html =
      find_nocase(type, "html") != std::string_view::npos
      || find_nocase(body.substr(0, 64), "<html") != std::string_view::npos;
  std::string text = readable_text(body, html);
  const std::string number = std::to_string(status);
  if (text.starts_with(number + " ")) {
    text.erase(0, number.size() + 1);
  }
  std::string line = std::string(endpoint) + " answered HTTP " + number + " "
                     + (type.empty() ? "without a content type" : type);
  return line + (text.empty() ? " and an empty body" : ": " + excerpt(text));
}

} // namespace timeseries
