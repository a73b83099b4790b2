#!/usr/bin/env bash
# Refreshes docs/images/publisher-report.png: the HTML usage report of generated demo events,
# taken with headless Chromium.
#
#   scripts/report-screenshot.sh [OUT_PNG]
#
# It starts a local store of its own (state in build/report-demo/store, so another running store
# is left alone), fills the table "downloads" with 30 days of generated launches
# (seed-usage-events), writes the report with `setup-publisher report --html` and photographs the
# page. Installs Chromium from Debian when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/docs/images/publisher-report.png}
[[ $out = /* ]] || out="$root/$out"

scripts/install-deps.sh >&2
if ! command -v chromium >/dev/null 2>&1; then
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends chromium fonts-dejavu-core >&2
fi

cmake --preset default >/dev/null
cmake --build --preset default --target setup-publisher seed-usage-events >&2

work="$root/build/report-demo"
rm -rf "$work/profile"
mkdir -p "$work"
export SETUP_LAUNCHER_STORE_DIR="$work/store"
cleanup() { scripts/local-store.sh stop >/dev/null 2>&1 || true; }
trap cleanup EXIT
scripts/local-store.sh start "$work/store.env" >/dev/null
set -a
# shellcheck disable=SC1090
source "$work/store.env"
set +a

# A fixed month, so the picture only changes when the report does.
build/default/tests/seed-usage-events --until 2024-03-31 --days 30 --launches 900 >&2
build/default/tools/publisher/setup-publisher report --since 2024-03-02 --until 2024-03-31 \
  --html "$work/report.html" >&2

chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
  --disable-component-update --no-first-run --disable-sync --user-data-dir="$work/profile" \
  --hide-scrollbars --window-size=1100,1400 --screenshot="$out" "file://$work/report.html" >&2 2>/dev/null
echo "report-screenshot: $out" >&2
