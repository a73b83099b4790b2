#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12. Safe to run again: it asks apt
# only for packages that are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libcurl4-openssl-dev libssl-dev openssl nlohmann-json3-dev libzip-dev zlib1g-dev uuid-dev
  googletest libgtest-dev libgmock-dev libcpp-httplib-dev libcli11-dev
  xorriso curl ca-certificates python3
  clang libclang-rt-14-dev
)
# Node.js and npm run the local blob and table store; keep a Node.js that is already there.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
