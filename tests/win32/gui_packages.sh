#!/usr/bin/env bash
# Installs what the Win32 tests that show windows need beyond scripts/windows-build.sh: an X
# server without a screen (xvfb) and keystrokes (xdotool).
set -euo pipefail
missing=()
for package in xvfb xauth xdotool; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0
as_root() { if [[ $(id -u) -ne 0 ]]; then sudo "$@"; else "$@"; fi; }
echo "=== installing ${missing[*]}" >&2
as_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
