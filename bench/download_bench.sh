#!/usr/bin/env bash
# Benchmark of the block-verified archive download against the plain tool pipeline.
#
# Serves one "arc" release of SIZE_MIB MiB (default 1024) in blocks of BLOCK bytes (default 4 MiB)
# over HTTPS from a local server on 127.0.0.1, then, RUNS times each (default 3), alternating:
#   - the launcher's DownloadArchive (bench/download_bench.cpp): digest list, every block fetched
#     by range and MD5-checked before it is written, SHA-256 of the finished file;
#   - curl fetching the same object, then md5sum and sha256sum of the file.
# Reports the median wall time of both, their ratio and the launcher's peak memory as measured by
# /usr/bin/time -v. Not part of the test suite. Needs about 3 GiB of free space in WORK.
#
# Environment: SIZE_MIB, BLOCK, RUNS, BUILD (build folder, default build/bench), WORK (scratch
# folder, default $TMPDIR/setup-launcher-bench, removed at the end unless KEEP=1).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$REPO/build/bench}
WORK=${WORK:-${TMPDIR:-/tmp}/setup-launcher-bench}
SIZE_MIB=${SIZE_MIB:-1024}
BLOCK=${BLOCK:-4194304}
RUNS=${RUNS:-3}
SIZE=$((SIZE_MIB * 1048576))

SERVER_PID=
cleanup() {
    if [[ -n "$SERVER_PID" ]]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    if [[ "${KEEP:-0}" != 1 ]]; then
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

echo "== building (RelWithDebInfo, as the default preset) in $BUILD"
# GCC 12 reports false -Wrestrict findings inside std::string at -O2 (GCC bug 105651); the
# benchmark measures, it does not gate, so that warning is off here.
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSETUP_LAUNCHER_TESTS=OFF \
    -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
nice ninja -C "$BUILD" launcher_core >/dev/null
nice g++ -std=c++20 -O2 -I"$REPO" "$REPO/bench/download_bench.cpp" "$BUILD/liblauncher_core.a" \
    $(pkg-config --libs libzip libcurl libssl libcrypto uuid) -o "$BUILD/download_bench"
nice g++ -std=c++20 -O2 $(pkg-config --cflags cpp-httplib) "$REPO/bench/bench_server.cpp" \
    $(pkg-config --libs cpp-httplib) -lssl -lcrypto -lpthread -o "$BUILD/bench_server"

rm -rf "$WORK"
mkdir -p "$WORK/store/bench" "$WORK/dl"

echo "== certificates"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/ca.key" -out "$WORK/ca.pem" -days 2 \
    -subj "/CN=setup-launcher bench CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$WORK/server.key" -out "$WORK/server.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$WORK/server.ext"
openssl x509 -req -in "$WORK/server.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" \
    -CAcreateserial -out "$WORK/server.pem" -days 2 -extfile "$WORK/server.ext" 2>/dev/null

echo "== release: $SIZE_MIB MiB in blocks of $BLOCK bytes"
RELEASE="$WORK/store/bench/release.zip"
head -c "$SIZE" /dev/urandom >"$RELEASE"
(cd "$WORK/store/bench" && split -b "$BLOCK" --filter='md5sum' release.zip) |
    awk 'BEGIN { printf "[" } { printf "%s\"%s\"", (NR > 1 ? "," : ""), $1 } END { print "]" }' \
        >"$WORK/store/bench/release.blocks.json"
HASH=$(sha256sum "$RELEASE" | cut -d' ' -f1)

"$BUILD/bench_server" "$WORK/store" "$WORK/server.pem" "$WORK/server.key" >"$WORK/port" &
SERVER_PID=$!
for _ in $(seq 100); do
    [[ -s "$WORK/port" ]] && break
    sleep 0.1
done
PORT=$(cat "$WORK/port")
URL="https://127.0.0.1:$PORT"
echo "== server on $URL"

LAUNCHER_TIMES=()
LAUNCHER_RSS=()
TOOL_TIMES=()
now() { date +%s.%N; }

run_launcher() {
    rm -f "$WORK/dl/release.zip"
    SETUP_LAUNCHER_CA_FILE="$WORK/ca.pem" /usr/bin/time -v -o "$WORK/time.txt" \
        "$BUILD/download_bench" "$URL" bench release.zip release.blocks.json "$BLOCK" "$SIZE" \
        "$HASH" "$WORK/dl" 2>"$WORK/launcher.err" || {
        cat "$WORK/launcher.err" "$WORK/time.txt" >&2
        exit 1
    }
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' \
        "$WORK/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
    LAUNCHER_TIMES+=("$wall")
    LAUNCHER_RSS+=("$rss")
    echo "   launcher: ${wall} s, peak RSS $((rss / 1024)) MiB"
}

run_tools() {
    rm -f "$WORK/dl/release.zip"
    local start end got
    start=$(now)
    curl -sS --fail --cacert "$WORK/ca.pem" -o "$WORK/dl/release.zip" "$URL/bench/release.zip"
    md5sum "$WORK/dl/release.zip" >/dev/null
    got=$(sha256sum "$WORK/dl/release.zip" | cut -d' ' -f1)
    end=$(now)
    [[ "$got" == "$HASH" ]] || { echo "curl fetched a different file" >&2; exit 1; }
    local wall
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    TOOL_TIMES+=("$wall")
    echo "   curl + md5sum + sha256sum: ${wall} s"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for run in $(seq "$RUNS"); do
    echo "== run $run of $RUNS"
    if ((run % 2)); then run_launcher; run_tools; else run_tools; run_launcher; fi
done

L=$(median "${LAUNCHER_TIMES[@]}")
T=$(median "${TOOL_TIMES[@]}")
PEAK=$(printf '%s\n' "${LAUNCHER_RSS[@]}" | sort -n | tail -1)
echo
echo "== results ($SIZE_MIB MiB, blocks of $BLOCK bytes, $RUNS runs each)"
echo "launcher DownloadArchive:   median ${L} s"
echo "curl + md5sum + sha256sum:  median ${T} s"
echo "ratio of medians:           $(awk -v l="$L" -v t="$T" 'BEGIN { printf "%.2f", l / t }') (target: at most 1.5)"
echo "launcher peak memory:       $((PEAK / 1024)) MiB ($PEAK kB maximum resident set size)"
