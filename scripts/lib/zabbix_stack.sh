# shellcheck shell=bash
# A throwaway Zabbix stack on loopback addresses, Debian's 6.0 or the 7.0 of
# scripts/zabbix70 (zs_use_zabbix70), shared by the end-to-end test
# (tests/ops/zabbix_e2e), `scripts/demo zabbix [7.0]`, bench/proxy_group and,
# through the test, scripts/screenshots:
#
#   - the server's database, made in a PostgreSQL cluster of scripts/pg_cluster;
#   - one zabbix_server, or several with node names: a high-availability
#     cluster on one database, each node with its own port and directory;
#   - on 7.0, active proxies (SQLite) in a proxy group, each with its own
#     port and directory;
#   - the PHP front end served by `php -S`, its API logged in as Admin;
#   - a stand-in of the time-series store that keeps every row body and
#     every SQL statement it is sent.
#
# Source it and call zs_begin NAME first. Every process is started in a
# session of its own and recorded by PID; zs_begin makes zs_cleanup the EXIT
# trap (INT and TERM exit through it), which undoes everything in the
# reverse order it was done: processes stopped by PID (TERM, then KILL of
# their session after 10 s), the database dropped, the working directory
# ($ZS_TMP) removed unless ZS_KEEP=1.
#
# Settings, read when used: ZS_LISTEN_IP (127.20.0.1), ZS_DEADLINE (a value
# of $SECONDS after which every wait fails), ZS_SERVER_NAME (the name the
# front end shows, "tarvo NAME"), ZBX_SERVER_BIN, ZBX_FRONTEND, ZBX_SQL,
# ZBX_SENDER, ZBX_PROXY_BIN (set by zs_use_zabbix70), PG_BIN, ZS_SERVER_CONF
# and ZS_PROXY_CONF (lines added to every server's or proxy's configuration).

ZBX_SERVER_BIN=${ZBX_SERVER_BIN:-/usr/sbin/zabbix_server}
ZBX_FRONTEND=${ZBX_FRONTEND:-/usr/share/zabbix}
ZBX_SQL=${ZBX_SQL:-/usr/share/zabbix-server-pgsql}
ZBX_SENDER=${ZBX_SENDER:-zabbix_sender}
ZBX_PROXY_BIN=${ZBX_PROXY_BIN:-}
ZS_LISTEN_IP=${ZS_LISTEN_IP:-127.20.0.1}

ZS_NAME=zabbix_stack
ZS_STARTED=$SECONDS
ZS_TMP=
ZS_OK=0
ZS_UNDO=()
declare -gA ZS_LIVE=()
declare -gA ZS_NODE_PID=() ZS_NODE_PORT=() ZS_NODE_DIR=()
ZS_NODES=()
ZS_API_VERSION=
# Proxies share the nodes' tables of PIDs, ports and folders (a proxy's name
# is never a node's), so that a barrier or a sender can aim at either.
declare -gA ZS_PROXY_ID=()
ZS_PROXIES=()
ZS_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=pg_bin.sh source-path=SCRIPTDIR
source "$ZS_LIB_DIR/pg_bin.sh"
PG_BIN=${PG_BIN:-$(pg_bin_dir)} || true

zs_note() { printf '%s: [%3ds] %s\n' "$ZS_NAME" $((SECONDS - ZS_STARTED)) "$*"; }
zs_fail() {
  echo "$ZS_NAME: FAILED: $*" >&2
  exit 1
}

# zs_missing: what the stack needs and this machine lacks, one reason, and
# status 1; status 0 when everything is there.
zs_missing() {
  local f c php_modules
  if [ -n "$ZBX_PROXY_BIN" ]; then
    [ -x "$ZBX_PROXY_BIN" ] || { echo "$ZBX_PROXY_BIN missing (scripts/zabbix70)"; return 1; }
  fi
  [ -x "$ZBX_SERVER_BIN" ] || { echo "$ZBX_SERVER_BIN not installed (zabbix-server-pgsql)"; return 1; }
  [ -f "$ZBX_FRONTEND/api_jsonrpc.php" ] || { echo "front end not installed in $ZBX_FRONTEND (zabbix-frontend-php)"; return 1; }
  [ -f "$ZBX_FRONTEND/include/classes/core/CConfigFile.php" ] || { echo "unexpected front end layout in $ZBX_FRONTEND"; return 1; }
  for f in schema images data; do
    [ -r "$ZBX_SQL/$f.sql.gz" ] || { echo "$ZBX_SQL/$f.sql.gz missing (zabbix-server-pgsql)"; return 1; }
  done
  for c in php jq curl setsid "$ZBX_SENDER" "$PG_BIN/psql"; do
    command -v "$c" >/dev/null 2>&1 || { echo "$c not installed"; return 1; }
  done
  # Not piped into grep -q: under pipefail, php's SIGPIPE would count as failure.
  php_modules=$(php -m 2>/dev/null) || true
  grep -qx pgsql <<<"$php_modules" || { echo "PHP has no pgsql extension (php-pgsql)"; return 1; }
}

# zs_use_zabbix70: the stack runs Zabbix 7.0 (server, front end, proxy and
# sender) as unpacked by scripts/zabbix70: on Debian 12 all of it, beside
# Debian's 6.0; on Debian 13, whose own Zabbix is 7.0, the proxy alone (it
# conflicts with the installed server), with the release's server, front end
# and sender. Status 1 and the reason in ZS_WHY when it was not fetched. Not
# in a subshell: it sets the stack's settings.
zs_use_zabbix70() {
  local dir version
  dir=$("$ZS_LIB_DIR/../zabbix70" dir 2>/dev/null) \
    || { ZS_WHY="Zabbix 7.0 not fetched (scripts/zabbix70 fetch, or scripts/install_deps)"; return 1; }
  ZBX_PROXY_BIN=$dir/root/usr/sbin/zabbix_proxy
  version=$(dpkg-query -W -f='${Version}' zabbix-server-pgsql 2>/dev/null) || true
  if [[ $version =~ ^([0-9]+:)?7\.0\. ]]; then
    ZBX_SENDER=/usr/bin/zabbix_sender
    return 0
  fi
  ZBX_SERVER_BIN=$dir/root/usr/sbin/zabbix_server
  ZBX_PROXY_BIN=$dir/root/usr/sbin/zabbix_proxy
  ZBX_FRONTEND=$dir/root/usr/share/zabbix
  ZBX_SQL=$dir/root/usr/share/zabbix-server-pgsql
  ZBX_SENDER=$dir/root/usr/bin/zabbix_sender
}

# --- Start and undo ----------------------------------------------------------------

# zs_begin NAME: the messages' prefix, a working directory, the traps.
zs_begin() {
  ZS_NAME=$1
  ZS_STARTED=$SECONDS
  ZS_TMP=$(mktemp -d "/tmp/tarvo-$1.XXXXXX")
  trap zs_cleanup EXIT
  trap 'exit 130' INT TERM
}

# zs_on_exit COMMAND [ARG...]: run at clean-up, before what was done earlier.
zs_on_exit() {
  ZS_UNDO+=("$(printf '%q ' "$@")")
}

# zs_spawn LOG COMMAND [ARG...]: starts COMMAND in a session of its own, its
# output appended to LOG, and records it; its PID in ZS_PID. A session of its
# own: Ctrl-C on the terminal reaches only the script, which stops everything
# in order, and the server's children can be found again after it is gone.
zs_spawn() {
  local log=$1
  shift
  setsid "$@" >>"$log" 2>&1 &
  ZS_PID=$!
  zs_track "$ZS_PID"
}

# zs_track PID: a child started otherwise, stopped at clean-up unless
# zs_forget PID said that it was waited for.
zs_track() {
  ZS_LIVE[$1]=1
  zs_on_exit zs_stop_pid "$1"
}
zs_forget() { unset "ZS_LIVE[$1]"; }

# zs_stop_pid PID: TERM (unless zs_cleanup sent it already), up to 10 s to
# exit, then KILL to whatever is left of its session; a PID already stopped
# is left alone.
zs_stop_pid() {
  local pid=$1 i
  [ -n "${ZS_LIVE[$pid]:-}" ] || return 0
  [ "${ZS_LIVE[$pid]}" = termed ] || kill -TERM "$pid" 2>/dev/null || true
  unset "ZS_LIVE[$pid]"
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# zs_failure_report: the last lines of each server's log and the front end's
# errors, printed by zs_cleanup unless ZS_OK=1.
zs_failure_report() {
  local node log
  for node in "${ZS_NODES[@]}" "${ZS_PROXIES[@]}"; do
    for log in "${ZS_NODE_DIR[$node]}"/zabbix_{server,proxy}.log; do
      if [ -s "$log" ]; then
        echo "---- last lines of $log"
        tail -n 40 "$log"
      fi
    done
  done
  # Without the access log lines of the PHP server: errors only.
  local access=(-e ' Accepted$' -e ' Closing$' -e '\]: POST ' -e '\]: GET ' -e 'Development Server')
  if grep -qv "${access[@]}" "$ZS_TMP/php.log" 2>/dev/null; then
    echo "---- $ZS_TMP/php.log"
    grep -v "${access[@]}" "$ZS_TMP/php.log" | tail -n 40
  fi
}

zs_cleanup() {
  local status=$? i pid
  trap - EXIT INT TERM
  # Not after Ctrl-C (130): nothing failed.
  if [ "$ZS_OK" -ne 1 ] && [ "$status" -ne 130 ] && [ -n "$ZS_TMP" ]; then
    zs_failure_report
  fi
  # Every process is told at once and they stop side by side; the undoing
  # below then waits for each in turn, so a database is dropped only once
  # the servers that use it are gone.
  for pid in "${!ZS_LIVE[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    ZS_LIVE[$pid]=termed
  done
  for ((i = ${#ZS_UNDO[@]} - 1; i >= 0; i--)); do
    eval "${ZS_UNDO[$i]}" || true
  done
  if [ -n "$ZS_TMP" ]; then
    if [ "${ZS_KEEP:-0}" = 1 ]; then
      echo "$ZS_NAME: kept $ZS_TMP"
    else
      rm -rf -- "$ZS_TMP"
    fi
  fi
  exit "$status"
}

# zs_wait_for WHAT SECONDS COMMAND...: runs COMMAND every half second until it
# succeeds; fails after SECONDS or at ZS_DEADLINE. COMMAND may describe what
# it last saw in SEEN, for the failure message.
SEEN=
zs_wait_for() {
  local what=$1 limit=$2
  shift 2
  local until=$((SECONDS + limit))
  if [ -n "${ZS_DEADLINE:-}" ] && [ "$until" -gt "$ZS_DEADLINE" ]; then
    until=$ZS_DEADLINE
  fi
  SEEN=
  while ! "$@"; do
    if [ "$SECONDS" -ge "$until" ]; then
      zs_fail "timed out after ${limit}s waiting for $what${SEEN:+ (last seen: $SEEN)}"
    fi
    sleep 0.5
  done
}

# zs_free_port: a port that nothing uses on ZS_LISTEN_IP, below 32768:
# zabbix_server takes a ListenPort from 1024 to 32767 only.
zs_free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 12768))
    if command -v python3 >/dev/null 2>&1; then
      python3 -c 'import socket, sys
s = socket.socket()
s.bind((sys.argv[1], int(sys.argv[2])))' "$ZS_LISTEN_IP" "$port" 2>/dev/null || continue
    elif zs_port_open "$ZS_LISTEN_IP" "$port"; then
      continue
    fi
    echo "$port"
    return 0
  done
  return 1
}

# zs_port_open IP PORT: whether something accepts connections there.
zs_port_open() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

# --- The server's database ----------------------------------------------------------

# zs_use_pg CONN_ENV: the cluster of scripts/pg_cluster that holds the server's
# database (ZS_PGHOST, ZS_PGPORT, ZS_PGUSER, ZS_PGPASSWORD, ZS_PGDATABASE).
zs_use_pg() {
  local key
  for key in PGHOST PGPORT PGUSER PGPASSWORD PGDATABASE; do
    printf -v "ZS_$key" '%s' "$(awk -v key="$key" 'index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }' "$1")"
  done
}

# zs_sql DB [PSQL_ARG...]: psql on a database of that cluster, unaligned.
zs_sql() {
  local db=$1
  shift
  PGPASSWORD=$ZS_PGPASSWORD "$PG_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 \
    -h "$ZS_PGHOST" -p "$ZS_PGPORT" -U "$ZS_PGUSER" -d "$db" "$@"
}

# zs_db_create [kept]: a database of its own (ZS_DB) with Zabbix's schema and
# data, dropped at clean-up unless kept (when the whole cluster is thrown
# away after it); ZS_T_SCHEMA is how long the load took.
zs_db_create() {
  ZS_DB=tarvo_zbx_${ZS_NAME//[^a-z0-9]/_}_$$
  zs_note "creating database $ZS_DB and loading the Zabbix schema"
  zs_sql "$ZS_PGDATABASE" -c "CREATE DATABASE $ZS_DB ENCODING 'UTF8' TEMPLATE template0" >/dev/null
  [ "${1:-}" = kept ] || zs_on_exit zs_db_drop
  # Each file goes as one multi-statement query: psql would send data.sql's
  # 170 000 statements one by one, each one logged by a cluster that logs
  # every statement (scripts/pg_cluster's), which takes several times longer.
  cat >"$ZS_TMP/load_sql.php" <<'PHP'
<?php
[$self, $host, $port, $db, $user, $password] = array_slice($argv, 0, 6);
$quote = fn($v) => "'" . addcslashes($v, "'\\") . "'";
$conn = pg_connect("host={$quote($host)} port={$quote($port)} dbname={$quote($db)} "
                   . "user={$quote($user)} password={$quote($password)}");
if ($conn === false) {
    fwrite(STDERR, "cannot connect to $db\n");
    exit(1);
}
foreach (array_slice($argv, 6) as $file) {
    if (@pg_query($conn, gzdecode(file_get_contents($file))) === false) {
        fwrite(STDERR, "$file: " . pg_last_error($conn) . "\n");
        exit(1);
    }
}
PHP
  local t0=$SECONDS
  php "$ZS_TMP/load_sql.php" "$ZS_PGHOST" "$ZS_PGPORT" "$ZS_DB" "$ZS_PGUSER" "$ZS_PGPASSWORD" \
    "$ZBX_SQL/schema.sql.gz" "$ZBX_SQL/images.sql.gz" "$ZBX_SQL/data.sql.gz" \
    || zs_fail "loading the Zabbix schema failed"
  ZS_T_SCHEMA=$((SECONDS - t0))
  zs_note "schema loaded in ${ZS_T_SCHEMA}s"
}

zs_db_drop() {
  zs_sql "$ZS_PGDATABASE" -c "DROP DATABASE IF EXISTS $ZS_DB WITH (FORCE)" >/dev/null 2>&1 || true
}

# --- Servers ------------------------------------------------------------------------

# zs_server_start NODE [HA]: a zabbix_server on ZS_DB, its trapper on a free
# port of ZS_LISTEN_IP (ZS_NODE_PORT[NODE]), its configuration, log, PID file
# and sockets in ZS_NODE_DIR[NODE]; ZS_SERVER_CONF is added to its
# configuration. With HA, a node of a high-availability cluster named NODE:
# the first node started becomes the active one; a node started while another
# is active stands by and does not listen at all. Returns at once: see
# zs_server_wait.
zs_server_start() {
  local node=$1 ha=${2:-} dir=$ZS_TMP/$1 port
  port=$(zs_free_port) || zs_fail "no free port on $ZS_LISTEN_IP"
  mkdir -p "$dir"
  {
    cat <<CONF
ListenIP=$ZS_LISTEN_IP
ListenPort=$port
LogType=file
LogFile=$dir/zabbix_server.log
LogFileSize=0
PidFile=$dir/zabbix_server.pid
SocketDir=$dir
DBHost=$ZS_PGHOST
DBPort=$ZS_PGPORT
DBName=$ZS_DB
DBUser=$ZS_PGUSER
DBPassword=$ZS_PGPASSWORD
AllowUnsupportedDBVersions=1
CacheUpdateFrequency=1
HousekeepingFrequency=0
StartPollers=1
StartPollersUnreachable=1
StartPreprocessors=2
StartTrappers=2
StartPingers=0
StartDiscoverers=0
StartHTTPPollers=0
StartTimers=1
StartEscalators=1
StartAlerters=1
StartDBSyncers=1
StartLLDProcessors=1
StartReportWriters=0
Timeout=4
CONF
    if [ -n "$ha" ]; then
      printf 'HANodeName=%s\nNodeAddress=%s:%s\n' "$node" "$ZS_LISTEN_IP" "$port"
    fi
    if [ "$(id -u)" -eq 0 ]; then
      echo "AllowRoot=1"
    fi
    [ -z "${ZS_SERVER_CONF:-}" ] || printf '%s\n' "$ZS_SERVER_CONF"
  } >"$dir/zabbix_server.conf"
  zs_note "starting zabbix_server $node${ha:+ (high-availability node)}, trapper $ZS_LISTEN_IP:$port"
  zs_spawn "$dir/zabbix_server.out" "$ZBX_SERVER_BIN" -f -c "$dir/zabbix_server.conf"
  ZS_NODES+=("$node")
  ZS_NODE_PID[$node]=$ZS_PID
  ZS_NODE_PORT[$node]=$port
  ZS_NODE_DIR[$node]=$dir
}

# zs_server_listens NODE: the node runs and takes connections on its trapper.
zs_server_listens() {
  kill -0 "${ZS_NODE_PID[$1]}" 2>/dev/null \
    || zs_fail "zabbix_server $1 exited: $(cat "${ZS_NODE_DIR[$1]}/zabbix_server.out")"
  zs_port_open "$ZS_LISTEN_IP" "${ZS_NODE_PORT[$1]}"
}

# zs_server_wait NODE: until the node takes values (an active node).
zs_server_wait() { zs_wait_for "zabbix_server $1's trapper port" 30 zs_server_listens "$1"; }

# zs_server_stop NODE: SIGTERM, as an administrator stops a node.
zs_server_stop() { zs_stop_pid "${ZS_NODE_PID[$1]}"; }

# zs_ha_status NODE: the node's state in the cluster's table (active,
# standby, stopped, unavailable), empty before it registered.
zs_ha_status() {
  zs_sql "$ZS_DB" -v node="$1" <<'SQL'
SELECT CASE status WHEN 0 THEN 'standby' WHEN 1 THEN 'stopped' WHEN 2 THEN 'unavailable'
                   WHEN 3 THEN 'active' ELSE status::text END
FROM ha_node WHERE name = :'node'
SQL
}

# zs_ha_is NODE STATE: the node is in STATE; what it is in SEEN.
zs_ha_is() {
  SEEN="$1 is $(zs_ha_status "$1")"
  [ "$SEEN" = "$1 is $2" ]
}

# --- Proxies and proxy groups (7.0) -------------------------------------------------

# zs_proxy_start NAME [SERVER_NODE]: an active zabbix_proxy (SQLite) called
# NAME, reporting to the server node (the first one started by default), its
# trapper on a free port of ZS_LISTEN_IP (ZS_NODE_PORT[NAME]), its
# configuration, database, log, PID file and sockets in ZS_NODE_DIR[NAME];
# ZS_PROXY_CONF is added to its configuration. It fetches its configuration
# every second and sends its values every second, so values sent to it reach
# the server's history within about a second. Starting it again after
# zs_proxy_stop reuses its port, folder and database. Returns at once: see
# zs_proxy_wait.
zs_proxy_start() {
  local name=$1 server=${2:-${ZS_NODES[0]}} dir=$ZS_TMP/$1 port
  [ -n "$ZBX_PROXY_BIN" ] || zs_fail "no zabbix_proxy: the stack runs Zabbix 7.0 only after zs_use_zabbix70"
  if [ -z "${ZS_NODE_PORT[$name]:-}" ]; then
    port=$(zs_free_port) || zs_fail "no free port on $ZS_LISTEN_IP"
    mkdir -p "$dir"
    {
      cat <<CONF
ProxyMode=0
Server=$ZS_LISTEN_IP:${ZS_NODE_PORT[$server]}
Hostname=$name
ListenIP=$ZS_LISTEN_IP
ListenPort=$port
LogType=file
LogFile=$dir/zabbix_proxy.log
LogFileSize=0
PidFile=$dir/zabbix_proxy.pid
SocketDir=$dir
DBName=$dir/zabbix_proxy.db
ProxyConfigFrequency=1
DataSenderFrequency=1
StartPollers=1
StartPollersUnreachable=1
StartAgentPollers=0
StartHTTPAgentPollers=0
StartSNMPPollers=0
StartPreprocessors=1
StartTrappers=2
StartPingers=0
StartDiscoverers=0
StartHTTPPollers=0
Timeout=4
CONF
      if [ "$(id -u)" -eq 0 ]; then
        echo "AllowRoot=1"
      fi
      [ -z "${ZS_PROXY_CONF:-}" ] || printf '%s\n' "$ZS_PROXY_CONF"
    } >"$dir/zabbix_proxy.conf"
    ZS_PROXIES+=("$name")
    ZS_NODE_PORT[$name]=$port
    ZS_NODE_DIR[$name]=$dir
  fi
  zs_note "starting zabbix_proxy $name, trapper $ZS_LISTEN_IP:${ZS_NODE_PORT[$name]}"
  zs_spawn "${ZS_NODE_DIR[$name]}/zabbix_proxy.out" "$ZBX_PROXY_BIN" -f -c "${ZS_NODE_DIR[$name]}/zabbix_proxy.conf"
  ZS_NODE_PID[$name]=$ZS_PID
}

# zs_proxy_listens NAME: the proxy runs and takes connections on its trapper.
zs_proxy_listens() {
  kill -0 "${ZS_NODE_PID[$1]}" 2>/dev/null \
    || zs_fail "zabbix_proxy $1 exited: $(tail -n 5 "${ZS_NODE_DIR[$1]}/zabbix_proxy.out" "${ZS_NODE_DIR[$1]}/zabbix_proxy.log")"
  zs_port_open "$ZS_LISTEN_IP" "${ZS_NODE_PORT[$1]}"
}

# zs_proxy_wait NAME: until the proxy takes connections.
zs_proxy_wait() { zs_wait_for "zabbix_proxy $1's trapper port" 30 zs_proxy_listens "$1"; }

# zs_proxy_stop NAME: SIGTERM, as an administrator stops a proxy.
zs_proxy_stop() { zs_stop_pid "${ZS_NODE_PID[$1]}"; }

# zs_proxy_group_create GROUP PROXY...: a proxy group (failover after 10 s,
# online with one proxy) and each proxy, already started, made in it as an
# active proxy whose address for redirects is its trapper; the group's id in
# ZS_PROXY_GROUP_ID, each proxy's in ZS_PROXY_ID[NAME].
zs_proxy_group_create() {
  local group=$1 name
  shift
  ZS_PROXY_GROUP_ID=$(zs_api proxygroup.create "$(jq -cn --arg g "$group" \
    '{name: $g, failover_delay: "10s", min_online: "1"}')" | jq -r '.proxy_groupids[0]')
  for name in "$@"; do
    ZS_PROXY_ID[$name]=$(zs_api proxy.create "$(jq -cn --arg n "$name" --arg g "$ZS_PROXY_GROUP_ID" \
      --arg ip "$ZS_LISTEN_IP" --arg port "${ZS_NODE_PORT[$name]}" \
      '{name: $n, operating_mode: 0, proxy_groupid: $g, local_address: $ip, local_port: $port}')" \
      | jq -r '.proxyids[0]')
    zs_note "proxy $name (id ${ZS_PROXY_ID[$name]}) in proxy group $group (id $ZS_PROXY_GROUP_ID)"
  done
  # The server learns of the new proxies at its next configuration sync; the
  # proxies then ask for theirs.
  zs_config_reload
}

# zs_config_reload: every running server and proxy reloads its configuration
# cache now instead of at its next sync.
zs_config_reload() {
  local name
  for name in "${ZS_NODES[@]}"; do
    if kill -0 "${ZS_NODE_PID[$name]}" 2>/dev/null; then
      "$ZBX_SERVER_BIN" -c "${ZS_NODE_DIR[$name]}/zabbix_server.conf" -R config_cache_reload >/dev/null 2>&1 || true
    fi
  done
  for name in "${ZS_PROXIES[@]}"; do
    if kill -0 "${ZS_NODE_PID[$name]}" 2>/dev/null; then
      "$ZBX_PROXY_BIN" -c "${ZS_NODE_DIR[$name]}/zabbix_proxy.conf" -R config_cache_reload >/dev/null 2>&1 || true
    fi
  done
}

# zs_proxy_state NAME: the proxy as the server sees it: offline, online or
# unknown (proxy.get's state).
zs_proxy_state() {
  zs_api proxy.get "$(jq -cn --arg p "${ZS_PROXY_ID[$1]}" '{proxyids: [$p], output: ["state"]}')" \
    | jq -r '.[0].state | {"0": "unknown", "1": "offline", "2": "online"}[.] // .'
}

# zs_proxy_is NAME STATE: the server sees the proxy in STATE; what it sees in SEEN.
zs_proxy_is() {
  SEEN="$1 is $(zs_proxy_state "$1")"
  [ "$SEEN" = "$1 is $2" ]
}

# zs_assigned_proxy HOSTID: the name of the proxy the host's proxy group has
# given it (assigned_proxyid), empty while none is.
zs_assigned_proxy() {
  local id name
  id=$(zs_api host.get "$(jq -cn --arg h "$1" '{hostids: [$h], output: ["assigned_proxyid"]}')" \
    | jq -r '.[0].assigned_proxyid // "0"')
  for name in "${!ZS_PROXY_ID[@]}"; do
    if [ "${ZS_PROXY_ID[$name]}" = "$id" ]; then
      echo "$name"
      return 0
    fi
  done
}

# zs_assigned_other_than HOSTID NAME: the group has given the host a proxy
# other than NAME (NAME may be empty: any proxy); its name in ZS_OWNER.
zs_assigned_other_than() {
  ZS_OWNER=$(zs_assigned_proxy "$1")
  SEEN="assigned to ${ZS_OWNER:-no proxy}"
  [ -n "$ZS_OWNER" ] && [ "$ZS_OWNER" != "$2" ]
}

# --- Front end and API --------------------------------------------------------------

# zs_frontend_start: the front end on a free port of ZS_LISTEN_IP (ZS_WEB_URL),
# pointed at the first server started, its API logged in as Admin (ZS_AUTH)
# and the server's own host disabled, so that it adds nothing of its own.
zs_frontend_start() {
  local server=${ZS_NODES[0]}
  # The front end reads its settings from the fixed path /etc/zabbix/zabbix.conf.php.
  # A copy of the class that reads them, loaded before the front end's own
  # autoloader would find it, reads this stack's file instead, so nothing in
  # /etc is touched.
  cat >"$ZS_TMP/zabbix.conf.php" <<PHP
<?php
\$DB['TYPE'] = 'POSTGRESQL';
\$DB['SERVER'] = $(zs_php_quote "$ZS_PGHOST");
\$DB['PORT'] = $(zs_php_quote "$ZS_PGPORT");
\$DB['DATABASE'] = $(zs_php_quote "$ZS_DB");
\$DB['USER'] = $(zs_php_quote "$ZS_PGUSER");
\$DB['PASSWORD'] = $(zs_php_quote "$ZS_PGPASSWORD");
\$DB['SCHEMA'] = '';
\$DB['ENCRYPTION'] = false;
\$DB['KEY_FILE'] = '';
\$DB['CERT_FILE'] = '';
\$DB['CA_FILE'] = '';
\$DB['VERIFY_HOST'] = false;
\$DB['CIPHER_LIST'] = '';
\$DB['VAULT_URL'] = '';
\$DB['VAULT_DB_PATH'] = '';
\$DB['VAULT_TOKEN'] = '';
\$DB['DOUBLE_IEEE754'] = true;
\$ZBX_SERVER = '$ZS_LISTEN_IP';
\$ZBX_SERVER_PORT = '${ZS_NODE_PORT[$server]}';
\$ZBX_SERVER_NAME = $(zs_php_quote "${ZS_SERVER_NAME:-tarvo $ZS_NAME}");
\$IMAGE_FORMAT_DEFAULT = IMAGE_FORMAT_PNG;
PHP
  sed "s#'/etc/zabbix/zabbix.conf.php'#'$ZS_TMP/zabbix.conf.php'#" \
    "$ZBX_FRONTEND/include/classes/core/CConfigFile.php" >"$ZS_TMP/CConfigFile.php"
  grep -q "'$ZS_TMP/zabbix.conf.php'" "$ZS_TMP/CConfigFile.php" \
    || zs_fail "could not redirect the front end's configuration file (CConfigFile.php changed?)"
  printf '<?php\nrequire_once %s;\n' "$(zs_php_quote "$ZS_TMP/CConfigFile.php")" >"$ZS_TMP/prepend.php"

  ZS_WEB_PORT=$(zs_free_port) || zs_fail "no free port on $ZS_LISTEN_IP"
  ZS_WEB_URL="http://$ZS_LISTEN_IP:$ZS_WEB_PORT"
  ZS_API_URL="$ZS_WEB_URL/api_jsonrpc.php"
  zs_note "starting the front end on $ZS_LISTEN_IP:$ZS_WEB_PORT"
  # The cache of compiled scripts makes each API call several times quicker: the
  # front end loads hundreds of files per request.
  zs_spawn "$ZS_TMP/php.log" php -d auto_prepend_file="$ZS_TMP/prepend.php" -d memory_limit=512M \
    -d post_max_size=16M -d opcache.enable=1 -d opcache.enable_cli=1 \
    -d max_execution_time=300 -d display_errors=0 -d log_errors=1 -d error_log="$ZS_TMP/php.log" \
    -S "$ZS_LISTEN_IP:$ZS_WEB_PORT" -t "$ZBX_FRONTEND"
  ZS_PHP_PID=$ZS_PID
  ZS_AUTH=null
  ZS_API_ID=0
  zs_wait_for "the front end's API" 20 zs_api_up
  ZS_API_VERSION=$(zs_api apiinfo.version '{}' | jq -r .)
  zs_note "API version $ZS_API_VERSION"
  ZS_AUTH=$(zs_api user.login '{"username":"Admin","password":"zabbix"}')

  local own_host
  own_host=$(zs_api host.get '{"filter":{"host":["Zabbix server"]},"output":["hostid"]}' | jq -r '.[0].hostid // empty')
  if [ -n "$own_host" ]; then
    zs_api host.update "$(jq -cn --arg h "$own_host" '{hostid: $h, status: 1}')" >/dev/null
  fi
}

# zs_api_at_least MAJOR.MINOR: the front end's API is of that version or later.
zs_api_at_least() {
  local have=${ZS_API_VERSION%.*} want=$1
  [ "$(printf '%s\n%s\n' "$want" "$have" | sort -V | head -n 1)" = "$want" ]
}

zs_php_quote() { printf "'%s'" "$(printf '%s' "$1" | sed -e "s/\\\\/\\\\\\\\/g" -e "s/'/\\\\'/g")"; }

zs_api_up() {
  kill -0 "$ZS_PHP_PID" 2>/dev/null || zs_fail "php -S exited: $(tail -n 5 "$ZS_TMP/php.log")"
  curl -sS --max-time 5 -H 'Content-Type: application/json-rpc' \
    -d '{"jsonrpc":"2.0","method":"apiinfo.version","params":{},"id":0}' "$ZS_API_URL" 2>/dev/null \
    | jq -e '.result' >/dev/null 2>&1
}

# zs_api METHOD PARAMS: the result member of the reply, as JSON; fails on an error.
zs_api() {
  local method=$1 params=$2 request reply auth=$ZS_AUTH header=()
  ZS_API_ID=$((ZS_API_ID + 1))
  # From 6.4 on the session goes in a header; 7.0 logs the "auth" member as
  # deprecated on every call.
  # apiinfo.version refuses any session.
  [ "$method" != apiinfo.version ] || auth=null
  if [ "$auth" != null ] && zs_api_at_least 6.4; then
    header=(-H "Authorization: Bearer $(jq -r . <<<"$auth")")
    auth=null
  fi
  request=$(jq -cn --arg m "$method" --argjson p "$params" --argjson a "$auth" --argjson i "$ZS_API_ID" \
    '{jsonrpc: "2.0", method: $m, params: $p, id: $i} + (if $a == null then {} else {auth: $a} end)')
  reply=$(curl -sS --max-time 60 -H 'Content-Type: application/json-rpc' "${header[@]}" --data-binary @- "$ZS_API_URL" <<<"$request") \
    || zs_fail "API $method: no reply"
  if ! jq -e 'has("result")' >/dev/null 2>&1 <<<"$reply"; then
    zs_fail "API $method: $(jq -c '.error // .' <<<"$reply" 2>/dev/null || echo "$reply")"
  fi
  jq -c '.result' <<<"$reply"
}

# zs_import_template FILE NAME: imports the template file and sets
# ZS_TEMPLATE_ID to the id of the template called NAME.
zs_import_template() {
  local file=$1 name=$2 params groups='{"groups": {"createMissing": true, "updateExisting": true}}'
  # 6.2 split host groups from template groups: 7.0 refuses the rule "groups".
  if zs_api_at_least 6.2; then
    groups='{"template_groups": {"createMissing": true, "updateExisting": true},
             "host_groups": {"createMissing": true, "updateExisting": true}}'
  fi
  params=$(jq -cn --rawfile source "$file" --argjson groups "$groups" '{
    format: "yaml", source: $source,
    rules: ($groups + {
      templates: {createMissing: true, updateExisting: true},
      items: {createMissing: true, updateExisting: true, deleteMissing: true},
      discoveryRules: {createMissing: true, updateExisting: true, deleteMissing: true},
      triggers: {createMissing: true, updateExisting: true, deleteMissing: true},
      graphs: {createMissing: true, updateExisting: true, deleteMissing: true},
      templateDashboards: {createMissing: true, updateExisting: true, deleteMissing: true},
      valueMaps: {createMissing: true, updateExisting: true, deleteMissing: true},
      templateLinkage: {createMissing: true}
    })}')
  [ "$(zs_api configuration.import "$params")" = true ] || zs_fail "configuration.import did not return true"
  ZS_TEMPLATE_ID=$(zs_api template.get "$(jq -cn --arg t "$name" '{filter: {host: [$t]}, output: ["templateid"]}')" \
    | jq -r '.[0].templateid // empty')
  [ -n "$ZS_TEMPLATE_ID" ] || zs_fail "template \"$name\" not found after the import"
  zs_note "template imported (id $ZS_TEMPLATE_ID)"
}

# zs_hosts_create GROUP HOST_JSON...: a host group and one host per object
# ({host: NAME} and any other host.create member), each in the group and
# linked to the imported template; their ids in ZS_HOST_IDS, in order.
zs_hosts_create() {
  local group_id hosts_json
  group_id=$(zs_api hostgroup.create "$(jq -cn --arg g "$1" '{name: $g}')" | jq -r '.groupids[0]')
  shift
  # One call for every host: linking the template is most of each call's time.
  hosts_json=$(printf '%s\n' "$@" | jq -nc --arg g "$group_id" --arg t "$ZS_TEMPLATE_ID" \
    '[inputs | . + {groups: [{groupid: $g}], templates: [{templateid: $t}]}]')
  mapfile -t ZS_HOST_IDS < <(zs_api host.create "$hosts_json" | jq -r '.hostids[]')
  [ "${#ZS_HOST_IDS[@]}" -eq $# ] || zs_fail "host.create made ${#ZS_HOST_IDS[@]} hosts, not $#"
}

# zs_cache_barrier HOSTID HOST NODE: returns once NODE's configuration cache
# holds everything created so far. A value sent for a key is accepted only
# once the cache has the item: a trapper item made now, after everything
# else, is accepted only when the cache has caught up with all of it.
ZS_BARRIER=0
zs_cache_barrier() {
  local hostid=$1 host=$2 node=$3 key
  ZS_BARRIER=$((ZS_BARRIER + 1))
  key="tarvo.barreira[$ZS_BARRIER]"
  zs_api item.create "$(jq -cn --arg h "$hostid" --arg k "$key" \
    '{hostid: $h, name: ("Barreira " + $k), key_: $k, type: 2, value_type: 3}')" >/dev/null
  zs_wait_for "the configuration cache to hold $key" 30 zs_sender_accepts "$host" "$key" "$node"
}
zs_sender_accepts() {
  "$ZBX_SENDER" -z "$ZS_LISTEN_IP" -p "${ZS_NODE_PORT[$3]}" -s "$1" -k "$2" -o 1 >/dev/null 2>&1
}

# zs_item_ready HOSTID HOST NODE KEY: zs_cache_barrier, and then the item KEY
# (a number, linked from the template or discovered) is in NODE's cache too.
# Measured on 7.0: an item made after the host is taken up to a second
# before the items linked with the host or discovered on it; on a proxy with
# 20,000 discovered items, many seconds before some of them. What proves it
# is a value for KEY dated ZS_OLD_CLOCK, 1 January 2000: history read from
# the stack's start on, last values and graphs of recent hours never see it.
ZS_OLD_CLOCK=946684800
zs_item_ready() {
  zs_cache_barrier "$1" "$2" "$3"
  zs_wait_for "the configuration cache to hold $2's item $4" 30 zs_sender_accepts_old "$2" "$4" "$3"
}
zs_sender_accepts_old() {
  local reply
  reply=$(printf '%s %s %s 0\n' "$1" "$2" "$ZS_OLD_CLOCK" \
    | "$ZBX_SENDER" -z "$ZS_LISTEN_IP" -p "${ZS_NODE_PORT[$3]}" -T -i - 2>/dev/null) || true
  [[ $reply == *"failed: 0;"* ]]
}

# zs_discovered_count HOSTID: how many items the discovery rule has created.
zs_discovered_count() {
  zs_api item.get "$(jq -cn --arg h "$1" '{hostids: [$h], filter: {flags: 4}, countOutput: true}')" | jq -r '.'
}

# zs_has_discovered HOSTID COUNT: the discovery rule has created COUNT items.
zs_has_discovered() {
  local n
  n=$(zs_discovered_count "$1")
  SEEN="$n items; discovery rule: $(zs_api discoveryrule.get "$(jq -cn --arg h "$1" \
    '{hostids: [$h], output: ["state", "error"]}')" | jq -c '.[0]')"
  [ "$n" -eq "$2" ]
}

# zs_items HOSTID: the host's items, with their last value and its clock.
zs_items() {
  zs_api item.get "$(jq -cn --arg h "$1" \
    '{hostids: [$h], output: ["itemid", "key_", "name", "description", "value_type", "state", "error", "flags", "lastclock", "lastvalue"]}')"
}

# zs_values_since HOSTID CLOCK: every item of the host, the barriers
# (tarvo.barreira[N]) aside, has a value from CLOCK on; the items, as item.get gives
# them, in ITEMS.
zs_values_since() {
  ITEMS=$(zs_items "$1")
  SEEN="without a value since $2: $(jq -c --argjson since "$2" \
    '[.[] | select((.key_ | startswith("tarvo.barreira[")) | not) | select((.lastclock | tonumber) < $since) | .key_]' <<<"$ITEMS")"
  [ "$(jq --argjson since "$2" '[.[] | select((.key_ | startswith("tarvo.barreira[")) | not)
      | select((.lastclock | tonumber) < $since)] | length' <<<"$ITEMS")" -eq 0 ]
}

# --- The store ------------------------------------------------------------------

# zs_store_start: a stand-in for the time-series store on a loopback address
# of its own (SQL and rows both on port 9000, so that stacks run side by side
# never share it; ZS_STORE_IP). It answers that the table is already in
# shape and keeps every row body (ZS_STORE_ROWS) and every statement, one a
# line (ZS_STORE_SQL), so a run ends at once instead of waiting out the
# ingestion retries of an unreachable store, and what it sent can be counted.
zs_store_start() {
  cat >"$ZS_TMP/store.php" <<'PHP'
<?php
$path = parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH);
if ($path === '/exec') {
    $query = $_GET['query'] ?? '';
    file_put_contents(getenv('TARVO_STORE_SQL'), str_replace("\n", ' ', $query) . "\n", FILE_APPEND | LOCK_EX);
    header('Content-Type: application/json');
    echo json_encode(['query' => $query, 'dataset' => array_fill(0, 15, ['c'])]);
} elseif ($path === '/write') {
    file_put_contents(getenv('TARVO_STORE_ROWS'), file_get_contents('php://input'), FILE_APPEND | LOCK_EX);
    http_response_code(204);
} else {
    http_response_code(404);
}
PHP
  ZS_STORE_ROWS=$ZS_TMP/rows.ilp
  ZS_STORE_SQL=$ZS_TMP/store_sql.log
  : >"$ZS_STORE_ROWS"
  : >"$ZS_STORE_SQL"
  ZS_STORE_IP=127.21.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
  zs_note "starting the store stand-in on $ZS_STORE_IP:9000"
  zs_spawn "$ZS_TMP/store.log" env TARVO_STORE_ROWS="$ZS_STORE_ROWS" TARVO_STORE_SQL="$ZS_STORE_SQL" \
    php -d display_errors=0 -d log_errors=1 -d error_log="$ZS_TMP/store.log" \
    -S "$ZS_STORE_IP:9000" "$ZS_TMP/store.php"
  ZS_STORE_PID=$ZS_PID
  zs_wait_for "the store stand-in" 20 zs_store_up
  # The stand-in's own probe is not the collector's.
  : >"$ZS_STORE_SQL"
}

zs_store_up() {
  kill -0 "$ZS_STORE_PID" 2>/dev/null || zs_fail "the store stand-in exited: $(tail -n 5 "$ZS_TMP/store.log")"
  curl -sS --max-time 5 "http://$ZS_STORE_IP:9000/exec?query=x" 2>/dev/null | jq -e '.dataset' >/dev/null 2>&1
}
