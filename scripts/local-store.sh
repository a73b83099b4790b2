#!/usr/bin/env bash
# Starts and stops the local blob and table store (Azurite, pinned in local-store/package-lock.json)
# that the integration tests, the whole-launch tests and the demo run against.
#
#   scripts/local-store.sh start [ENV_FILE] [--blob-port N] [--table-port N]
#   scripts/local-store.sh stop
#   scripts/local-store.sh status
#
# start installs the pinned store with npm ci when needed, makes a certificate authority and a
# server certificate for *.blob.localhost and *.table.localhost (openssl), runs the store in memory
# over HTTPS with telemetry off, waits until both services answer and creates the table
# "downloads". Ports: the given ones, else 10000/10002 when free, else free ones. It writes the
# environment for the launcher, the tests and the tools to ENV_FILE (default: the state folder's
# store.env) and prints it as export lines:
#   SETUP_LAUNCHER_DOWNLOAD_ENDPOINT, SETUP_LAUNCHER_TABLE_ENDPOINT, SETUP_LAUNCHER_CA_FILE,
#   SETUP_PUBLISHER_ACCOUNT, SETUP_PUBLISHER_ACCOUNT_KEY
# Starting a store that already runs only writes the environment again; stopping one that does
# not run does nothing. State lives in $SETUP_LAUNCHER_STORE_DIR (default: build/local-store).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
package_dir="$root/scripts/local-store"
state=${SETUP_LAUNCHER_STORE_DIR:-$root/build/local-store}
pid_file="$state/azurite.pid"
ports_file="$state/ports"

# The store's published development account (the same for every local store; not a secret).
account=devstoreaccount1
account_key='Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw=='

die() { echo "local-store: $*" >&2; exit 1; }

# Whether the store this script started still runs (a reused process id does not count).
running() {
  [[ -f $pid_file ]] || return 1
  local pid
  pid=$(cat "$pid_file")
  kill -0 "$pid" 2>/dev/null && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q azurite
}

port_free() {
  node -e 'const s=require("net").createServer();s.once("error",()=>process.exit(1));s.listen(+process.argv[1],"127.0.0.1",()=>s.close())' "$1"
}

free_port() {
  node -e 'const s=require("net").createServer();s.listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})'
}

# Answers with the HTTP status of an anonymous request, 000 while nothing answers.
http_status() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 5 --cacert "$state/ca.pem" "$1" || true
}

make_certificates() {
  local config="$state/server.ext"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -keyout "$state/ca.key" -out "$state/ca.pem" -subj "/CN=setup-launcher local store authority" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$state/server.key" -out "$state/server.csr" -subj "/CN=localhost" 2>/dev/null
  cat >"$config" <<EOF
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:*.blob.localhost,DNS:*.table.localhost,DNS:$account.blob.localhost,DNS:$account.table.localhost,DNS:localhost,IP:127.0.0.1
EOF
  openssl x509 -req -in "$state/server.csr" -CA "$state/ca.pem" -CAkey "$state/ca.key" \
    -set_serial "0x$(openssl rand -hex 12)" -days 30 -extfile "$config" -out "$state/server.pem" 2>/dev/null
  rm -f "$state/server.csr"
}

# Creates a table through the table service, signed with SharedKeyLite; "exists" is fine.
create_table() {
  local table=$1 endpoint=$2 date key_hex signature status
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  key_hex=$(printf '%s' "$account_key" | base64 -d | od -An -v -tx1 | tr -d ' \n')
  signature=$(printf '%s\n/%s/Tables' "$date" "$account" |
    openssl dgst -sha256 -mac HMAC -macopt "hexkey:$key_hex" -binary | base64 -w0)
  status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert "$state/ca.pem" -X POST \
    -H "x-ms-date: $date" -H "x-ms-version: 2019-02-02" -H "Content-Type: application/json" \
    -H "Accept: application/json;odata=nometadata" -H "DataServiceVersion: 3.0;NetFx" \
    -H "Authorization: SharedKeyLite $account:$signature" \
    --data "{\"TableName\":\"$table\"}" "$endpoint/Tables" || true)
  case $status in
    201 | 204 | 409) ;;
    *) die "creating the table \"$table\" failed (HTTP $status); see $state/azurite.log" ;;
  esac
}

write_environment() {
  local env_file=$1 blob_port table_port
  read -r blob_port table_port <"$ports_file"
  local lines=(
    "SETUP_LAUNCHER_DOWNLOAD_ENDPOINT=https://$account.blob.localhost:$blob_port"
    "SETUP_LAUNCHER_TABLE_ENDPOINT=https://$account.table.localhost:$table_port"
    "SETUP_LAUNCHER_CA_FILE=$state/ca.pem"
    "SETUP_PUBLISHER_ACCOUNT=$account"
    "SETUP_PUBLISHER_ACCOUNT_KEY=$account_key"
  )
  mkdir -p "$(dirname "$env_file")"
  : >"$env_file"
  local line
  for line in "${lines[@]}"; do
    printf "%s='%s'\n" "${line%%=*}" "${line#*=}" >>"$env_file"
    printf "export %s='%s'\n" "${line%%=*}" "${line#*=}"
  done
  echo "local-store: environment written to $env_file" >&2
}

start() {
  local env_file="" blob_port="${SETUP_LAUNCHER_STORE_BLOB_PORT:-}" table_port="${SETUP_LAUNCHER_STORE_TABLE_PORT:-}"
  while (($#)); do
    case $1 in
      --blob-port) blob_port=$2; shift 2 ;;
      --table-port) table_port=$2; shift 2 ;;
      -*) die "unknown option $1" ;;
      *) env_file=$1; shift ;;
    esac
  done
  [[ -n $env_file ]] || env_file="$state/store.env"
  [[ $env_file = /* ]] || env_file="$(pwd)/$env_file"
  command -v node >/dev/null && command -v npm >/dev/null || die "Node.js and npm are needed (scripts/install-deps.sh)"
  command -v openssl >/dev/null && command -v curl >/dev/null || die "openssl and curl are needed (scripts/install-deps.sh)"
  mkdir -p "$state"

  if running; then
    echo "local-store: already running (pid $(cat "$pid_file"))" >&2
    write_environment "$env_file"
    return
  fi

  if [[ ! -x $package_dir/node_modules/.bin/azurite ]]; then
    echo "local-store: installing the pinned store (npm ci)" >&2
    (cd "$package_dir" && npm ci --no-audit --no-fund --loglevel=error >&2)
  fi

  if [[ -z $blob_port ]]; then
    if port_free 10000 && port_free 10001 && port_free 10002; then blob_port=10000; else blob_port=$(free_port); fi
  fi
  if [[ -z $table_port ]]; then
    if [[ $blob_port = 10000 ]] && port_free 10002; then table_port=10002; else table_port=$(free_port); fi
  fi
  local port
  for port in "$blob_port" "$table_port"; do
    [[ $port =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || die "not a port: $port"
    port_free "$port" || die "port $port is in use"
  done
  local queue_port=$((blob_port == 10000 ? 10001 : 0))
  ((queue_port)) || queue_port=$(free_port)
  echo "$blob_port $table_port" >"$ports_file"

  make_certificates
  # In memory, the store keeps nothing on disk; it runs in the state folder for its log files.
  (cd "$state" && exec setsid "$package_dir/node_modules/.bin/azurite" --silent --inMemoryPersistence --disableTelemetry \
    --blobHost 127.0.0.1 --blobPort "$blob_port" --queueHost 127.0.0.1 --queuePort "$queue_port" \
    --tableHost 127.0.0.1 --tablePort "$table_port" --cert "$state/server.pem" --key "$state/server.key" \
    --skipApiVersionCheck --loose \
    >"$state/azurite.log" 2>&1 </dev/null) &
  echo $! >"$pid_file"

  local blob="https://$account.blob.localhost:$blob_port" table="https://$account.table.localhost:$table_port"
  local waited=0
  until [[ $(http_status "$blob/") != 000 && $(http_status "$table/Tables") != 000 ]]; do
    running || die "the store ended while starting; see $state/azurite.log"
    ((waited < 600)) || { stop; die "the store did not answer within a minute; see $state/azurite.log"; }
    sleep 0.1
    waited=$((waited + 1))
  done
  create_table downloads "$table"
  echo "local-store: running (pid $(cat "$pid_file")), blob $blob, table $table" >&2
  write_environment "$env_file"
}

stop() {
  if ! running; then
    rm -f "$pid_file"
    return
  fi
  local pid
  pid=$(cat "$pid_file")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  rm -f "$pid_file"
  echo "local-store: stopped" >&2
}

case ${1:-} in
  start) shift; start "$@" ;;
  stop) stop ;;
  status) if running; then echo "running (pid $(cat "$pid_file"))"; else echo "stopped"; exit 1; fi ;;
  *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
