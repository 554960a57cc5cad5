#include "timeseries/store_settings.h"
#include "settings/reader.h"
#include "support/library_words.h"
#include "support/scratch_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vector>

namespace {

using timeseries::StoreEnvironment;
using timeseries::StoreSettingsError;

TEST(StoreSettings, CombinationsThatCannotWorkAreRefusedNamingTheVariable) {
  const test_support::ScratchDir scratch;
  const std::string dir = scratch.path();
  const auto file = [&](const std::string& name, const std::string& text) {
    return scratch.file(name, text);
  };
  const std::string password = file("password", "p4ss:w0rd\n");
  const std::string token = file("token", "qt1token\r\n");
  const std::string ca = file("ca.pem", "-----BEGIN CERTIFICATE-----\n");
  const std::string absent = dir + "absent";
  struct Case {
    const char* name;
    StoreEnvironment env;
    std::string error; // empty: accepted
  };
  const std::vector<Case> cases{
      {"nothing: the fixed pair", {}, ""},
      {"user alone",
       {{"QUESTDB_USER", "coletor"}},
       "QUESTDB_PASSWORD_FILE é obrigatória com QUESTDB_USER"},
      {"password alone",
       {{"QUESTDB_PASSWORD_FILE", password}},
       "QUESTDB_USER é obrigatória com QUESTDB_PASSWORD_FILE"},
      {"token and user",
       {{"QUESTDB_TOKEN_FILE", token}, {"QUESTDB_USER", "coletor"}},
       "QUESTDB_USER não se aplica a QUESTDB_TOKEN_FILE: o token substitui "
       "usuário e senha"},
      {"token and password",
       {{"QUESTDB_TOKEN_FILE", token}, {"QUESTDB_PASSWORD_FILE", password}},
       "QUESTDB_PASSWORD_FILE não se aplica a QUESTDB_TOKEN_FILE: o token "
       "substitui usuário e senha"},
      {"empty user",
       {{"QUESTDB_USER", ""}, {"QUESTDB_PASSWORD_FILE", password}},
       "QUESTDB_USER=\"\": vazia"},
      {"user with a colon",
       {{"QUESTDB_USER", "a:b"}, {"QUESTDB_PASSWORD_FILE", password}},
       "QUESTDB_USER=\"a:b\": o usuário não pode conter ':' nem caracteres de "
       "controle"},
      {"password file absent",
       {{"QUESTDB_USER", "coletor"}, {"QUESTDB_PASSWORD_FILE", absent}},
       "QUESTDB_PASSWORD_FILE=\"" + absent + "\": não foi possível ler: <cause>"},
      {"token file with a line break only",
       {{"QUESTDB_TOKEN_FILE", file("blank", "\n")}},
       "QUESTDB_TOKEN_FILE=\"" + dir + "blank\": arquivo vazio"},
      // The secret is the file's first line; what follows is the operator's.
      {"password with notes after it",
       {{"QUESTDB_USER", "coletor"},
        {"QUESTDB_PASSWORD_FILE", file("two", "p4ss:w0rd\nmais\n")}},
       ""},
      {"token with CRLF",
       {{"QUESTDB_TOKEN_FILE", file("crlf", "qt1-token\r\nnotas\r\n")}},
       ""},
      {"password with a control character",
       {{"QUESTDB_USER", "coletor"},
        {"QUESTDB_PASSWORD_FILE", file("tab", "p4ss\tw0rd\n")}},
       "QUESTDB_PASSWORD_FILE=\"" + dir
           + "tab\": a primeira linha do arquivo tem caracteres de controle"},
      {"mode in capitals",
       {{"QUESTDB_TLS_CONNECT", "HTTPS"}},
       "QUESTDB_TLS_CONNECT=\"HTTPS\": esperado unencrypted ou https"},
      {"CA file without https",
       {{"QUESTDB_TLS_CA_FILE", ca}},
       "QUESTDB_TLS_CA_FILE não se aplica a QUESTDB_TLS_CONNECT=unencrypted"},
      {"CA file absent",
       {{"QUESTDB_TLS_CONNECT", "https"}, {"QUESTDB_TLS_CA_FILE", absent}},
       "QUESTDB_TLS_CA_FILE=\"" + absent + "\": não foi possível ler: <cause>"},
  };
  // What is accepted goes through a real proxy in the fault suite.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const auto access = timeseries::store_access(c.env);
      EXPECT_EQ(c.error, "") << "accepted";
    } catch (const StoreSettingsError& e) {
      EXPECT_THAT(e.what(), test_support::with_library_cause(c.error));
      EXPECT_TRUE(c.error.starts_with(e.variable()));
      EXPECT_EQ(std::string(e.what()).find("p4ss"), std::string::npos);
    }
  }
}

// The one reader of secret files for both hops: the first line, kept in the
// file's own buffer, cut to the line; the rest wiped.
TEST(SecretReader, TheFirstLineInItsOwnBuffer) {
  const test_support::ScratchDir scratch;
  const settings::Reader reader(
      {}, [](const std::string&, const std::string& message) {
        throw std::runtime_error(message);
      });
  struct Case {
    const char* name;
    std::string bytes;
    std::string secret; // empty: refused with `error`
    std::string error = {};
  };
  const std::vector<Case> cases{
      {"one line", "s3nha", "s3nha"},
      {"LF", "s3nha\n", "s3nha"},
      {"CRLF and notes", "s3nha\r\nlinha de notas\r\n", "s3nha"},
      {"64 KiB", "s3nha\n" + std::string(64 * 1024 - 6, '#'), "s3nha"},
      {"over 64 KiB", "s3nha\n" + std::string(64 * 1024 - 5, '#'), "",
       "maior que 65536 bytes"},
      {"empty first line", "\nnotas\n", "", "arquivo vazio"},
      {"NUL in the line", std::string("s3\0nha", 6), "",
       "a primeira linha do arquivo tem caracteres de controle"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratch.file("secret", c.bytes);
    if (c.secret.empty()) {
      EXPECT_THAT([&] { (void)reader.secret_line("SEGREDO", path); },
                  ::testing::ThrowsMessage<std::runtime_error>(
                      "SEGREDO=\"" + path + "\": " + c.error));
      continue;
    }
    const transport::SecretBytes secret = reader.secret_line("SEGREDO", path);
    EXPECT_EQ(secret.view(), c.secret);
    EXPECT_EQ(secret.size(), c.secret.size()); // the rest was cut and wiped
    EXPECT_EQ(secret.c_str()[secret.size()], '\0');
  }
}

} // namespace
