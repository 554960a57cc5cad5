#include "timeseries/store_settings.h"
#include "support/library_words.h"

#include <fstream>
#include <gtest/gtest.h>
#include <vector>

namespace {

using timeseries::StoreEnvironment;
using timeseries::StoreSettingsError;

TEST(StoreSettings, CombinationsThatCannotWorkAreRefusedNamingTheVariable) {
  const std::string dir = ::testing::TempDir() + "tarvo_store_";
  const auto file = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir + name, std::ios::binary) << text;
    return dir + name;
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
       "QUESTDB_USER não se aplica com QUESTDB_TOKEN_FILE: o token substitui "
       "usuário e senha"},
      {"token and password",
       {{"QUESTDB_TOKEN_FILE", token}, {"QUESTDB_PASSWORD_FILE", password}},
       "QUESTDB_PASSWORD_FILE não se aplica com QUESTDB_TOKEN_FILE: o token "
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
      {"password of two lines",
       {{"QUESTDB_USER", "coletor"},
        {"QUESTDB_PASSWORD_FILE", file("two", "p4ss:w0rd\nmais\n")}},
       "QUESTDB_PASSWORD_FILE=\"" + dir
           + "two\": o arquivo deve conter uma só linha, sem caracteres de "
             "controle"},
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

} // namespace
