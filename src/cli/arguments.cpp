#include "cli/arguments.h"

namespace cli {

std::optional<Invocation> read_arguments(std::span<const std::string> args) {
  Invocation inv;
  if (args.size() == 1) {
    inv.settings.mode = args[0];
    inv.short_form = true;
    return inv;
  }
  if (args.size() != 11) {
    return std::nullopt;
  }
  auto& s = inv.settings;
  s.mode = args[0];
  s.host = args[1];
  s.db_ip = args[2];
  s.db_port = args[3];
  s.db_name = args[4];
  s.db_user = args[5];
  s.db_password = args[6];
  s.pop_id = args[7];
  s.quest_db_ip = args[8];
  s.quest_db_port = args[9];
  s.zabbix_host = args[10];
  return inv;
}

void hide_password_argument(int argc, char** argv) {
  // The program's name, then the eleven settings; DB_PASSWORD is the 7th.
  constexpr int k_full_count = 12;
  constexpr int k_password_at = 7;
  if (argc != k_full_count) {
    return;
  }
  // Not NULs: the kernel shows the argument area as it is, so each NUL would
  // read as one more, empty, argument.
  for (char* c = argv[k_password_at]; *c != '\0'; ++c) {
    *c = 'x';
  }
}

std::string count_error_line(std::size_t count) {
  return "Falha na execução: parâmetros incorretos. São esperados 11 "
         "parâmetros e foram recebidos "
         + std::to_string(count) + " parâmetros.\n";
}

std::string usage_text(const std::string& program) {
  return "Uso: " + program
         + " version\n"
           "     "
         + program
         + " MODO HOST DB_IP DB_PORT DB_NAME DB_USER DB_PASSWORD POP_ID "
           "QUEST_DB_IP"
           " QUEST_DB_PORT ZABBIX_HOST\n"
           "Modos: version, discovery_clientes, ou qualquer modo que contenha "
           "\"launch_\".\n"
           "Com ZABBIX_HOST igual a debug, o relatório é impresso e nada é "
           "publicado.\n"
           "O servidor Zabbix vem da variável de ambiente ZABBIX_SERVER (host "
           "ou host:porta,\n"
           "IPv6 entre colchetes; porta 10051 quando omitida); os nós de um "
           "cluster se\n"
           "separam por ';', na ordem em que são tentados. Opcionais: "
           "ZABBIX_BATCH_SIZE\n"
           "(valores por pedido, 1 a 10000) e, para TLS, ZABBIX_TLS_CONNECT "
           "(unencrypted, psk\n"
           "ou cert) com ZABBIX_TLS_PSK_IDENTITY, ZABBIX_TLS_PSK_FILE ou "
           "ZABBIX_TLS_CA_FILE,\n"
           "ZABBIX_TLS_CERT_FILE, ZABBIX_TLS_KEY_FILE, ZABBIX_TLS_CRL_FILE,\n"
           "ZABBIX_TLS_SERVER_CERT_ISSUER, ZABBIX_TLS_SERVER_CERT_SUBJECT.\n"
           "Para o QuestDB: QUESTDB_USER com QUESTDB_PASSWORD_FILE, ou "
           "QUESTDB_TOKEN_FILE, e\n"
           "QUESTDB_TLS_CONNECT (unencrypted ou https) com "
           "QUESTDB_TLS_CA_FILE.\n"
           "Referência completa: man tarvo_clientes_db.\n";
}

} // namespace cli
