#!/usr/bin/env bash
# The launcher's downloads side by side with the tools people would use instead, all fetching
# from nginx over TLS on loopback (started here on a free port with a certificate made here),
# directly and through a modelled far link (bench/far_link_proxy.cpp).
#
#   bench/download_bench.sh [--size 1G] [--blocks 4M,64M] [--runs 3] [--work DIR] [--build DIR]
#                           [--groups loopback,far] [--far 60ms:20M:100M,120ms:8M:60M]
#                           [--far-size 256M] [--limit SECONDS] [--keep]
#
# One run measures, each group in a rotating order (run 1: a b c, run 2: b c a, ...):
#   arc     the launcher's whole "arc" download-only launch (index, blocks checked, file checked,
#           unpacked, members checked, package deleted) once per block size; the fast tool
#           pipeline (curl -o, openssl dgst -md5 and -sha256 of the package, unzip, openssl dgst
#           -sha256 of the members); aria2c --checksum=sha-256=... followed by unzip and openssl
#           dgst -sha256 of the members
#   iso     the launcher's whole "iso" download-only launch; curl -o alone
#   resume  the launcher's resume check of a partial file of --size bytes (DownloadArchive on its
#           own, bench/download_bench.cpp: every kept block MD5-checked, the one missing byte
#           fetched, the whole file checked) once per block size; openssl dgst -md5 of that file
# and then, once per far-link profile, through far_link_proxy in front of the same nginx:
#   far     the launcher's "arc" download-only launch once per block size; aria2c -x8 -s8 -k4M
#           --checksum=sha-256=... followed by unzip and openssl dgst -sha256 of the members; the
#           launcher's "iso" download-only launch, with and without the image's digest list; curl
#           -o of the image alone
# and prints the medians, ratios and the launcher's peak memory (maximum resident set size from
# /usr/bin/time -v) as tables for bench/README.md, with the machine's openssl speed figures.
#
# --size     size of the "arc" package (about; its content is generated), of the "iso" image
#            and of the partial file; a multiple of the largest block size (default 1G)
# --blocks   block sizes of the "arc" releases, each dividing the largest (default 4M,64M)
# --runs     runs of every group (default 3)
# --work     scratch folder, about 6 times --size free (default $TMPDIR/setup-launcher-bench);
#            removed at the end unless --keep. A kept folder's generated releases are reused by
#            the next run with the same --size and --blocks.
# --build    build folder (default build/bench: RelWithDebInfo as the default preset, no tests)
# --groups   which groups run: loopback (arc, iso, resume), far, or both (default loopback,far)
# --far      far-link profiles, each <round trip>ms:<rate per connection>:<line rate>, rates in
#            bytes per second with K, M or G as powers of 1000 (default 60ms:20M:100M,120ms:8M:60M);
#            a fourth field :<n> resets every connection beyond n open ones
# --far-size size of the far groups' package and image, a multiple of the largest block size
#            (default 256M; their releases are made beside the loopback ones)
# --limit    seconds one contender may take before the bench stops with an error (default: 300
#            plus the time of the file at 5 MB/s on loopback, at a quarter of the connection rate
#            through a far link)
#
# Needs nginx, aria2c, unzip, curl, openssl and /usr/bin/time; missing ones are installed with
# apt-get (Debian packages nginx, aria2, unzip, curl, openssl, time, iproute2 for ss). Not part of
# the test suite.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$REPO/build/bench
WORK=${TMPDIR:-/tmp}/setup-launcher-bench
SIZE_TEXT=1G
BLOCKS_TEXT=4M,64M
RUNS=3
KEEP=0
GROUPS_TEXT=loopback,far
FAR_TEXT=60ms:20M:100M,120ms:8M:60M
FAR_SIZE_TEXT=256M
LIMIT=

die() { echo "download_bench: $*" >&2; exit 1; }

# 256M, 1G, 4M, 65536 -> bytes
bytes_of() {
    local text=${1^^} number unit
    [[ $text =~ ^([0-9]+)([KMG]?)(I?B)?$ ]] || die "not a size: $1"
    number=${BASH_REMATCH[1]}
    unit=${BASH_REMATCH[2]}
    case $unit in
        K) echo $((number << 10)) ;;
        M) echo $((number << 20)) ;;
        G) echo $((number << 30)) ;;
        *) echo "$number" ;;
    esac
}

mib() { awk -v b="$1" 'BEGIN { printf "%g MiB", b / 1048576 }'; }

while (($#)); do
    case $1 in
        --size) SIZE_TEXT=$2; shift 2 ;;
        --blocks) BLOCKS_TEXT=$2; shift 2 ;;
        --runs) RUNS=$2; shift 2 ;;
        --work) WORK=$2; shift 2 ;;
        --build) BUILD=$2; shift 2 ;;
        --groups) GROUPS_TEXT=$2; shift 2 ;;
        --far) FAR_TEXT=$2; shift 2 ;;
        --far-size) FAR_SIZE_TEXT=$2; shift 2 ;;
        --limit) LIMIT=$2; shift 2 ;;
        --keep) KEEP=1; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument $1 (see --help)" ;;
    esac
done
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || die "--runs wants a positive number"
SIZE=$(bytes_of "$SIZE_TEXT")
IFS=, read -r -a BLOCK_LABELS <<<"$BLOCKS_TEXT"
BLOCKS=()
MAX_BLOCK=0
for label in "${BLOCK_LABELS[@]}"; do
    block=$(bytes_of "$label")
    ((block > 0)) || die "block size 0"
    BLOCKS+=("$block")
    ((block > MAX_BLOCK)) && MAX_BLOCK=$block
done
for block in "${BLOCKS[@]}"; do
    ((MAX_BLOCK % block == 0)) || die "every block size must divide the largest ($MAX_BLOCK)"
done
((SIZE >= MAX_BLOCK && SIZE % MAX_BLOCK == 0)) || die "--size must be a multiple of $MAX_BLOCK"
LOOPBACK=0
FAR=0
IFS=, read -r -a group_names <<<"$GROUPS_TEXT"
for group in "${group_names[@]}"; do
    case $group in
        loopback) LOOPBACK=1 ;;
        far) FAR=1 ;;
        *) die "unknown group $group (loopback, far)" ;;
    esac
done
[[ -z $LIMIT || $LIMIT =~ ^[1-9][0-9]*$ ]] || die "--limit wants a positive number of seconds"
FAR_SIZE=$(bytes_of "$FAR_SIZE_TEXT")
((FAR_SIZE >= MAX_BLOCK && FAR_SIZE % MAX_BLOCK == 0)) ||
    die "--far-size must be a multiple of $MAX_BLOCK"
# rate_of 20M -> 20000000 (powers of 1000, as the proxy reads them)
rate_of() {
    local text=${1^^}
    [[ $text =~ ^([0-9]+)([KMG]?)$ ]] || die "not a rate: $1"
    case ${BASH_REMATCH[2]} in
        K) echo $((BASH_REMATCH[1] * 1000)) ;;
        M) echo $((BASH_REMATCH[1] * 1000000)) ;;
        G) echo $((BASH_REMATCH[1] * 1000000000)) ;;
        *) echo "${BASH_REMATCH[1]}" ;;
    esac
}
FAR_RTT=()
FAR_CONNECTION=()
FAR_LINE=()
FAR_MAX=()
if ((FAR)); then
    IFS=, read -r -a far_profiles <<<"$FAR_TEXT"
    for profile in "${far_profiles[@]}"; do
        [[ $profile =~ ^([0-9]+)ms:([0-9]+[KMGkmg]?):([0-9]+[KMGkmg]?)(:([1-9][0-9]*))?$ ]] ||
            die "not a far-link profile (<ms>ms:<rate>:<rate>[:<connections>]): $profile"
        FAR_RTT+=("${BASH_REMATCH[1]}")
        FAR_MAX+=("${BASH_REMATCH[5]:-0}")
        FAR_CONNECTION+=("$(rate_of "${BASH_REMATCH[2]}")")
        FAR_LINE+=("$(rate_of "${BASH_REMATCH[3]}")")
    done
fi
# Product names: lower-case letters, digits and hyphens.
product_of_block() { echo "bench-arc-${1,,}"; }
resume_product_of_block() { echo "bench-resume-${1,,}"; }

# ---------------------------------------------------------------------------------------------
echo "== tools" >&2
missing=()
command -v nginx >/dev/null || missing+=(nginx)
command -v aria2c >/dev/null || missing+=(aria2)
command -v unzip >/dev/null || missing+=(unzip)
command -v curl >/dev/null || missing+=(curl)
command -v openssl >/dev/null || missing+=(openssl)
[[ -x /usr/bin/time ]] || missing+=(time)
command -v ss >/dev/null || missing+=(iproute2)
if ((${#missing[@]})); then
    sudo=()
    ((EUID == 0)) || sudo=(sudo)
    echo "installing ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

echo "== build (RelWithDebInfo) in $BUILD" >&2
# GCC 12 reports false -Wrestrict findings inside std::string at -O2 (GCC bug 105651); the
# benchmark measures, it does not gate, so that warning is off here.
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSETUP_LAUNCHER_TESTS=OFF -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
# Two jobs: the machine is shared.
nice ninja -j 2 -C "$BUILD" setup-launcher setup-publisher launcher_core >/dev/null
LAUNCHER=$BUILD/setup-launcher
PUBLISHER=$BUILD/tools/publisher/setup-publisher
DOWNLOAD_BENCH=$BUILD/download_bench
# shellcheck disable=SC2046
nice g++ -std=c++20 -O2 -pthread -I"$REPO" "$REPO/bench/download_bench.cpp" \
    "$BUILD/liblauncher_core.a" $(pkg-config --libs libzip libcurl libssl libcrypto uuid) \
    -o "$DOWNLOAD_BENCH"
FAR_LINK_PROXY=$BUILD/far_link_proxy
nice g++ -std=c++20 -O2 -Wall -Wextra -Werror -pthread "$REPO/bench/far_link_proxy.cpp" \
    -o "$FAR_LINK_PROXY"

# ---------------------------------------------------------------------------------------------
NGINX_PID=
PROXY_PID=
stop_proxy() {
    if [[ -n $PROXY_PID ]]; then
        kill -TERM "$PROXY_PID" 2>/dev/null || true
        wait "$PROXY_PID" 2>/dev/null || true
        PROXY_PID=
    fi
}
cleanup() {
    stop_proxy
    if [[ -n $NGINX_PID ]]; then
        kill -TERM "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    if ((KEEP == 0)); then
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

mkdir -p "$WORK"
# nginx's workers run as nobody: they must reach the staging folder.
chmod 755 "$WORK"
DATA=$WORK/data
STAGING=$WORK/staging
FAR_DATA=$WORK/far-data
FAR_STAGING=$WORK/far-staging

# generate_release SIZE DATA STAGING: the releases of one file size, published into STAGING,
# with the package, the image and the partial file kept in DATA.
generate_release() {
    local SIZE=$1 DATA=$2 STAGING=$3
    rm -rf "$DATA" "$STAGING"
    mkdir -p "$DATA/content/random" "$DATA/content/text" "$DATA/content/small" "$STAGING"
    local i
    # The package's content, about 1.2 times --size unpacked: three quarters of it random bytes
    # (stored, as already compressed data would be), the rest hexadecimal text that deflates to
    # about 57 % (six large files and 256 small ones), so the package is about --size.
    echo "== content: $(mib $((SIZE * 19 / 16))) in 275 files" >&2
    for i in $(seq -w 1 12); do
        openssl rand -out "$DATA/content/random/data$i.bin" $((SIZE / 16))
    done
    for i in $(seq -w 1 6); do
        openssl rand -hex $((SIZE / 32)) >"$DATA/content/text/table$i.txt"
    done
    for i in $(seq -w 1 256); do
        openssl rand -hex $((SIZE / 8192)) >"$DATA/content/small/part$i.txt"
    done
    printf '#!/bin/sh\necho "bench setup ran"\n' >"$DATA/content/setup.sh"
    printf '* * setup.sh\n' >"$DATA/commands.txt"
    echo "== pack" >&2
    "$PUBLISHER" pack "$DATA/content" --output "$DATA/package.zip" \
        --start-commands "$DATA/commands.txt" >/dev/null
    rm -rf "$DATA/content"
    # The image is one byte longer than --size, so that a partial file of exactly --size bytes
    # leaves one byte to fetch when the same bytes are published as an "arc" release.
    echo "== image" >&2
    openssl rand -out "$DATA/image.iso" $((SIZE + 1))
    head -c "$SIZE" "$DATA/image.iso" >"$DATA/partial"

    echo "== publish into $STAGING" >&2
    local n
    for n in "${!BLOCKS[@]}"; do
        "$PUBLISHER" release "$DATA/package.zip" --staging "$STAGING" \
            --product "$(product_of_block "${BLOCK_LABELS[$n]}")" --release 1.0 --current \
            --block-size "${BLOCKS[$n]}" >/dev/null
        "$PUBLISHER" release "$DATA/image.iso" --staging "$STAGING" \
            --product "$(resume_product_of_block "${BLOCK_LABELS[$n]}")" --release 1.0 --current \
            --block-size "${BLOCKS[$n]}" --filename resume.bin >/dev/null
    done
    "$PUBLISHER" release "$DATA/image.iso" --staging "$STAGING" --product bench-iso \
        --release 1.0 --current --type iso >/dev/null
    # The same image without a digest list: the launcher fetches it in 10 MiB chunks and checks
    # only the whole file's SHA-256, as for images published before digest lists.
    "$PUBLISHER" release "$DATA/image.iso" --staging "$STAGING" --product bench-iso-chunks \
        --release 1.0 --current --type iso >/dev/null
    python3 - "$STAGING/bench-iso-chunks-v2/index" <<'PY'
import json, sys
path = sys.argv[1]
with open(path) as f:
    index = json.load(f)
for release in index["releases"].values():
    release.pop("blockhash", None)
with open(path, "w") as f:
    json.dump(index, f, indent=2)
PY
    stamp_of "$SIZE" >"$DATA/stamp"
}
stamp_of() { echo "size=$1 blocks=${BLOCKS[*]} products=arc,resume,iso,iso-chunks"; }

# releases SIZE DATA STAGING: makes them unless a kept scratch folder has them already.
releases() {
    if [[ -f $2/stamp && $(cat "$2/stamp") == "$(stamp_of "$1")" ]]; then
        echo "== reusing the releases in $3" >&2
    else
        generate_release "$@"
    fi
    chmod -R a+rX "$3"
}

if ((LOOPBACK)); then
    releases "$SIZE" "$DATA" "$STAGING"
    PACKAGE_SIZE=$(stat -c %s "$DATA/package.zip")
    PACKAGE_HASH=$(sha256sum "$DATA/package.zip" | cut -d' ' -f1)
    IMAGE_HASH=$(sha256sum "$DATA/image.iso" | cut -d' ' -f1)
fi
if ((FAR)); then
    releases "$FAR_SIZE" "$FAR_DATA" "$FAR_STAGING"
    FAR_PACKAGE_SIZE=$(stat -c %s "$FAR_DATA/package.zip")
    FAR_PACKAGE_HASH=$(sha256sum "$FAR_DATA/package.zip" | cut -d' ' -f1)
fi
ARC_PATH=/$(product_of_block "${BLOCK_LABELS[0]}")/$(product_of_block "${BLOCK_LABELS[0]}")-1.0.zip
ISO_PATH=/bench-iso/bench-iso-1.0.iso

# ---------------------------------------------------------------------------------------------
echo "== certificates" >&2
PKI=$WORK/pki
mkdir -p "$PKI"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$PKI/ca.key" -out "$PKI/ca.pem" -subj "/CN=setup-launcher bench authority" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$PKI/server.key" \
    -out "$PKI/server.csr" -subj "/CN=localhost" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1" >"$PKI/server.ext"
openssl x509 -req -in "$PKI/server.csr" -CA "$PKI/ca.pem" -CAkey "$PKI/ca.key" \
    -set_serial "0x$(openssl rand -hex 12)" -days 2 -extfile "$PKI/server.ext" \
    -out "$PKI/server.pem" 2>/dev/null
CA=$PKI/ca.pem

# A port that nothing on this machine listens on right now.
unused_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        if ! ss -Htan | awk '{ print $4 }' | grep -q ":$port\$"; then
            echo "$port"
            return
        fi
    done
}

start_nginx() {
    local prefix=$WORK/nginx
    mkdir -p "$prefix/logs" "$prefix/temp"
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        PORT=$(unused_port)
        FAR_PORT=$(unused_port)
        ((FAR_PORT != PORT)) || continue
        cat >"$prefix/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $prefix/nginx.pid;
error_log $prefix/logs/error.log warn;
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 60;
    keepalive_requests 100000;
    client_body_temp_path $prefix/temp/body;
    proxy_temp_path $prefix/temp/proxy;
    fastcgi_temp_path $prefix/temp/fastcgi;
    uwsgi_temp_path $prefix/temp/uwsgi;
    scgi_temp_path $prefix/temp/scgi;
    log_format bench '\$connection \$connection_requests \$ssl_protocol \$ssl_cipher "\$request" \$status \$body_bytes_sent';
    access_log $prefix/logs/access.log bench;
    server {
        listen 127.0.0.1:$PORT ssl;
        server_name localhost;
        ssl_certificate $PKI/server.pem;
        ssl_certificate_key $PKI/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root $STAGING;
        location / { try_files \$uri =404; }
    }
    # The far releases, reached only through far_link_proxy; their own log tells which
    # connections each contender opened.
    server {
        listen 127.0.0.1:$FAR_PORT ssl;
        server_name localhost;
        ssl_certificate $PKI/server.pem;
        ssl_certificate_key $PKI/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        access_log $prefix/logs/far-access.log bench;
        root $FAR_STAGING;
        location / { try_files \$uri =404; }
    }
}
EOF
        "$NGINX" -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/logs/error.log" &
        NGINX_PID=$!
        for _ in $(seq 50); do
            # Any answer will do (a 404 too): both servers answer over TLS.
            if curl -s --cacert "$CA" -o /dev/null "https://127.0.0.1:$PORT/" &&
                curl -s --cacert "$CA" -o /dev/null "https://127.0.0.1:$FAR_PORT/"; then
                ENDPOINT=https://127.0.0.1:$PORT
                return
            fi
            kill -0 "$NGINX_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -TERM "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    done
    cat "$prefix/logs/error.log" >&2
    die "nginx did not start"
}
start_nginx
: >"$WORK/nginx/logs/access.log"
: >"$WORK/nginx/logs/far-access.log"
echo "== nginx $($NGINX -v 2>&1 | sed 's/.*nginx\///') on $ENDPOINT, serving $STAGING, and on" \
    "https://127.0.0.1:$FAR_PORT for the far links, serving $FAR_STAGING" >&2

# The usage events go to a port where nothing listens: the connection is refused at once and the
# launch goes on (a failed event is never retried).
TABLE_PORT=$(unused_port)
while ((TABLE_PORT == PORT || TABLE_PORT == FAR_PORT)); do TABLE_PORT=$(unused_port); done
TABLE_ENDPOINT=https://127.0.0.1:$TABLE_PORT
started=$(date +%s%N)
curl_status=0
curl -s --max-time 5 --cacert "$CA" -o /dev/null "$TABLE_ENDPOINT/downloads" || curl_status=$?
((curl_status == 7)) || die "the usage port $TABLE_PORT is not closed (curl exit $curl_status)"
echo "== usage events to $TABLE_ENDPOINT: refused after $((($(date +%s%N) - started) / 1000000)) ms" >&2

# ---------------------------------------------------------------------------------------------
# The launcher as tests drive a whole launch: copied to <dir>/<product>.run, answers on its
# standard input (destination, download only, OK), its own HOME and TMPDIR.
SANDBOX=$WORK/sandbox
DEST=$WORK/dest
rm -rf "$SANDBOX" "$DEST"
mkdir -p "$SANDBOX/bin" "$SANDBOX/home" "$SANDBOX/tmp" "$DEST"
for label in "${BLOCK_LABELS[@]}"; do
    cp "$LAUNCHER" "$SANDBOX/bin/$(product_of_block "$label").run"
done
cp "$LAUNCHER" "$SANDBOX/bin/bench-iso.run"
cp "$LAUNCHER" "$SANDBOX/bin/bench-iso-chunks.run"

declare -A TIMES RSS CONNECTIONS DOWNLOAD
LAST_WALL=
LAST_RSS=
FAR_LOG=$WORK/nginx/logs/far-access.log
# What the contenders fetch from: nginx itself, or the far-link proxy in front of it, files of
# which size, and the prefix of the figures' names (the profile; empty on loopback).
TARGET=$ENDPOINT
CUR_SIZE=$SIZE
CUR_PACKAGE_HASH=${PACKAGE_HASH:-}
PREFIX=
CUR_LIMIT=1

# Removes what the previous contender left and writes back dirty pages, outside the timing.
fresh_destination() {
    rm -rf "$DEST"
    mkdir -p "$DEST"
    sync
}

# measure NAME COMMAND...: wall time and peak memory of one run, from /usr/bin/time -v, stopped
# after CUR_LIMIT seconds. Through a far link also the number of connections the far server saw.
measure() {
    local name=$PREFIX$1
    shift
    local status=0 logged=0
    [[ -z $PREFIX ]] || logged=$(wc -l <"$FAR_LOG")
    timeout --kill-after=10 "$CUR_LIMIT" /usr/bin/time -v -o "$WORK/time.txt" "$@" \
        >"$WORK/out.txt" 2>"$WORK/err.txt" || status=$?
    if ((status != 0)); then
        if ((status == 124 || status == 137)); then
            echo "download_bench: $name took longer than $CUR_LIMIT s (see --limit)" >&2
        else
            echo "download_bench: $name failed (exit $status)" >&2
        fi
        tail -n 20 "$WORK/err.txt" "$WORK/time.txt" >&2
        exit 1
    fi
    if [[ -n $PREFIX ]]; then
        CONNECTIONS[$name]+="$(tail -n +$((logged + 1)) "$FAR_LOG" | awk '{ print $1 }' |
            sort -u | wc -l) "
    fi
    LAST_WALL=$(awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' \
        "$WORK/time.txt")
    LAST_RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
    TIMES[$name]+="$LAST_WALL "
    RSS[$name]+="$LAST_RSS "
    printf '   %-34s %7.2f s  %6d MiB  %s CPU\n' "$name" "$LAST_WALL" $((LAST_RSS / 1024)) \
        "$(awk -F': ' '/Percent of CPU/ { print $2 }' "$WORK/time.txt")" >&2
}

launch() {
    local product=$1
    : >"$SANDBOX/tmp/CAD-Setup.log"
    printf '%s\ny\n\n' "$DEST" >"$WORK/answers"
    measure "$2" env -u XDG_DOWNLOAD_DIR -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 \
        HOME="$SANDBOX/home" TMPDIR="$SANDBOX/tmp" \
        SETUP_LAUNCHER_DOWNLOAD_ENDPOINT="$TARGET" SETUP_LAUNCHER_TABLE_ENDPOINT="$TABLE_ENDPOINT" \
        SETUP_LAUNCHER_CA_FILE="$CA" "$SANDBOX/bin/$product.run" <"$WORK/answers"
    # Each launch's log stays beside the figures, for a look at where its time went.
    mkdir -p "$WORK/launch-logs"
    cp "$SANDBOX/tmp/CAD-Setup.log" "$WORK/launch-logs/$(tr -c 'A-Za-z0-9.\n-' _ <<<"$PREFIX$2").log"
    if grep -q "Setup launcher:" "$WORK/err.txt"; then
        grep "Setup launcher:" "$WORK/err.txt" >&2
        die "the launch of $product failed; its log: $SANDBOX/tmp/CAD-Setup.log"
    fi
}

run_arc_launch() {
    local label=$1 product
    product=$(product_of_block "$label")
    fresh_destination
    launch "$product" "launcher arc $label"
    [[ -d $DEST/$product.1.0 && ! -e $DEST/$product-1.0.zip ]] ||
        die "the arc launch left no unpacked release, or kept its package"
}

# The two tool pipelines, as scripts run under /usr/bin/time. Both end alike: unzip, then the
# SHA-256 of every member, compared with its name (each content member of the package is named by
# the SHA-256 of its content).
cat >"$WORK/unpack-and-check.sh" <<'EOF'
set -euo pipefail
dest=$1
unzip -q "$dest/package.zip" -d "$dest/unpacked"
openssl dgst -sha256 -r "$dest"/unpacked/* |
    awk '{ n = split($2, p, "/"); name = p[n]; sub(/^\*/, "", name) }
         length(name) == 64 && name ~ /^[0-9a-f]+$/ { checked++; if (name != $1) bad++ }
         END { exit bad > 0 || checked == 0 }'
EOF
# The fast tool pipeline: fetch, both digests of the package, unpack, the members' digests.
cat >"$WORK/tools-arc.sh" <<'EOF'
set -euo pipefail
url=$1 ca=$2 dest=$3 hash=$4
curl -sS --fail --cacert "$ca" -o "$dest/package.zip" "$url"
openssl dgst -md5 "$dest/package.zip" >/dev/null
[[ $(openssl dgst -sha256 -r "$dest/package.zip") == "$hash "* ]]
bash "$(dirname "$0")/unpack-and-check.sh" "$dest"
EOF
# aria2c with its own check of the whole file's SHA-256 (one connection, as by default; through a
# far link eight connections in 4 MiB pieces), then the same unpacking. Prints the seconds of the
# download and its check alone.
cat >"$WORK/aria2-arc.sh" <<'EOF'
set -euo pipefail
url=$1 ca=$2 dest=$3 hash=$4
shift 4
started=$(date +%s%N)
aria2c -q "$@" --ca-certificate="$ca" --checksum=sha-256="$hash" --dir="$dest" --out=package.zip \
    --allow-overwrite=true --auto-file-renaming=false --file-allocation=none "$url"
echo "$(( ($(date +%s%N) - started) / 1000000 ))" | awk '{ printf "%.3f\n", $1 / 1000 }'
bash "$(dirname "$0")/unpack-and-check.sh" "$dest"
EOF

run_tools_arc() {
    fresh_destination
    measure "tool pipeline" bash "$WORK/tools-arc.sh" "$TARGET$ARC_PATH" "$CA" "$DEST" \
        "$CUR_PACKAGE_HASH"
}

run_aria2_arc() {
    fresh_destination
    measure "aria2c + unzip + sha256" bash "$WORK/aria2-arc.sh" "$TARGET$ARC_PATH" "$CA" \
        "$DEST" "$CUR_PACKAGE_HASH"
}

run_aria2_x8_arc() {
    fresh_destination
    measure "aria2c -x8 + unzip + sha256" bash "$WORK/aria2-arc.sh" "$TARGET$ARC_PATH" "$CA" \
        "$DEST" "$CUR_PACKAGE_HASH" -x8 -s8 -k4M
    DOWNLOAD[${PREFIX}aria2c -x8 + unzip + sha256]+="$(head -n 1 "$WORK/out.txt") "
}

# run_iso_launch PRODUCT NAME: an "iso" launch of the image with (bench-iso) or without
# (bench-iso-chunks) its digest list.
run_iso_launch() {
    fresh_destination
    launch "$1" "$2"
    [[ $(stat -c %s "$DEST/$1-1.0.iso") == $((CUR_SIZE + 1)) ]] || die "the iso launch fell short"
}

run_curl_iso() {
    fresh_destination
    measure "curl -o" curl -sS --fail --cacert "$CA" -o "$DEST/image.iso" "$TARGET$ISO_PATH"
}

run_resume() {
    local n=$1 label product
    label=${BLOCK_LABELS[$n]}
    product=$(resume_product_of_block "$label")
    fresh_destination
    cp "$DATA/partial" "$DEST/resume.bin"
    sync
    measure "launcher resume $label" env SETUP_LAUNCHER_CA_FILE="$CA" "$DOWNLOAD_BENCH" \
        "$ENDPOINT" "$product" resume.bin resume.bin.blockhash.json "${BLOCKS[$n]}" \
        $((SIZE + 1)) "$IMAGE_HASH" "$DEST"
    [[ $(stat -c %s "$DEST/resume.bin") == $((SIZE + 1)) ]] || die "the resumed file fell short"
}

run_md5() {
    sync
    measure "openssl dgst -md5" openssl dgst -md5 "$DATA/partial"
}

# run_rotated RUN COMMAND...: the commands, starting with the RUN-th (counting from 0).
run_rotated() {
    local run=$1
    shift
    local commands=("$@") count=$# i
    for ((i = 0; i < count; i++)); do
        eval "${commands[$(((i + run) % count))]}"
    done
}

ARC_GROUP=()
RESUME_GROUP=()
for n in "${!BLOCKS[@]}"; do
    ARC_GROUP+=("run_arc_launch ${BLOCK_LABELS[$n]}")
    RESUME_GROUP+=("run_resume $n")
done
ARC_GROUP+=(run_tools_arc run_aria2_arc)
RESUME_GROUP+=(run_md5)

FAR_GROUP=()
for label in "${BLOCK_LABELS[@]}"; do
    FAR_GROUP+=("run_arc_launch $label")
done
FAR_GROUP+=(run_aria2_x8_arc "run_iso_launch bench-iso 'launcher iso'"
    "run_iso_launch bench-iso-chunks 'launcher iso chunks'" run_curl_iso)

# far_name N: the name of the N-th profile in the figures, such as "60 ms, 20 MB/s, 100 MB/s".
far_name() {
    awk -v r="${FAR_RTT[$1]}" -v c="${FAR_CONNECTION[$1]}" -v l="${FAR_LINE[$1]}" \
        -v m="${FAR_MAX[$1]}" 'BEGIN { printf "%g ms, %g MB/s, %g MB/s", r, c / 1e6, l / 1e6
            if (m > 0) printf ", at most %d connections", m }'
}

# start_proxy N: far_link_proxy with the N-th profile in front of the far server; TARGET is then
# its endpoint. It ends by itself after its lifetime if this script cannot stop it.
start_proxy() {
    local n=$1 lifetime
    lifetime=$((CUR_LIMIT * ${#FAR_GROUP[@]} * RUNS + 60))
    rm -f "$WORK/proxy.port"
    "$FAR_LINK_PROXY" --target "$FAR_PORT" --rtt-ms "${FAR_RTT[$n]}" \
        --connection-rate "${FAR_CONNECTION[$n]}" --line-rate "${FAR_LINE[$n]}" \
        --max-connections "${FAR_MAX[$n]}" --lifetime "$lifetime" --port-file "$WORK/proxy.port" --verbose \
        2>>"$WORK/proxy.log" &
    PROXY_PID=$!
    for _ in $(seq 50); do
        if [[ -s $WORK/proxy.port ]]; then
            TARGET=https://127.0.0.1:$(cat "$WORK/proxy.port")
            return
        fi
        kill -0 "$PROXY_PID" 2>/dev/null || break
        sleep 0.1
    done
    tail -n 5 "$WORK/proxy.log" >&2
    die "far_link_proxy did not start"
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
if ((LOOPBACK)); then
    TARGET=$ENDPOINT
    CUR_SIZE=$SIZE
    CUR_PACKAGE_HASH=$PACKAGE_HASH
    CUR_LIMIT=${LIMIT:-$((300 + SIZE / 5000000))}
    for ((run = 0; run < RUNS; run++)); do
        echo "== loopback, run $((run + 1)) of $RUNS" >&2
        run_rotated "$run" "${ARC_GROUP[@]}"
        run_rotated "$run" "run_iso_launch bench-iso 'launcher iso'" \
            "run_iso_launch bench-iso-chunks 'launcher iso chunks'" run_curl_iso
        run_rotated "$run" "${RESUME_GROUP[@]}"
    done
fi
if ((FAR)); then
    CUR_SIZE=$FAR_SIZE
    CUR_PACKAGE_HASH=$FAR_PACKAGE_HASH
    for n in "${!FAR_RTT[@]}"; do
        PREFIX="far $n: "
        CUR_LIMIT=${LIMIT:-$((300 + FAR_SIZE * 4 / FAR_CONNECTION[n]))}
        start_proxy "$n"
        echo "== far link $(far_name "$n") through $TARGET" >&2
        for ((run = 0; run < RUNS; run++)); do
            echo "== far link $(far_name "$n"), run $((run + 1)) of $RUNS" >&2
            run_rotated "$run" "${FAR_GROUP[@]}"
        done
        stop_proxy
    done
    PREFIX=
fi
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------------------------
echo "== openssl speed (one core)" >&2
# The 16 KiB column, in MB/s (openssl prints thousands of bytes per second).
speed() {
    openssl speed -evp "$1" -bytes 16384 -seconds 2 2>/dev/null |
        awk -v a="$1" 'tolower($1) == a {
            v = $NF; sub(/k$/, "", v); printf "%.0f", v / 1000 }'
}
SPEED_MD5=$(speed md5)
SPEED_SHA256=$(speed sha256)
SPEED_GCM=$(speed aes-128-gcm)
SPEED_GCM256=$(speed aes-256-gcm)

TLS=$(awk '$2 == 1 { print $3, $4 }' "$WORK/nginx/logs/access.log" | sort | uniq -c |
    awk '{ printf "%s%s %s (%d connections)", (NR > 1 ? ", " : ""), $2, $3, $1 }')

# The values are one text of numbers separated by spaces.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
peak_mib() { tr ' ' '\n' <<<"$1" | grep . | sort -n | tail -1 | awk '{ printf "%.0f", $1 / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f×", a / b }'; }
seconds() { awk -v s="$1" 'BEGIN { printf "%.2f s", s }'; }
# Peak memory beyond 24 MiB, counted in blocks.
in_blocks() {
    awk -v m="$1" -v b="$2" 'BEGIN {
        if (m <= 24) print "within 24 MiB"; else printf "24 MiB + %.1f blocks", (m - 24) * 1048576 / b }'
}

echo
echo "openssl speed on this machine, one core, 16 KiB blocks: MD5 $SPEED_MD5 MB/s," \
    "SHA-256 $SPEED_SHA256 MB/s, AES-128-GCM $SPEED_GCM MB/s, AES-256-GCM $SPEED_GCM256 MB/s."

if ((LOOPBACK)); then
    T_TOOLS=$(median "${TIMES[tool pipeline]}")
    T_ARIA=$(median "${TIMES[aria2c + unzip + sha256]}")
    T_CURL=$(median "${TIMES[curl -o]}")
    T_MD5=$(median "${TIMES[openssl dgst -md5]}")
    T_ISO=$(median "${TIMES[launcher iso]}")
    M_ISO=$(peak_mib "${RSS[launcher iso]}")
    T_ISO_CHUNKS=$(median "${TIMES[launcher iso chunks]}")
    M_ISO_CHUNKS=$(peak_mib "${RSS[launcher iso chunks]}")

    echo
    echo "$(mib "$PACKAGE_SIZE") \"arc\" package ($(mib $((SIZE * 19 / 16))) unpacked in 275 files)," \
        "$(mib $((SIZE + 1))) \"iso\" image and $(mib "$SIZE") partial file; nginx" \
        "$($NGINX -v 2>&1 | sed 's/.*nginx\///') over TLS on loopback ($TLS); medians of $RUNS run(s)" \
        "in rotating order; load average $LOAD_BEFORE before, $LOAD_AFTER after."
    echo
    echo "| what | median | launcher peak memory | ratio | target |"
    echo "|---|---|---|---|---|"
    for label in "${BLOCK_LABELS[@]}"; do
        block=$(bytes_of "$label")
        t=$(median "${TIMES[launcher arc $label]}")
        m=$(peak_mib "${RSS[launcher arc $label]}")
        echo "| launcher, \"arc\" download-only launch, $(mib "$block") blocks | $(seconds "$t") |" \
            "$m MiB ($(in_blocks "$m" "$block")) | $(ratio "$t" "$T_TOOLS") of the pipeline," \
            "$(ratio "$t" "$T_ARIA") of aria2c | ≤ 0.35× the pipeline |"
    done
    echo "| curl -o, openssl dgst -md5 and -sha256 of the package, unzip, openssl dgst -sha256 of the members | $(seconds "$T_TOOLS") | | | |"
    echo "| aria2c --checksum=sha-256=…, unzip, openssl dgst -sha256 of the members | $(seconds "$T_ARIA") | | | |"
    echo "| launcher, \"iso\" download-only launch, image with its digest list (4 MiB blocks MD5-checked, file's SHA-256) | $(seconds "$T_ISO") | $M_ISO MiB |" \
        "$(ratio "$T_ISO" "$T_CURL") of curl -o | ≤ 1.2× |"
    echo "| launcher, \"iso\" download-only launch, image without a digest list (10 MiB chunks, file's SHA-256) | $(seconds "$T_ISO_CHUNKS") | $M_ISO_CHUNKS MiB |" \
        "$(ratio "$T_ISO_CHUNKS" "$T_CURL") of curl -o | ≤ 1.2× |"
    echo "| curl -o | $(seconds "$T_CURL") | | | |"
    for label in "${BLOCK_LABELS[@]}"; do
        block=$(bytes_of "$label")
        t=$(median "${TIMES[launcher resume $label]}")
        m=$(peak_mib "${RSS[launcher resume $label]}")
        echo "| launcher, resume check of the $(mib "$SIZE") partial file, $(mib "$block") blocks" \
            "| $(seconds "$t") | $m MiB ($(in_blocks "$m" "$block")) | $(ratio "$t" "$T_MD5") of" \
            "openssl dgst -md5 | ≤ 1.1× |"
    done
    echo "| openssl dgst -md5 of the partial file | $(seconds "$T_MD5") | | | |"
fi

# Figures of one far-link profile: wall time, what it comes to per second, the multiple of the
# line's time (the file's size at the line rate), the connections the server saw.
mb_per_s() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.1f", b / t / 1e6 }'; }
of_line() { awk -v t="$1" -v b="$2" -v l="$3" 'BEGIN { printf "%.2f×", t / (b / l) }'; }
counts() { tr ' ' '\n' <<<"$1" | grep . | sort -n | uniq | paste -sd/; }
if ((FAR)); then
    for n in "${!FAR_RTT[@]}"; do
        p="far $n: "
        line=${FAR_LINE[$n]}
        image=$((FAR_SIZE + 1))
        aria="${p}aria2c -x8 + unzip + sha256"
        T_ARIA=$(median "${TIMES[$aria]}")
        T_ARIA_DOWNLOAD=$(median "${DOWNLOAD[$aria]}")
        echo
        echo "Far link $(far_name "$n") (round trip, per connection, line) through" \
            "far_link_proxy: $(mib "$FAR_PACKAGE_SIZE") \"arc\" package and $(mib "$image")" \
            "\"iso\" image, the line's time $(seconds "$(awk -v b="$FAR_PACKAGE_SIZE" -v l="$line" \
                'BEGIN { print b / l }')") and $(seconds "$(awk -v b="$image" -v l="$line" \
                'BEGIN { print b / l }')"); medians of $RUNS run(s) in rotating order; MB/s is" \
            "the file's size over the whole time; load average $LOAD_BEFORE before, $LOAD_AFTER" \
            "after all groups."
        echo
        echo "| what | median | MB/s | × line's time | connections | launcher peak memory | ratio | target |"
        echo "|---|---|---|---|---|---|---|---|"
        # The "iso" launch with its digest list: the same transfer and checks without unpacking.
        T_FAR_ISO=$(median "${TIMES[${p}launcher iso]}")
        for label in "${BLOCK_LABELS[@]}"; do
            block=$(bytes_of "$label")
            name="${p}launcher arc $label"
            t=$(median "${TIMES[$name]}")
            m=$(peak_mib "${RSS[$name]}")
            echo "| launcher, \"arc\" download-only launch, $(mib "$block") blocks | $(seconds "$t") |" \
                "$(mb_per_s "$FAR_PACKAGE_SIZE" "$t") | $(of_line "$t" "$FAR_PACKAGE_SIZE" "$line") |" \
                "$(counts "${CONNECTIONS[$name]}") | $m MiB | $(ratio "$t" "$T_ARIA") of the aria2c" \
                "path, $(ratio "$t" "$T_FAR_ISO") of the \"iso\" launch | ≤ 1.3× the line's time," \
                "≤ 0.6× the aria2c path, ≤ 1.1× the \"iso\" launch |"
        done
        echo "| aria2c -x8 -s8 -k4M --checksum=sha-256=…, unzip, openssl dgst -sha256 of the members |" \
            "$(seconds "$T_ARIA") | $(mb_per_s "$FAR_PACKAGE_SIZE" "$T_ARIA") |" \
            "$(of_line "$T_ARIA" "$FAR_PACKAGE_SIZE" "$line") | $(counts "${CONNECTIONS[$aria]}") | |" \
            "its download and check alone: $(seconds "$T_ARIA_DOWNLOAD"), $(mb_per_s \
                "$FAR_PACKAGE_SIZE" "$T_ARIA_DOWNLOAD") MB/s, $(of_line "$T_ARIA_DOWNLOAD" \
                "$FAR_PACKAGE_SIZE" "$line") the line's time | |"
        for kind in "launcher iso" "launcher iso chunks"; do
            name="$p$kind"
            t=$(median "${TIMES[$name]}")
            m=$(peak_mib "${RSS[$name]}")
            if [[ $kind == "launcher iso" ]]; then
                what="image with its digest list (4 MiB blocks MD5-checked, file's SHA-256)"
            else
                what="image without a digest list (10 MiB chunks, file's SHA-256)"
            fi
            echo "| launcher, \"iso\" download-only launch, $what | $(seconds "$t") |" \
                "$(mb_per_s "$image" "$t") | $(of_line "$t" "$image" "$line") |" \
                "$(counts "${CONNECTIONS[$name]}") | $m MiB | | ≤ 1.2× the line's time |"
        done
        name="${p}curl -o"
        t=$(median "${TIMES[$name]}")
        echo "| curl -o of the image | $(seconds "$t") | $(mb_per_s "$image" "$t") |" \
            "$(of_line "$t" "$image" "$line") | $(counts "${CONNECTIONS[$name]}") | | | |"
    done
fi
