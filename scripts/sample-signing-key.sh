#!/usr/bin/env bash
# The key that signs the sample product's release index, for the demo and the tests:
#
#   scripts/sample-signing-key.sh PUBLISHER     prints the public key (one line)
#
# PUBLISHER is a built setup-publisher. The private key is generated once into
# build/sample-signing/index-signing.key (mode 0600; build/ is never committed) and kept; its
# public key, beside it in index-signing.pub, is what the launcher is built with
# (-DSETUP_LAUNCHER_INDEX_KEYS=...). scripts/publish-sample.sh signs the sample with it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
publisher=${1:?usage: sample-signing-key.sh PUBLISHER}
dir=${SAMPLE_SIGNING_DIR:-$root/build/sample-signing}
key=$dir/index-signing.key
pub=$dir/index-signing.pub

mkdir -p "$dir"
if [[ ! -s $key || ! -s $pub ]]; then
  # Both halves are made together; a half left from an interrupted run is replaced.
  rm -f "$key" "$pub"
  "$publisher" keygen --output "$key" >"$pub.new" 2>/dev/null
  mv "$pub.new" "$pub"
fi
cat "$pub"
