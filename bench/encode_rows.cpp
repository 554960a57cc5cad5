// Line-protocol encoding speed: rows of the shape the collector writes (the
// time-series form of a client: ids, accented names, a CPF, an amount, counts,
// three date-times, place names) encoded N times, first straight into a line
// buffer, then through the sender's row() as the pass calls it.
//
//   encode_rows [N]     (default 100000)
//
// Prints rows per second for each; nothing is sent anywhere.
#include "timeseries/ingress.h"
#include "timeseries/line_protocol.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using timeseries::Column;
using timeseries::TimestampMicros;

std::vector<Column> sample_row(std::int64_t id) {
  const std::int64_t day = 86'400'000'000;
  const std::int64_t base = 1'700'000'000'000'000 + id * 1'000'000;
  return {
      {"idCliente", id},
      {"razaoSocial", "Cliente Ação São João nº " + std::to_string(id)},
      {"cpfCnpj", "123.456.789-" + std::to_string(id % 100)},
      {"valorDivida", 89.9 * static_cast<double>(1 + id % 4) + 0.01},
      {"titulosDivida", std::int64_t{1 + id % 4}},
      {"contatoCliente", "(19) 9" + std::to_string(80000000 + id)},
      {"primeiroVencimento", TimestampMicros{base - 40 * day}},
      {"diasAtraso", std::int64_t{40 + id % 90}},
      {"cidade", std::string("Ribeirão Preto")},
      {"pop", std::string("Ribeirão Preto - Centro")},
      {"bairro", "Jardim Paulista " + std::to_string(id % 300)},
      {"dataCadastro", TimestampMicros{base - 900 * day}},
      {"dataCriacaoTitulo", TimestampMicros{base - 70 * day}},
      {"tarvoIdentification", std::string("bench")},
      {"timestamp", TimestampMicros{base}},
  };
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100'000;
  if (n <= 0) {
    std::fprintf(stderr, "usage: %s [N]\n", argv[0]);
    return 2;
  }
  std::vector<std::vector<Column>> rows;
  rows.reserve(static_cast<std::size_t>(n));
  for (long i = 1; i <= n; ++i) {
    rows.push_back(sample_row(i));
  }
  const std::int64_t at = 1'733'600'000'000'000'000;

  timeseries::LineBuffer buffer;
  auto start = std::chrono::steady_clock::now();
  for (const auto& row : rows) {
    buffer.add_row("tarvoClientes", row, at);
  }
  const double buffer_s = seconds_since(start);
  // Again into the same buffer, whose memory is now mapped: what the encoder
  // costs without the first touch of fresh pages, as after an automatic flush.
  buffer.clear();
  start = std::chrono::steady_clock::now();
  for (const auto& row : rows) {
    buffer.add_row("tarvoClientes", row, at);
  }
  const double warm_s = seconds_since(start);

  // Automatic flushing stays on, as in the pass (it sizes the buffer for a
  // batch), with a batch larger than N so that nothing is sent.
  auto sender = timeseries::Sender::from_conf(
      "http::addr=127.0.0.1:9;username=u;password=p;auto_flush_rows="
      + std::to_string(n + 1) + ";");
  start = std::chrono::steady_clock::now();
  for (const auto& row : rows) {
    sender.row("tarvoClientes", row, timeseries::TimestampNanos{at});
  }
  const double sender_s = seconds_since(start);
  sender.close();

  const auto rate = [n](double s) { return static_cast<double>(n) / s; };
  std::printf("encode %ld rows (%.1f MB): line buffer %.4f s (%.0f rows/s), "
              "reused buffer %.4f s (%.0f rows/s), sender row() %.4f s "
              "(%.0f rows/s)\n",
              n, static_cast<double>(buffer.text().size()) / 1e6, buffer_s,
              rate(buffer_s), warm_s, rate(warm_s), sender_s, rate(sender_s));
  return 0;
}
