# Throwaway PostgreSQL cluster shared by the tests that need the billing
# database. Tests that use it set FIXTURES_REQUIRED pg and read the
# connection settings from ${TARVO_PG_ENV} (lines KEY=VALUE: PGHOST, PGPORT,
# PGDATABASE, PGUSER, PGPASSWORD, PGDATA, PGLOG).

set(TARVO_PG_DIR "${CMAKE_BINARY_DIR}/test-pg")
set(TARVO_PG_ENV "${TARVO_PG_DIR}/conn.env")

add_test(NAME pg_start
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/pg_cluster" start "${TARVO_PG_DIR}"
          "${PROJECT_SOURCE_DIR}/tests/fixtures/billing_schema.sql"
          "${PROJECT_SOURCE_DIR}/tests/fixtures/test_billing.sql")
set_tests_properties(pg_start PROPERTIES
  FIXTURES_SETUP pg
  SKIP_RETURN_CODE 77
  TIMEOUT 180
  RESOURCE_LOCK tarvo_pg)

add_test(NAME pg_stop
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/pg_cluster" stop "${TARVO_PG_DIR}")
set_tests_properties(pg_stop PROPERTIES
  FIXTURES_CLEANUP pg
  TIMEOUT 120
  RESOURCE_LOCK tarvo_pg)

# tarvo_use_pg(TEST...): the tests need the cluster; they get its conn.env
# path in the environment variable TARVO_PG_ENV. When pg_start is skipped
# (no server binaries) CTest still runs them, so they should skip themselves
# when that file does not exist.
function(tarvo_use_pg)
  set_property(TEST ${ARGN} APPEND PROPERTY FIXTURES_REQUIRED pg)
  set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT "TARVO_PG_ENV=${TARVO_PG_ENV}")
endfunction()
