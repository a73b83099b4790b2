#!/usr/bin/env bash
# Publishes the sample product "tarnwick-x64-sql" into a running local store and verifies it the
# way the launcher reads it:
#
#   scripts/publish-sample.sh [ENV_FILE]
#
# ENV_FILE is the environment that scripts/local-store.sh start wrote (default: the store's own
# build/local-store/store.env, or $SETUP_LAUNCHER_STORE_DIR/store.env); variables already set in
# the environment are kept. The sample is built first with scripts/make-sample-product.sh into
# $SAMPLE_DIR (default: build/sample). Publishing again replaces the sample's objects. The statement
# about the index (index.sig: product, a sequence above the published one, the index's SHA-256) is
# signed with the sample's key (scripts/sample-signing-key.sh, generated into the build folder) and
# verified with the public key.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
product=tarnwick-x64-sql
sample=${SAMPLE_DIR:-$root/build/sample}
env_file=${1:-${SETUP_LAUNCHER_STORE_DIR:-$root/build/local-store}/store.env}

die() { echo "publish-sample: $*" >&2; exit 1; }

if [[ -z ${SETUP_PUBLISHER_ACCOUNT_KEY:-} || -z ${SETUP_LAUNCHER_DOWNLOAD_ENDPOINT:-} ]]; then
  [[ -f $env_file ]] || die "no store environment in $env_file: start the store first (scripts/local-store.sh start)"
  set -a
  # shellcheck disable=SC1090
  source "$env_file"
  set +a
fi

"$root/scripts/make-sample-product.sh" "$sample"
publisher=${SETUP_PUBLISHER:-}
if [[ -z $publisher ]]; then
  for candidate in "$root"/build/default/tools/publisher/setup-publisher \
    "$root"/build/*/tools/publisher/setup-publisher; do
    if [[ -x $candidate ]]; then
      publisher=$candidate
      break
    fi
  done
fi
[[ -n $publisher ]] || die "setup-publisher not found"

public_key=$("$root/scripts/sample-signing-key.sh" "$publisher")
signing_key=${SAMPLE_SIGNING_DIR:-$root/build/sample-signing}/index-signing.key
"$publisher" upload --staging "$sample/staging" --product "$product" --signing-key "$signing_key" >&2
"$publisher" verify --product "$product" --public-key "$public_key" >&2 ||
  die "the published sample does not verify"
echo "publish-sample: $product published to $SETUP_LAUNCHER_DOWNLOAD_ENDPOINT" >&2
