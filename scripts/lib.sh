# Shared by scripts/test, scripts/demo and bench/run: package installs and the
# throwaway PostgreSQL cluster and MariaDB server. Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# install_packages PKG...: installs those of the Debian packages that are missing.
install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake make g++ unixodbc unixodbc-dev libsqliteodbc odbc-postgresql odbc-mariadb)
TEST_PACKAGES=(postgresql googletest time sqlite3 unicode-data mingw-w64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 gcc-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 valgrind mariadb-server percona-toolkit galera-4 rsync)

# The SQLite3 and psqlODBC drivers register themselves in /etc/odbcinst.ini when
# installed; make sure the names our connection strings use are there.
check_odbc_drivers() {
  local name
  for name in "SQLite3" "PostgreSQL Unicode" "MariaDB Unicode"; do
    if ! odbcinst -q -d -n "$name" >/dev/null 2>&1; then
      echo "ODBC driver '$name' is not registered in odbcinst.ini" >&2
      return 1
    fi
  done
}

pg_bindir() { ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1; }

PG_PORT="${MERIDEX_PG_PORT:-55432}"
PG_USER=meridex
PG_PASSWORD=meridex-test-pw
PG_DIR=""

# as_owner USER COMMAND...: runs COMMAND as USER when we are root (the servers refuse to
# run as root), as ourselves otherwise.
as_owner() {
  local user="$1"
  shift
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}
as_pg_owner() { as_owner postgres "$@"; }

# pg_start: a fresh cluster on 127.0.0.1:$PG_PORT, password authentication over TCP.
pg_start() {
  local bin
  bin="$(pg_bindir)"
  [ -n "$bin" ] || { echo "PostgreSQL server binaries not found" >&2; return 1; }
  PG_DIR="$(mktemp -d "${TMPDIR:-/tmp}/meridex-pg.XXXXXX")"
  chmod 755 "$PG_DIR"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$PG_DIR"
  printf '%s\n' "$PG_PASSWORD" > "$PG_DIR/pw"
  printf '%s\n' "$PG_PORT" > "$PG_DIR/port"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$PG_DIR/pw"
  as_pg_owner "$bin/initdb" -D "$PG_DIR/data" -U "$PG_USER" --pwfile="$PG_DIR/pw" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$PG_DIR/initdb.log" 2>&1 ||
    { cat "$PG_DIR/initdb.log" >&2; return 1; }
  as_pg_owner "$bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
    -o "-p $PG_PORT -k $PG_DIR -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off -c synchronous_commit=off" \
    start >/dev/null || { cat "$PG_DIR/server.log" >&2; return 1; }
  export MERIDEX_TEST_PG="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$PG_PORT;Uid=$PG_USER;Pwd=$PG_PASSWORD;"
  export MERIDEX_TEST_PG_PORT="$PG_PORT" MERIDEX_TEST_PG_DIR="$PG_DIR" MERIDEX_TEST_PG_BIN="$bin"
}

pg_stop() {
  [ -n "$PG_DIR" ] || return 0
  as_pg_owner "$(pg_bindir)/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$PG_DIR"
  PG_DIR=""
}

# pg_cluster DIR stop|start: stops (immediately, as a crash would) or restarts the cluster
# that pg_start made in DIR, on the port it was made with. For the fault tests.
pg_cluster() {
  local dir="$1" action="$2" port
  port="$(cat "$dir/port" 2>/dev/null || echo "$PG_PORT")"
  case "$action" in
    stop) as_pg_owner "$(pg_bindir)/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 ;;
    start)
      as_pg_owner "$(pg_bindir)/pg_ctl" -D "$dir/data" status >/dev/null 2>&1 && return 0
      as_pg_owner "$(pg_bindir)/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null ;;
  esac
}

# demo_database BUILD_DIR DIR ROWS: a demo Meridex database of ROWS rows in DIR/meridex.db
# (about 30 % of them obsolete), filled by BUILD_DIR's meridex-fill, and the registry
# export DIR/registry.reg that names it, as Windows' registry editor writes one.
demo_database() {
  local build="$1" dir="$2" rows="$3"
  mkdir -p "$dir"
  rm -f "$dir/meridex.db" "$dir/Vestrum.csv"
  # StepAPI=1: the SQLite driver hands rows over as it steps, instead of loading the whole
  # result set into memory first.
  local connection="Driver=SQLite3;Database=$dir/meridex.db;StepAPI=1;"
  "$build/meridex-fill" "$connection" "$rows" --schema "$ROOT/schema/sqlite.sql" --old-percent 30 --data-max 64
  local escaped
  escaped="$(printf '%s' "$connection" | sed 's/\\/\\\\/g; s/"/\\"/g')"
  cat > "$dir/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]
"MSSQLConnectString"="$escaped"
REG
  # The tool reads a registry file only when nobody but its owner can change it or its folder.
  chmod 0600 "$dir/registry.reg"
  chmod go-w "$dir"
}

# The throwaway MariaDB server, beside the PostgreSQL cluster: its own data directory and
# socket under a temporary directory, TCP on 127.0.0.1:$MARIA_PORT only, and a user with
# a password of its own so that the driver logs in over TCP as production would.
MARIA_PORT="${MERIDEX_MARIA_PORT:-55533}"
MARIA_USER=meridex
MARIA_PASSWORD=meridex-test-pw
MARIA_DIR=""

as_maria_owner() { as_owner mysql "$@"; }

# In the subshell that starts a server: closes every descriptor above standard error.
close_inherited_descriptors() {
  local fd
  for fd in /proc/self/fd/*; do
    fd="${fd##*/}"
    [ "$fd" -gt 2 ] && eval "exec $fd>&-"
  done 2>/dev/null
}

# maria_server DIR: starts the server whose files are in DIR and waits until it answers.
maria_server() {
  local dir="$1" port i
  port="$(cat "$dir/port")"
  # The server outlives this shell: it must not keep any of the shell's descriptors (a
  # caller reading our output to its end would wait for the server to exit).
  (
    close_inherited_descriptors
    as_maria_owner /usr/sbin/mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/sock" \
      --pid-file="$dir/pid" --port="$port" --bind-address=127.0.0.1 --skip-name-resolve \
      --innodb-flush-log-at-trx-commit=2 --innodb-doublewrite=0 --innodb-buffer-pool-size=256M \
      --skip-log-bin --character-set-server=utf8mb4 --collation-server=utf8mb4_bin \
      --max-allowed-packet=256M --log-error="$dir/server.log"
  ) </dev/null >/dev/null 2>&1 &
  for i in $(seq 1 600); do
    mariadb-admin --no-defaults --socket="$dir/sock" ping >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  cat "$dir/server.log" >&2
  return 1
}

# maria_start: a fresh server on 127.0.0.1:$MARIA_PORT with user $MARIA_USER.
maria_start() {
  MARIA_DIR="$(mktemp -d "${TMPDIR:-/tmp}/meridex-maria.XXXXXX")"
  chmod 755 "$MARIA_DIR"
  [ "$(id -u)" -eq 0 ] && chown mysql: "$MARIA_DIR"
  printf '%s\n' "$MARIA_PORT" > "$MARIA_DIR/port"
  as_maria_owner mariadb-install-db --no-defaults --datadir="$MARIA_DIR/data" --auth-root-authentication-method=socket \
    --skip-test-db >"$MARIA_DIR/install.log" 2>&1 || { cat "$MARIA_DIR/install.log" >&2; return 1; }
  maria_server "$MARIA_DIR" || return 1
  # The installer gives the system user that ran it an account that logs in on the socket.
  as_maria_owner mariadb --no-defaults --socket="$MARIA_DIR/sock" -u "$(as_maria_owner id -un)" -e \
    "CREATE USER '$MARIA_USER'@'127.0.0.1' IDENTIFIED BY '$MARIA_PASSWORD';
     GRANT ALL PRIVILEGES ON *.* TO '$MARIA_USER'@'127.0.0.1' WITH GRANT OPTION;" ||
    { cat "$MARIA_DIR/server.log" >&2; return 1; }
  export MERIDEX_TEST_MARIA="Driver={MariaDB Unicode};Server=127.0.0.1;Port=$MARIA_PORT;Uid=$MARIA_USER;Pwd=$MARIA_PASSWORD;"
  export MERIDEX_TEST_MARIA_PORT="$MARIA_PORT" MERIDEX_TEST_MARIA_DIR="$MARIA_DIR"
}

# maria_cluster DIR stop|start: stops (killed, as a crash would) or restarts the server
# that maria_start made in DIR. For the fault tests.
maria_cluster() {
  local dir="$1" action="$2" pid
  case "$action" in
    stop)
      pid="$(cat "$dir/pid" 2>/dev/null)" || return 0
      as_maria_owner kill -KILL "$pid" 2>/dev/null || true
      while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
      rm -f "$dir/pid" ;;
    start)
      [ -s "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null && return 0
      maria_server "$dir" ;;
  esac
}

maria_stop() {
  [ -n "$MARIA_DIR" ] || return 0
  maria_cluster "$MARIA_DIR" stop
  rm -rf "$MARIA_DIR"
  MARIA_DIR=""
}

# The throwaway Galera cluster: three MariaDB nodes on loopback, each with its own data
# directory, socket and ports (SQL $GALERA_PORT+0..2, group communication +10, IST +20,
# SST +30), joined into one cluster by Debian's galera-4. Node 1 bootstraps it; nodes 2
# and 3 receive their state from it by rsync. The tests connect the tool to node 1 and
# act as the other sessions on node 2.
GALERA_PORT="${MERIDEX_GALERA_PORT:-56301}"
GALERA_DIR=""
GALERA_PROVIDER=/usr/lib/galera/libgalera_smm.so

# galera_sql NODE_DIR SQL: runs SQL on the node as the system user that owns it.
galera_sql() { as_maria_owner mariadb --no-defaults --socket="$1/sock" -u "$(as_maria_owner id -un)" -N -B -e "$2"; }

# galera_node DIR N [--wsrep-new-cluster]: starts node N of the cluster in DIR and waits
# until it has joined and is synced (wsrep_ready), or fails after 120 s.
galera_node() {
  local dir="$1" n="$2" bootstrap="${3:-}" i
  local node="$dir/$n" base sql gcomm ist sst peers="" p
  base="$(cat "$dir/port")"
  sql=$((base + n - 1)); gcomm=$((base + 9 + n)); ist=$((base + 19 + n)); sst=$((base + 29 + n))
  for p in 1 2 3; do peers="${peers:+$peers,}127.0.0.1:$((base + 9 + p))"; done
  (
    close_inherited_descriptors
    as_maria_owner /usr/sbin/mariadbd --no-defaults --datadir="$node/data" --socket="$node/sock" \
      --pid-file="$node/pid" --port="$sql" --bind-address=127.0.0.1 --skip-name-resolve \
      --innodb-flush-log-at-trx-commit=2 --innodb-doublewrite=0 --innodb-buffer-pool-size=128M \
      --character-set-server=utf8mb4 --collation-server=utf8mb4_bin --max-allowed-packet=256M \
      --binlog-format=ROW --innodb-autoinc-lock-mode=2 --default-storage-engine=InnoDB \
      --wsrep-on=ON --wsrep-provider="$GALERA_PROVIDER" --wsrep-cluster-name=meridex-test \
      --wsrep-cluster-address="gcomm://$peers" --wsrep-node-name="node$n" \
      --wsrep-node-address="127.0.0.1:$gcomm" --wsrep-node-incoming-address="127.0.0.1:$sql" \
      --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$gcomm;ist.recv_addr=127.0.0.1:$ist;gcache.size=256M" \
      --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$sst" \
      --log-error="$node/server.log" $bootstrap
  ) </dev/null >/dev/null 2>&1 &
  for i in $(seq 1 1200); do
    [ "$(galera_sql "$node" "SHOW STATUS LIKE 'wsrep_ready'" 2>/dev/null | cut -f2)" = ON ] && return 0
    sleep 0.1
  done
  cat "$node/server.log" >&2
  return 1
}

# galera_start: a fresh three-node cluster, user $MARIA_USER on every node.
galera_start() {
  local n started=$SECONDS
  [ -f "$GALERA_PROVIDER" ] || { echo "Galera provider not found: $GALERA_PROVIDER" >&2; return 1; }
  GALERA_DIR="$(mktemp -d "${TMPDIR:-/tmp}/meridex-galera.XXXXXX")"
  chmod 755 "$GALERA_DIR"
  printf '%s\n' "$GALERA_PORT" > "$GALERA_DIR/port"
  for n in 1 2 3; do mkdir -p "$GALERA_DIR/$n/data"; done
  [ "$(id -u)" -eq 0 ] && chown -R mysql: "$GALERA_DIR"
  as_maria_owner mariadb-install-db --no-defaults --datadir="$GALERA_DIR/1/data" --auth-root-authentication-method=socket \
    --skip-test-db >"$GALERA_DIR/install.log" 2>&1 || { cat "$GALERA_DIR/install.log" >&2; return 1; }
  galera_node "$GALERA_DIR" 1 --wsrep-new-cluster || return 1
  # Replicated to the nodes that join.
  galera_sql "$GALERA_DIR/1" \
    "CREATE USER '$MARIA_USER'@'127.0.0.1' IDENTIFIED BY '$MARIA_PASSWORD';
     GRANT ALL PRIVILEGES ON *.* TO '$MARIA_USER'@'127.0.0.1' WITH GRANT OPTION;" || return 1
  galera_node "$GALERA_DIR" 2 || return 1
  galera_node "$GALERA_DIR" 3 || return 1
  export MERIDEX_TEST_GALERA_DIR="$GALERA_DIR"
  for n in 1 2 3; do
    export "MERIDEX_TEST_GALERA_$n=Driver={MariaDB Unicode};Server=127.0.0.1;Port=$((GALERA_PORT + n - 1));Uid=$MARIA_USER;Pwd=$MARIA_PASSWORD;"
  done
  echo "Galera cluster of three nodes up in $((SECONDS - started)) s"
}

galera_stop() {
  [ -n "$GALERA_DIR" ] || return 0
  local n pid
  for n in 3 2 1; do
    pid="$(cat "$GALERA_DIR/$n/pid" 2>/dev/null)" || continue
    as_maria_owner kill -KILL "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  done
  rm -rf "$GALERA_DIR"
  GALERA_DIR=""
}

# The PostgreSQL hot standby: a copy of the test cluster taken with pg_basebackup, kept
# up to date by streaming replication, read-only, on 127.0.0.1:$PG_STANDBY_PORT. Its
# replication slot on the primary keeps every WAL segment it has not yet received: without
# one, a burst of writes (a few runs of the suite) can recycle a segment before the
# standby streams it, and its stream breaks for good.
PG_STANDBY_PORT="${MERIDEX_PG_STANDBY_PORT:-56108}"
PG_STANDBY_DIR=""
PG_STANDBY_SLOT="meridex_standby_$PG_STANDBY_PORT"

# pg_primary_sql SQL: SQL on the primary, over its socket, as the test user.
pg_primary_sql() { as_pg_owner "$(pg_bindir)/psql" -X -q -At -h "$PG_DIR" -p "$PG_PORT" -U "$PG_USER" -d postgres -c "$1"; }

# pg_drop_standby_slot: drops the standby's slot once nothing streams from it (the
# primary's sender ends a moment after the standby does).
pg_drop_standby_slot() {
  local tries
  for tries in 1 2 3 4 5 6 7 8 9 10; do
    [ -n "$(pg_primary_sql "SELECT 1 FROM pg_replication_slots WHERE slot_name = '$PG_STANDBY_SLOT'")" ] || return 0
    pg_primary_sql "SELECT pg_drop_replication_slot('$PG_STANDBY_SLOT')" >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  echo "the standby's replication slot $PG_STANDBY_SLOT is still in use" >&2
  return 1
}

pg_standby_start() {
  local bin
  bin="$(pg_bindir)"
  [ -n "$PG_DIR" ] || { echo "the primary is not running (pg_start)" >&2; return 1; }
  PG_STANDBY_DIR="$(mktemp -d "${TMPDIR:-/tmp}/meridex-pg-standby.XXXXXX")"
  chmod 755 "$PG_STANDBY_DIR"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$PG_STANDBY_DIR"
  # A slot a standby of an earlier run left behind would keep WAL for nobody.
  pg_drop_standby_slot || return 1
  # -R writes the connection to the primary, the slot's name and standby.signal: the copy
  # starts as a standby. -C -S makes the slot.
  as_pg_owner env PGPASSWORD="$PG_PASSWORD" "$bin/pg_basebackup" -h 127.0.0.1 -p "$PG_PORT" -U "$PG_USER" \
    -D "$PG_STANDBY_DIR/data" -R -X stream -C -S "$PG_STANDBY_SLOT" -c fast >"$PG_STANDBY_DIR/basebackup.log" 2>&1 ||
    { cat "$PG_STANDBY_DIR/basebackup.log" >&2; return 1; }
  as_pg_owner "$bin/pg_ctl" -D "$PG_STANDBY_DIR/data" -l "$PG_STANDBY_DIR/server.log" -w -t 60 \
    -o "-p $PG_STANDBY_PORT -k $PG_STANDBY_DIR -c listen_addresses=127.0.0.1 -c hot_standby=on" \
    start >/dev/null || { cat "$PG_STANDBY_DIR/server.log" >&2; return 1; }
  export MERIDEX_TEST_PG_STANDBY="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$PG_STANDBY_PORT;Uid=$PG_USER;Pwd=$PG_PASSWORD;"
}

pg_standby_stop() {
  [ -n "$PG_STANDBY_DIR" ] || return 0
  as_pg_owner "$(pg_bindir)/pg_ctl" -D "$PG_STANDBY_DIR/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$PG_STANDBY_DIR"
  PG_STANDBY_DIR=""
  [ -z "$PG_DIR" ] || pg_drop_standby_slot || true
}
