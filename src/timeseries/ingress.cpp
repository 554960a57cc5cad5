#include "timeseries/ingress.h"

#include "console/deadline.h"
#include "timeseries/curl_handles.h"
#include "timeseries/reply_error.h"
#include "timeseries/request_options.h"
#include "timeseries/tls_failure.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace timeseries {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Settings {
  std::string host;
  std::string port = "9000";
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> token;
  bool https = false;
  std::string tls_roots; // empty: the system's trusted roots
  std::int64_t request_timeout_ms = 10'000;
  std::int64_t request_min_throughput = 102'400; // bytes per second
  std::int64_t retry_timeout_ms = 10'000;
  std::size_t auto_flush_rows = 75'000; // 0: no automatic flush
  std::size_t max_buf_size = 100 * 1024 * 1024;
};

[[noreturn]] void throw_parse_error(const std::string& what) {
  throw IngressError("Config parse error: " + what);
}

bool is_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
         || (c >= '0' && c <= '9') || c == '_';
}

// service::key=value;key=value; with ";;" for a literal ';'. Keys are
// case-sensitive; the last ';' may be left out.
std::pair<std::string, std::map<std::string, std::string>>
split_conf(std::string_view conf) {
  const std::size_t colons = conf.find("::");
  if (conf.empty()) {
    throw_parse_error("empty config string");
  }
  if (colons == std::string_view::npos) {
    throw_parse_error("missing \"::\" after the service name");
  }
  std::string service(conf.substr(0, colons));
  if (service.empty()
      || !std::all_of(service.begin(), service.end(), is_key_char)) {
    throw_parse_error("bad service name \"" + service + "\"");
  }
  std::map<std::string, std::string> params;
  std::size_t at = colons + 2;
  while (at < conf.size()) {
    const std::size_t key_start = at;
    while (at < conf.size() && is_key_char(conf[at])) {
      ++at;
    }
    if (at == conf.size()) {
      throw_parse_error("incomplete key-value pair at position "
                  + std::to_string(key_start));
    }
    if (conf[at] != '=') {
      throw_parse_error("invalid character " + std::string(1, conf[at])
                  + " in key at position " + std::to_string(at));
    }
    if (at == key_start) {
      throw_parse_error("empty key at position " + std::to_string(at));
    }
    std::string key(conf.substr(key_start, at - key_start));
    ++at;
    std::string value;
    while (at < conf.size()) {
      const char c = conf[at];
      if (c == ';') {
        if (at + 1 < conf.size() && conf[at + 1] == ';') {
          value.push_back(';');
          at += 2;
          continue;
        }
        ++at;
        break;
      }
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        throw_parse_error("invalid control character in value at position "
                    + std::to_string(at));
      }
      value.push_back(c);
      ++at;
    }
    if (!params.emplace(key, std::move(value)).second) {
      throw_parse_error("duplicate key \"" + key + "\"");
    }
  }
  return {std::move(service), std::move(params)};
}

std::int64_t parse_count(const std::string& key,
                         const std::string& text,
                         std::int64_t minimum) {
  std::int64_t value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()
      || value < minimum) {
    throw IngressError("\"" + key + "\" must be an integer of at least "
                       + std::to_string(minimum) + ", not \"" + text + "\"");
  }
  return value;
}

Settings settings_from_conf(std::string_view conf) {
  // Named members rather than a structured binding: clang 14 (the fuzzing
  // build) cannot capture a binding in the lambda below.
  auto split = split_conf(conf);
  const std::string& service = split.first;
  const std::map<std::string, std::string>& params = split.second;
  if (service == "tcp" || service == "tcps") {
    throw IngressError(
        "Config parse error: service \"" + service
        + "\" is not supported by this client; use \"http\" or \"https\"");
  }
  if (service != "http" && service != "https") {
    throw IngressError("Config parse error: invalid service \"" + service
                       + "\"");
  }
  Settings settings;
  settings.https = service == "https";
  const auto take = [&params](const char* key) -> std::optional<std::string> {
    const auto it = params.find(key);
    if (it == params.end()) {
      return std::nullopt;
    }
    return it->second;
  };
  const auto addr = take("addr");
  if (!addr) {
    throw IngressError("Missing \"addr\" parameter in config string");
  }
  // Split at the first ':', as the official clients do (no IPv6 literals).
  const std::size_t colon = addr->find(':');
  settings.host = addr->substr(0, colon);
  if (colon != std::string::npos) {
    settings.port = addr->substr(colon + 1);
    (void)parse_count("addr", settings.port, 1);
  }
  if (settings.host.empty()) {
    throw IngressError("\"addr\" has no host: \"" + *addr + "\"");
  }
  settings.username = take("username");
  settings.password = take("password");
  if (settings.username && !settings.password) {
    throw IngressError("Basic authentication parameter \"username\" is "
                       "present, but \"password\" is missing.");
  }
  if (settings.password && !settings.username) {
    throw IngressError("Basic authentication parameter \"password\" is "
                       "present, but \"username\" is missing.");
  }
  settings.token = take("token");
  if (settings.token && settings.username) {
    throw IngressError(
        "Use either \"token\" or \"username\" and \"password\", not both.");
  }
  if (const auto v = take("tls_verify"); v && *v != "on") {
    throw IngressError("\"tls_verify\" " + *v
                       + " is not supported by this client, which always "
                         "verifies the server's certificate");
  }
  if (const auto v = take("tls_roots")) {
    settings.tls_roots = *v;
  }
  if (const auto v = take("request_timeout")) {
    settings.request_timeout_ms = parse_count("request_timeout", *v, 1);
  }
  if (const auto v = take("request_min_throughput")) {
    settings.request_min_throughput =
        parse_count("request_min_throughput", *v, 0);
  }
  if (const auto v = take("retry_timeout")) {
    settings.retry_timeout_ms = parse_count("retry_timeout", *v, 0);
  }
  if (const auto v = take("auto_flush")) {
    if (*v == "off") {
      settings.auto_flush_rows = 0;
    } else if (*v != "on") {
      throw IngressError("\"auto_flush\" must be \"on\" or \"off\", not \"" + *v
                         + "\"");
    }
  }
  if (const auto v = take("auto_flush_rows");
      v && settings.auto_flush_rows != 0) {
    settings.auto_flush_rows =
        *v == "off"
            ? 0
            : static_cast<std::size_t>(parse_count("auto_flush_rows", *v, 1));
  }
  if (const auto v = take("max_buf_size")) {
    settings.max_buf_size =
        static_cast<std::size_t>(parse_count("max_buf_size", *v, 1024));
  }
  if (const auto v = take("protocol_version"); v && *v != "1" && *v != "auto") {
    throw IngressError(
        "\"protocol_version\" " + *v
        + " is not supported by this client, which writes version 1 only");
  }
  return settings;
}

// The 5xx replies a store or proxy gives while it is busy or restarting.
bool is_retriable_status(long status) {
  switch (status) {
  case 500:
  case 503:
  case 504:
  case 507:
  case 509:
  case 523:
  case 524:
  case 529:
  case 599:
    return true;
  default:
    return false;
  }
}

std::string without_trailing_line_break(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

} // namespace

// The store's JSON error: message, then id, code and (for parse errors) line.
std::string refusal_message(long status,
                            const std::string& body,
                            std::string_view endpoint,
                            std::string_view content_type) {
  if (status == 404) {
    return "Could not flush buffer: HTTP endpoint does not support ILP.";
  }
  if (status == 401 || status == 403) {
    // The store answers these in plain text ending with a line break; the
    // message must stay one line.
    const std::string text = without_trailing_line_break(body);
    return "Could not flush buffer: HTTP endpoint authentication error"
           + (text.empty() ? std::string() : ": " + text)
           + " [code: " + std::to_string(status) + "]";
  }
  const auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_object() && json.contains("message")
      && json["message"].is_string()) {
    const auto member = [&json](const char* name) {
      const auto it = json.find(name);
      if (it == json.end()) {
        return std::string();
      }
      return it->is_string() ? it->get<std::string>() : it->dump();
    };
    std::string message = "Could not flush buffer: " + member("message")
                          + " [id: " + member("errorId")
                          + ", code: " + member("code");
    if (json.contains("line")) {
      message += ", line: " + member("line");
    }
    return message + "]";
  }
  return "Could not flush buffer: "
         + reply_summary(endpoint, status, content_type, body);
}

TimestampNanos TimestampNanos::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return {std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch)
              .count()};
}

struct Sender::Impl {
  Settings settings;
  std::string url;      // with the query
  std::string endpoint; // without it, as error messages name it
  LineBuffer buffer;
  CurlSlist headers; // before easy: the handle must go first
  CurlEasy easy;     // kept so that the connection is reused between flushes
  std::minstd_rand jitter{static_cast<std::minstd_rand::result_type>(
      Clock::now().time_since_epoch().count())};

  struct Attempt {
    bool ok = false;
    bool retriable = false;
    std::string message;
  };

  Attempt post_once() {
    const std::string& body = buffer.text();
    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle,
                     CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    // Each try may take request_timeout plus the time the body needs at the
    // minimum throughput, the official client's rule.
    std::int64_t timeout_ms = settings.request_timeout_ms;
    if (settings.request_min_throughput > 0) {
      timeout_ms += static_cast<std::int64_t>(body.size()) * 1000
                    / settings.request_min_throughput;
    }
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    curl_easy_setopt(handle,
                     CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(settings.request_timeout_ms));

    std::string reply;
    const TransferResult result = perform_bounded(handle, reply);
    if (result.code != CURLE_OK) {
      // A certificate that failed its check fails it again, and a port that
      // does not speak TLS will not start to: no retries.
      return {false,
              !is_tls_verdict(result.code)
                  && result.tls != TlsVerdict::not_tls,
              "Could not flush buffer: " + endpoint + ": " + result.error};
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status < 300) {
      return {true, false, {}};
    }
    const char* type = nullptr;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &type);
    return {
        false,
        is_retriable_status(status),
        refusal_message(status, reply, endpoint, type == nullptr ? "" : type)};
  }

  void post_with_retries() {
    const auto start = Clock::now();
    const milliseconds budget(settings.retry_timeout_ms);
    std::int64_t interval_ms = 10;
    Attempt attempt = post_once();
    while (!attempt.ok && attempt.retriable && settings.retry_timeout_ms > 0
           && Clock::now() - start <= budget) {
      const auto jitter_ms = static_cast<std::int64_t>(jitter() % 11) - 5;
      const int pause_ms = static_cast<int>(interval_ms + jitter_ms);
      // The pause too must end within the run's bound.
      std::this_thread::sleep_for(
          milliseconds(console::deadline::wait_ms(pause_ms)));
      interval_ms = std::min<std::int64_t>(interval_ms * 2, 1000);
      attempt = post_once();
    }
    if (!attempt.ok) {
      throw IngressError(attempt.message);
    }
  }
};

Sender::Sender(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Sender::Sender(Sender&&) noexcept = default;
Sender& Sender::operator=(Sender&&) noexcept = default;
Sender::~Sender() = default;

Sender Sender::from_conf(std::string_view conf) {
  return from_conf(conf, StoreAccess{});
}

Sender Sender::from_conf(std::string_view conf, const StoreAccess& access) {
  auto impl = std::make_unique<Impl>();
  impl->settings = settings_from_conf(conf);
  const Settings& s = impl->settings;
  const bool own_credentials = access.auth != StoreAuth::fixed_pair;
  if (own_credentials && (s.username || s.token)) {
    throw IngressError("Credentials given both in the config string and by "
                       "the caller.");
  }
  impl->endpoint =
      (s.https ? "https://" : "http://") + s.host + ":" + s.port + "/write";
  impl->url = impl->endpoint + "?precision=n";
  impl->easy = make_easy();
  append_header(impl->headers, "Content-Type: text/plain; charset=utf-8");
  // libcurl would otherwise wait for "100 Continue" before large bodies.
  append_header(impl->headers, "Expect:");
  CURL* handle = impl->easy.get();
  if (s.https) {
    set_tls(handle, s.tls_roots);
  }
  if (own_credentials) {
    set_credentials(handle, access);
  } else if (s.username) {
    curl_easy_setopt(
        handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(handle, CURLOPT_USERNAME, s.username->c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, s.password->c_str());
  } else if (s.token) {
    append_header(impl->headers, ("Authorization: Bearer " + *s.token).c_str());
  }
  return Sender(std::move(impl));
}

void Sender::row(std::string_view table,
                 std::span<const Column> columns,
                 TimestampNanos at) {
  if (!m_impl) {
    throw IngressError("Sender is closed");
  }
  LineBuffer& buffer = m_impl->buffer;
  buffer.add_row(table, columns, at.value);
  const std::size_t batch = m_impl->settings.auto_flush_rows;
  if (buffer.rows() == 1 && batch != 0) {
    // Room for a whole batch of rows like the first, so the text is not
    // moved (and held twice) each time it outgrows its memory; pages never
    // written cost nothing.
    buffer.reserve(std::min(m_impl->settings.max_buf_size,
                            buffer.text().size() * batch / 8 * 9));
  }
  if (m_impl->settings.auto_flush_rows != 0
      && m_impl->buffer.rows() >= m_impl->settings.auto_flush_rows) {
    flush();
  }
}

void Sender::flush() {
  if (!m_impl) {
    throw IngressError("Sender is closed");
  }
  LineBuffer& buffer = m_impl->buffer;
  if (buffer.rows() == 0) {
    return;
  }
  if (buffer.text().size() > m_impl->settings.max_buf_size) {
    throw IngressError("Could not flush buffer: Buffer size of "
                       + std::to_string(buffer.text().size())
                       + " exceeds maximum configured allowed size of "
                       + std::to_string(m_impl->settings.max_buf_size)
                       + " bytes.");
  }
  m_impl->post_with_retries();
  buffer.clear();
}

std::size_t Sender::pending_rows() const {
  return m_impl ? m_impl->buffer.rows() : 0;
}

void Sender::close() noexcept {
  m_impl.reset();
}

} // namespace timeseries
