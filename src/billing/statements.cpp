#include "billing/statements.h"

namespace billing {

// The texts belong to the billing system's schema and reach the server byte
// for byte, blanks and line breaks included, so that statement logs and
// plan caches on the billing side see the same text on every run.
const std::string_view OVERDUE_CLIENTS_SQL =
    "\n"
    "    SELECT\n"
    "        financeiro_titulo.cliente_id AS idCliente,\n"
    "        admcore_pessoa.nome AS razaoSocial,\n"
    "        admcore_pessoa.cpfcnpj AS cpjCnpj,\n"
    "        financeiro_titulo.titulos_aberto AS titulosAtraso,\n"
    "        financeiro_titulo.valor_aberto AS valorAtraso,\n"
    "        STRING_AGG(DISTINCT admcore_contato.contato, ' | ' ORDER BY "
    "admcore_contato.contato) AS contatoCliente,\n"
    "        financeiro_titulo.primeiro_vencimento,\n"
    "        (CURRENT_DATE - financeiro_titulo.primeiro_vencimento) AS "
    "dias_em_atraso,\n"
    "        STRING_AGG(DISTINCT admcore_cidade.cidade, ' | ' ORDER BY "
    "admcore_cidade.cidade) AS cidadeContrato,\n"
    "        MAX(admcore_pop.cidade) AS pop,\n"
    "        MAX(admcore_endereco.bairro) AS bairro,\n"
    "        CAST(MIN(admcore_clientecontrato.data_cadastro) AS timestamp) AS "
    "dataCadastro,\n"
    "        CAST(MIN(financeiro_titulo.data_documento) AS timestamp) AS "
    "dataCriacaoTitulo\n"
    "    FROM (\n"
    "        SELECT\n"
    "            cliente_id,\n"
    "            COUNT(valor) AS titulos_aberto,\n"
    "            CAST(SUM(valor) AS FLOAT) AS valor_aberto,\n"
    "            MIN(data_vencimento) AS primeiro_vencimento,\n"
    "            MIN(data_documento) AS data_documento\n"
    "        FROM\n"
    "            financeiro_titulo\n"
    "        WHERE\n"
    "            status = 1 AND\n"
    "            data_vencimento < CURRENT_DATE\n"
    "        GROUP BY\n"
    "            cliente_id\n"
    "    ) financeiro_titulo\n"
    "    LEFT OUTER JOIN \n"
    "        admcore_cliente ON financeiro_titulo.cliente_id = "
    "admcore_cliente.id\n"
    "    LEFT OUTER JOIN \n"
    "        admcore_pessoa ON admcore_cliente.pessoa_id = admcore_pessoa.id\n"
    "    LEFT OUTER JOIN \n"
    "        admcore_clientecontato ON admcore_cliente.id = "
    "admcore_clientecontato.cliente_id \n"
    "    LEFT OUTER JOIN \n"
    "        admcore_contato ON admcore_clientecontato.contato_id = "
    "admcore_contato.id\n"
    "    LEFT OUTER JOIN \n"
    "        admcore_clientecontrato ON admcore_cliente.id = "
    "admcore_clientecontrato.cliente_id\n"
    "    LEFT JOIN \n"
    "        admcore_pop ON admcore_clientecontrato.pop_id = admcore_pop.id\n"
    "    LEFT JOIN \n"
    "        admcore_cidade ON admcore_pop.codigo::text = "
    "admcore_cidade.codigo\n"
    "    LEFT JOIN \n"
    "        admcore_endereco ON admcore_endereco.id = "
    "admcore_cliente.endereco_id\n"
    "    GROUP BY\n"
    "        financeiro_titulo.cliente_id,\n"
    "        admcore_pessoa.nome,\n"
    "        admcore_pessoa.cpfcnpj,\n"
    "        financeiro_titulo.titulos_aberto,\n"
    "        financeiro_titulo.valor_aberto,\n"
    "        financeiro_titulo.primeiro_vencimento\n"
    "    ";

namespace {

// The open-titles statement as the billing side knows it, up to the opening
// of its LIKE pattern; the POP filter is bound as $1 in its place.
const std::string_view OPEN_TITLES_HEAD_SQL =
    "\n"
    "    SELECT\n"
    "        COUNT(valor) AS titulos_aberto,\n"
    "        CAST(SUM(valor) AS FLOAT) AS valor_aberto\n"
    "    FROM\n"
    "        financeiro_titulo\n"
    "    LEFT JOIN \n"
    "        financeiro_cobranca on financeiro_titulo.cobranca_id = "
    "financeiro_cobranca.id\n"
    "    LEFT JOIN \n"
    "        admcore_clientecontrato on financeiro_cobranca.id = "
    "admcore_clientecontrato.cobranca_id\n"
    "    WHERE\n"
    "        (financeiro_titulo.status = 1 OR financeiro_titulo.status = 4) "
    "and\n"
    "        financeiro_titulo.data_vencimento >= CURRENT_DATE and\n"
    "        admcore_clientecontrato.pop_id::text LIKE '%";

} // namespace

std::string open_titles_sql() {
  // Drop the pattern's opening quote and percent sign: the pattern arrives
  // whole as the parameter, so a quote in pop_id is just a character.
  std::string sql(
      OPEN_TITLES_HEAD_SQL.substr(0, OPEN_TITLES_HEAD_SQL.size() - 2));
  sql += "$1\n        ";
  return sql;
}

std::string open_titles_pattern(std::string_view pop_id) {
  std::string pattern = "%";
  pattern += pop_id;
  pattern += "%";
  return pattern;
}

} // namespace billing
