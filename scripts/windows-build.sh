#!/usr/bin/env bash
# Builds the Windows edition and tests it under Wine:
#   build/windows/setup-launcher.exe             the shipped 32-bit program (i686-w64-mingw32)
#   build/windows-tests/tests/win32/win32_tests.exe  the Win32 layer's tests (x86_64, run by wine64)
# Installs the cross toolchain and Wine from Debian, cross-builds libzip once from Debian's source
# package (cached under build/deps), and runs the test program against the scripted test server.
# Safe to run again; quick when nothing changed. Set WINDOWS_BUILD_NO_TESTS=1 to build only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

as_root() {
  if [[ $(id -u) -ne 0 ]]; then sudo "$@"; else "$@"; fi
}

log() { echo "=== windows: $*" >&2; }

# --- packages ---------------------------------------------------------------------------------
scripts/install-deps.sh

packages=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine64 libgnutls30 dpkg-dev googletest
)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# --- libzip, cross-built from Debian's source package ---------------------------------------------
deps=$root/build/deps
triples=(i686-w64-mingw32 x86_64-w64-mingw32)

# The cache key: the packaged libzip version and the toolchain files it was built with.
libzip_key() {
  local triple=$1
  {
    apt-cache show --no-all-versions libzip-dev 2>/dev/null | sed -n 's/^Version: //p' | head -n1
    cat cmake/mingw-w64-common.cmake "cmake/toolchain-$triple.cmake"
  } | sha256sum | cut -c1-16
}

has_deb_src() {
  grep -rqsE '^[[:space:]]*deb-src[[:space:]]|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/
}

# Adds a deb-src entry for the Debian archive that the machine already installs from.
add_deb_src() {
  local uri suites codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -m1 -E '/debian/?$' || true)
  if [[ -z $uri ]]; then
    uri=$(sed -nE 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+\/debian\/?)[[:space:]].*/\2/p' \
          /etc/apt/sources.list 2>/dev/null | head -n1 || true)
  fi
  uri=${uri:-http://deb.debian.org/debian}
  suites="$codename $codename-updates"
  log "adding deb-src for $uri ($suites)"
  as_root tee /etc/apt/sources.list.d/setup-launcher-src.sources >/dev/null <<EOF
Types: deb-src
URIs: $uri
Suites: $suites
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  as_root apt-get update -qq
}

libzip_source() {
  local src=$deps/src
  if [[ ! -f $src/libzip/CMakeLists.txt ]]; then
    has_deb_src || add_deb_src
    rm -rf "$src"
    mkdir -p "$src"
    log "fetching Debian's libzip source package"
    (cd "$src" && apt-get source --download-only -qq libzip 2>/dev/null &&
      dpkg-source -x --no-check ./libzip_*.dsc libzip >/dev/null)
  fi
  echo "$src/libzip"
}

for triple in "${triples[@]}"; do
  prefix=$deps/$triple
  key=$(libzip_key "$triple")
  if [[ -f $prefix/.libzip-stamp && $(cat "$prefix/.libzip-stamp") == "$key" ]]; then
    continue
  fi
  source_dir=$(libzip_source)
  log "building libzip for $triple"
  rm -rf "$prefix" "$deps/libzip-build-$triple"
  cmake -S "$source_dir" -B "$deps/libzip-build-$triple" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DOC=OFF -DBUILD_OSSFUZZ=OFF \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_COMMONCRYPTO=OFF \
    -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
    >"$deps/libzip-$triple.log" 2>&1
  nice ninja -C "$deps/libzip-build-$triple" -j2 install >>"$deps/libzip-$triple.log" 2>&1
  echo "$key" >"$prefix/.libzip-stamp"
done

# --- the two cross builds ---------------------------------------------------------------------
log "building the 32-bit program"
cmake --preset windows >/dev/null
cmake --build --preset windows

# The import table may name only DLLs on Windows' KnownDLLs list, which Windows always takes from
# its system folder, and comctl32, which the manifest binds to the system's side-by-side assembly.
# A DLL of any other name is looked for beside the program first, where anyone who can leave a
# file in the user's Downloads folder could plant one; such DLLs are delay-loaded from the system
# folder instead (cmake/delay_imports.cmake), or loaded at run time through SystemLibrary.
known_dlls='^(kernel32|ntdll|user32|gdi32|advapi32|shell32|ole32|oleaut32|rpcrt4|ws2_32|msvcrt|shlwapi|comdlg32|imm32|psapi|setupapi|normaliz|comctl32)\.dll$'
check_imports() { # program objdump
  local imports delayed unexpected
  # The DLL names of the import table proper (objdump's "Import Tables" section).
  imports=$("$2" -p "$1" | sed -n '/^The Import Tables/,/^The /s/^[[:space:]]*DLL Name: //p' |
    tr 'A-Z' 'a-z' | sort -u)
  delayed=$(cd "$(dirname "$1")/delay-imports" && ls -- *.def 2>/dev/null | sed 's/\.def$/.dll/')
  log "$1: $(stat -c %s "$1") bytes; imports: $(echo $imports); delay-loaded: $(echo $delayed)"
  if unexpected=$(echo "$imports" | grep -vE "$known_dlls"); then
    echo "$1 imports DLLs that are not known DLLs: $(echo $unexpected)" >&2
    return 1
  fi
  if echo "$imports" | grep -qx comctl32.dll &&
    ! grep -q 'name="Microsoft.Windows.Common-Controls"' resources/launcher.manifest; then
    echo "$1 imports comctl32.dll, which resources/launcher.manifest does not bind" >&2
    return 1
  fi
}
check_imports build/windows/setup-launcher.exe i686-w64-mingw32-objdump

[[ ${WINDOWS_BUILD_NO_TESTS:-} == 1 ]] && exit 0

log "building the 64-bit test program"
cmake --preset windows-tests >/dev/null
cmake --build --preset windows-tests
# The 64-bit program that the whole-launch test runs follows the same rule.
check_imports build/windows-tests/setup-launcher.exe x86_64-w64-mingw32-objdump

# The scripted test server runs natively; the test program reaches it on loopback.
log "building the test server"
cmake -S tests/win32/server -B build/windows-tests/server -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
nice ninja -C build/windows-tests/server -j2 >/dev/null

# --- the tests under wine64 -------------------------------------------------------------------
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

export WINEPREFIX=$root/build/windows-tests/wineprefix
export WINEDEBUG=-all
# No desktop, no downloads of Wine's .NET and HTML add-ons, no proxy for loopback requests.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
if [[ ! -f $WINEPREFIX/.initialised ]]; then
  log "creating the Wine prefix"
  rm -rf "$WINEPREFIX"
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1
  timeout 60 "$wineserver" -w
  touch "$WINEPREFIX/.initialised"
fi

log "running the Win32 tests under wine64 (output also in build/windows-tests/win32-tests.log)"
status=0
timeout 600 build/windows-tests/server/win32-test-server \
  timeout 540 "$wine" build/windows-tests/tests/win32/win32_tests.exe "$@" 2>&1 |
  tee build/windows-tests/win32-tests.log || status=$?
timeout 60 "$wineserver" -w || true
exit $status
