-- Synthetic billing data for the benchmark. Load after
-- tests/fixtures/billing_schema.sql into an empty database:
--
--   psql -X -q -v ON_ERROR_STOP=1 -v n=100000 -f bench/generate_billing.sql
--
-- Produces :n overdue clients (ids 1..n) plus n/4 clients that are up to date
-- (ids n+1..), so the overdue statement also has titles to filter out.
-- Every client is a pessoa with an accented name and a CPF, 1-3 contacts,
-- 1-2 contracts on 50 POPs spread over 30 cities, and an address with a
-- bairro. Overdue clients have 1-4 overdue titles (status 1, past due dates);
-- every client has some paid titles and 0-2 open titles (due today or later).
-- Everything is derived from the row number, so a given n always gives the
-- same data (only the due dates move with CURRENT_DATE).

\set ON_ERROR_STOP 1
SELECT :n AS n, :n + :n / 4 AS total \gset

BEGIN;

-- 30 cities; admcore_cidade.codigo is text, admcore_pop.codigo the same
-- number as integer.
INSERT INTO admcore_cidade (id, cidade, codigo)
SELECT c.ord, c.nome, (3500000 + c.ord)::text
FROM unnest(ARRAY[
    'São Paulo', 'Campinas', 'Ribeirão Preto', 'São José dos Campos', 'Santos',
    'Jundiaí', 'Piracicaba', 'Bauru', 'São Carlos', 'Marília',
    'Araçatuba', 'Presidente Prudente', 'Taubaté', 'Guaratinguetá', 'Itapetininga',
    'Botucatu', 'Limeira', 'Araraquara', 'Franca', 'São João da Boa Vista',
    'Mogi das Cruzes', 'Sorocaba', 'Itu', 'Jaú', 'Ourinhos',
    'Assis', 'Birigüi', 'Lençóis Paulista', 'Conchal', 'Santa Bárbara d''Oeste'
]) WITH ORDINALITY AS c(nome, ord);

-- 50 POPs: the first 30 one per city, the next 20 a second POP in the larger
-- cities.
INSERT INTO admcore_pop (id, cidade, codigo)
SELECT p, c.cidade || CASE WHEN p <= 30 THEN ' - Centro' ELSE ' - Zona Norte' END,
       3500000 + c.id
FROM generate_series(1, 50) AS p
JOIN admcore_cidade c ON c.id = ((p - 1) % 30) + 1;

INSERT INTO admcore_pessoa (id, nome, cpfcnpj)
SELECT i,
       (ARRAY['João', 'José', 'Maria', 'Antônio', 'Conceição', 'Luís', 'Sebastião',
              'Márcia', 'Fábio', 'Tânia', 'Inês', 'Vitória', 'Júlia', 'Cláudio',
              'Lúcia', 'Raí', 'Estêvão', 'Mônica', 'André', 'Cecília'])[1 + (i * 7) % 20]
       || ' ' ||
       (ARRAY['da Silva', 'dos Santos', 'de Souza', 'Gonçalves', 'Simões', 'Araújo',
              'Magalhães', 'de Sá', 'Brandão', 'Guimarães', 'Assunção', 'Conceição',
              'Fernandes', 'Ribeiro', 'Lopes', 'Damião', 'Falcão', 'Peçanha',
              'Nóbrega', 'Quintão', 'Antunes', 'Romão', 'Bragança'])[1 + (i * 11) % 23]
       || CASE WHEN i % 5 = 0 THEN ' ' || (ARRAY['Júnior', 'Filho', 'Neto'])[1 + i % 3]
               ELSE '' END,
       CASE WHEN i % 17 = 0
            -- a few companies with a CNPJ
            THEN lpad(((i::bigint * 7919) % 100)::text, 2, '0') || '.'
                 || lpad(((i::bigint * 104729) % 1000)::text, 3, '0') || '.'
                 || lpad(((i * 31) % 1000)::text, 3, '0') || '/0001-'
                 || lpad((i % 100)::text, 2, '0')
            ELSE lpad(((i::bigint * 7919) % 1000)::text, 3, '0') || '.'
                 || lpad(((i::bigint * 104729) % 1000)::text, 3, '0') || '.'
                 || lpad((i % 1000)::text, 3, '0') || '-'
                 || lpad(((i * 13) % 100)::text, 2, '0')
       END
FROM generate_series(1, :total) AS i;

INSERT INTO admcore_endereco (id, bairro)
SELECT i,
       (ARRAY['Centro', 'Jardim Ângela', 'Vila São José', 'Jardim América', 'Bela Vista',
              'Vila Operária', 'Parque Industrial', 'São Judas', 'Jardim Paulistano',
              'Vila Nova', 'Santa Cecília', 'Cidade Jardim', 'Jardim Primavera',
              'Vila Conceição', 'Alto da Boa Vista', 'Jardim Itália', 'Parque São Jorge',
              'Vila Esperança', 'Jardim Glória', 'Boa Esperança', 'Jardim Brasília',
              'Vila Mariana', 'Campo Belo', 'Jardim Botânico', 'Vila Júlia',
              'Nossa Senhora Aparecida', 'Jardim Três Marias', 'Vila Independência',
              'Jardim São Luís', 'Chácara Flora', 'Jardim Europa', 'Vila Guilherme',
              'Santo Amaro', 'Jardim Paraíso', 'Vila Cristóvão', 'Jardim Morumbi',
              'Residencial Ipê', 'Jardim Ipanema', 'Vila Rica', 'Jardim Araçá'])[1 + (i * 13) % 40]
FROM generate_series(1, :total) AS i;

INSERT INTO admcore_cliente (id, pessoa_id, endereco_id)
SELECT i, i, i FROM generate_series(1, :total) AS i;

-- Contacts: 1-3 per client, ids (i-1)*3 + j.
CREATE TEMP TABLE bench_contato AS
SELECT i, j, (i - 1) * 3 + j AS id
FROM generate_series(1, :total) AS i
CROSS JOIN LATERAL generate_series(1, 1 + (i * 7) % 3) AS j;

INSERT INTO admcore_contato (id, contato)
SELECT id,
       CASE j
         WHEN 1 THEN '(' || (11 + i % 8) || ') 9' || lpad(((i::bigint * 7919) % 10000)::text, 4, '0')
                     || '-' || lpad((i % 10000)::text, 4, '0')
         WHEN 2 THEN 'cliente' || i || '@exemplo.com.br'
         ELSE '(' || (11 + i % 8) || ') 3' || lpad(((i * 31) % 1000)::text, 3, '0')
              || '-' || lpad(((i * 17) % 10000)::text, 4, '0')
       END
FROM bench_contato;

INSERT INTO admcore_clientecontato (id, cliente_id, contato_id)
SELECT id, i, id FROM bench_contato;

-- Contracts: 1-2 per client (one client in five has two), ids (i-1)*2 + j,
-- each with its own charge.
CREATE TEMP TABLE bench_contrato AS
SELECT i, j, (i - 1) * 2 + j AS id
FROM generate_series(1, :total) AS i
CROSS JOIN LATERAL generate_series(1, CASE WHEN i % 5 = 3 THEN 2 ELSE 1 END) AS j;

INSERT INTO financeiro_cobranca (id)
SELECT id FROM bench_contrato;

INSERT INTO admcore_clientecontrato (id, cliente_id, pop_id, cobranca_id, data_cadastro)
SELECT id, i, 1 + (i * 31 + j * 17) % 50, id,
       timestamp '2015-01-01 08:00:00'
         + ((i::bigint * 7919 + j * 101) % 3300) * interval '1 day'
         + ((i::bigint * 104729) % 36000) * interval '1 second'
FROM bench_contrato;

-- Titles, ids (i-1)*10 + k:
--   k 1..4  overdue (status 1, 1..720 days past due), overdue clients only
--   k 5..7  paid (status 2, past due)
--   k 8..9  open (status 1 or 4, due today or later)
INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, status, data_vencimento, data_documento)
SELECT (i - 1)::bigint * 10 + k, i, (i - 1) * 2 + 1,
       (49.90 + ((i * 7 + k * 13) % 200))::numeric(12,2),
       1,
       CURRENT_DATE - (1 + (i * 37 + k * 29) % 720),
       (CURRENT_DATE - (1 + (i * 37 + k * 29) % 720) - 30) + time '09:00'
FROM generate_series(1, :n) AS i
CROSS JOIN LATERAL generate_series(1, 1 + (i * 13) % 4) AS k;

INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, status, data_vencimento, data_documento)
SELECT (i - 1)::bigint * 10 + k, i, (i - 1) * 2 + 1,
       (49.90 + ((i * 7 + k * 13) % 200))::numeric(12,2),
       2,
       CURRENT_DATE - (30 * (k - 4) + 730 + i % 30),
       (CURRENT_DATE - (30 * (k - 4) + 730 + i % 30) - 30) + time '09:00'
FROM generate_series(1, :total) AS i
CROSS JOIN generate_series(5, 7) AS k;

INSERT INTO financeiro_titulo (id, cliente_id, cobranca_id, valor, status, data_vencimento, data_documento)
SELECT (i - 1)::bigint * 10 + k, i, (i - 1) * 2 + 1,
       (49.90 + ((i * 7 + k * 13) % 200))::numeric(12,2),
       CASE WHEN i % 9 = 0 THEN 4 ELSE 1 END,
       CURRENT_DATE + 30 * (k - 8) + i % 28,
       (CURRENT_DATE + 30 * (k - 8) + i % 28 - 30) + time '09:00'
FROM generate_series(1, :total) AS i
CROSS JOIN LATERAL generate_series(8, 7 + i % 3) AS k;

-- Foreign-key indexes as the billing system's own database has them.
CREATE INDEX ON admcore_cliente (pessoa_id);
CREATE INDEX ON admcore_cliente (endereco_id);
CREATE INDEX ON admcore_clientecontato (cliente_id);
CREATE INDEX ON admcore_clientecontato (contato_id);
CREATE INDEX ON admcore_clientecontrato (cliente_id);
CREATE INDEX ON admcore_clientecontrato (pop_id);
CREATE INDEX ON admcore_clientecontrato (cobranca_id);
CREATE INDEX ON financeiro_titulo (cliente_id);
CREATE INDEX ON financeiro_titulo (cobranca_id);

COMMIT;
