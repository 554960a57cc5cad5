# shellcheck shell=bash
# pg_bin_dir: the folder of the installed PostgreSQL server's programs
# (initdb, pg_ctl, postgres, psql), as Debian lays them out:
# /usr/lib/postgresql/MAJOR/bin of the highest major with a server in it.
# Debian 12's `postgresql` brings 15, Debian 13's brings 17; pg_config
# --bindir is libpq-dev's, which may name a major whose server is not
# installed. When there is no server, prints /usr/lib/postgresql/NONE/bin,
# a path whose programs are all missing, and returns 1.
pg_bin_dir() {
  local dir found=
  # sort -V: 9 before 10 before 17, which a glob's order is not.
  while read -r dir; do
    if [ -x "$dir/postgres" ] && [ -x "$dir/initdb" ]; then
      found=$dir
    fi
  done < <(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V)
  if [ -z "$found" ]; then
    echo /usr/lib/postgresql/NONE/bin
    return 1
  fi
  echo "$found"
}
