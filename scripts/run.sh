#!/usr/bin/env bash
# The demo: installs what it needs, builds, starts the local store with the sample product
# "tarnwick-x64-sql", runs the launcher in this terminal, shows the usage report of the events
# the launch left in the store (and writes it as build/demo/usage-report.html) and stops the store
# (unless RUN_KEEP_STORE=1).
# Answers come from the terminal, or line by line from standard input when that is no terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh >&2

# The launcher trusts the key that signs the sample (generated into the build folder once), so the
# demo takes the signed path: it uses the index only after the signed statement about it verified.
cmake --preset default >/dev/null
cmake --build --preset default --target setup-publisher >&2
sample_key=$(scripts/sample-signing-key.sh "$root/build/default/tools/publisher/setup-publisher")
cmake --preset default -DSETUP_LAUNCHER_INDEX_KEYS="$sample_key" >/dev/null
cmake --build --preset default --target setup-launcher setup-publisher >&2

work="$root/build/demo"
mkdir -p "$work/bin"
store_env="$work/store.env"
# RUN_KEEP_STORE=1 leaves the store running with the launch's usage events, for more reports.
cleanup() { scripts/local-store.sh stop >/dev/null 2>&1 || true; }
if [[ ${RUN_KEEP_STORE:-} != 1 ]]; then trap cleanup EXIT; fi

scripts/local-store.sh start "$store_env" >&2
set -a
# shellcheck disable=SC1090
source "$store_env"
set +a
SETUP_PUBLISHER="$root/build/default/tools/publisher/setup-publisher" scripts/publish-sample.sh "$store_env" >&2

# The file-name rule names the product: the launcher serves "tarnwick-x64-sql".
cp build/default/setup-launcher "$work/bin/tarnwick-x64-sql.run"
echo "Log file: ${TMPDIR:-/tmp}/CAD-Setup.log" >&2
# Each run publishes the sample into a new store: the highest publication accepted is remembered in
# the demo's folder, not in the user's own state folder.
XDG_STATE_HOME="$work/state" "$work/bin/tarnwick-x64-sql.run"

# The launch's "begin" and "success" events, as the publisher's report shows them.
publisher="$root/build/default/tools/publisher/setup-publisher"
echo >&2
today=$(date -u +%F)
"$publisher" report --product tarnwick-x64-sql --since "$today" || true
"$publisher" report --product tarnwick-x64-sql --since "$today" --html "$work/usage-report.html" >/dev/null 2>&1 || true
