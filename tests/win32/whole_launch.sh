#!/usr/bin/env bash
# A whole launch of the Windows program under wine64 and Xvfb, driven by keystrokes (xdotool):
#
#   tests/win32/whole_launch.sh [--screenshots DIR]
#
# Publishes a small Windows edition of the sample product "tarnwick-x64-sql" (its setups are
# batch files that write a marker file) into the scripted HTTPS test server, starts the 64-bit
# program under that product's file name in a fresh Wine prefix whose root store trusts the
# server's authority, and answers its windows with keys: the version dialog (the second release,
# the one without languages), then the language question after unpacking ("Deutsch"). It passes
# when the package was downloaded, unpacked and the German setup started (its marker), and the
# program ended by itself, and when none of the files named like system DLLs that lie beside the
# program (each a DLL that leaves a marker when loaded) was loaded. With --screenshots it also saves PNG pictures of the version dialog,
# the language dialog and the progress window (with an estimate in its caption) into DIR.
#
# Uses the builds of scripts/windows-build.sh (build/windows-tests: setup-launcher.exe,
# tests/win32/window-tool.exe and planted-library.dll, server/win32-test-server) and the POSIX
# setup-publisher
# ($SETUP_PUBLISHER, else the first build folder holding one, else built with the default
# preset). Installs xvfb and xdotool when they are missing (tests/win32/gui_packages.sh).
# WHOLE_LAUNCH_FAILURE_SHOT=FILE saves a picture of the screen when the launch fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${WINDOWS_TESTS_BUILD:-$root/build/windows-tests}
product=tarnwick-x64-sql
server=${WIN32_TEST_SERVER:-$build/server/win32-test-server}
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

log() { echo "=== whole launch: $*" >&2; }
die() {
  echo "whole launch: $*" >&2
  [[ -n ${planted_folder:-} ]] && planted_report >&2
  [[ -n ${DISPLAY:-} && -n ${WHOLE_LAUNCH_FAILURE_SHOT:-} ]] && import -window root "$WHOLE_LAUNCH_FAILURE_SHOT" 2>/dev/null
  exit 1
}

# --- the part inside the test server and the X display ---------------------------------------
if [[ ${1:-} == --inner ]]; then
  work=$2 shots=$3
  export WINEPREFIX=$work/prefix WINEDEBUG=-all HOME=$work/home
  export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
  control=http://127.0.0.1:$SETUP_LAUNCHER_TEST_CONTROL
  tool=$build/tests/win32/window-tool.exe

  # The staged objects become the server's objects, under the same container paths.
  (cd "$work/sample/staging" && find . -type f | sed 's|^\./||') | while read -r object; do
    curl -sf -H "Expect:" -H "Content-Type: application/octet-stream" -X PUT --data-binary "@$work/sample/staging/$object" "$control/object/https/$object" \
      >/dev/null || die "cannot store $object"
  done
  port=$(curl -sf "$control/ports" | sed -nE 's/.*"https": *([0-9]+).*/\1/p')
  [[ -n $port ]] || die "the test server names no HTTPS port"

  log "creating a Wine prefix"
  mkdir -p "$HOME/Downloads"
  timeout 120 "$wine" wineboot --init >/dev/null 2>&1
  # A virtual desktop: Wine manages the windows itself, so no window manager is needed and
  # closing a window does not wait for one.
  timeout 30 "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  timeout 30 "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    >/dev/null 2>&1
  # The server's authority in the user's root store: a serialized certificate (property 32, the
  # encoded certificate) under its SHA-1 thumbprint, where the chain engine looks for it.
  curl -sf "$control/ca" | openssl x509 -outform DER >"$work/ca.der"
  thumbprint=$(openssl x509 -inform DER -in "$work/ca.der" -noout -fingerprint -sha1 |
    sed 's/.*=//; s/://g' | tr a-f A-F)
  size=$(stat -c %s "$work/ca.der")
  blob=$(printf '20000000''01000000''%02x%02x%02x%02x' $((size & 255)) $((size >> 8 & 255)) \
    $((size >> 16 & 255)) $((size >> 24 & 255)))$(od -An -v -tx1 "$work/ca.der" | tr -d ' \n')
  timeout 30 "$wine" reg add "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumbprint" \
    /v Blob /t REG_BINARY /d "$blob" /f >/dev/null 2>&1 || die "cannot trust the test authority"
  # The settings hold for the next Wine session: this one (and its desktop) ends first.
  timeout 60 "$wineserver" -w || true

  # Keys go to the virtual desktop, which hands them to its active window.
  press() { xdotool key --delay 60 "$@"; }
  # Clicks into the caption of the window with the frame "x y width height", as a user would: the
  # virtual desktop then makes it the active window, the one that takes the keys.
  activate() {
    local x y w h
    read -r x y w h <<<"$1"
    xdotool mousemove $((x + w / 3)) $((y + 10)) click 1
    sleep 0.3
  }
  # Waits for a window by caption; its frame "x y width height" on the desktop.
  wait_window() { timeout 90 "$wine" "$tool" wait "$1" 60 | tr -d '\r'; }
  shoot() { # name frame
    local x y w h
    read -r x y w h <<<"$2"
    [[ -n $shots ]] && import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shots/$1.png"
    return 0
  }

  if [[ -n $shots ]]; then
    log "progress window for its picture"
    timeout 60 "$wine" "$tool" progress 6 &
    shooter=$!
    frame=$(wait_window "Fortschritt / Progress (download) (ETA 00:03:00)")
    sleep 1  # let it paint
    shoot progress "$frame"
    wait $shooter || true
  fi

  log "starting the launcher"
  mkdir -p "$work/app"
  cp "$build/setup-launcher.exe" "$work/app/Tarnwick-X64-SQL.exe"
  # Beside the launcher, as in a Downloads folder where someone saved them: DLLs named like the
  # system DLLs that Windows does not take from its own folder first, those the launcher loads at
  # run time and comctl32, which its manifest binds to the system's assembly. Wine is told to
  # prefer such a file to its own DLL, as Windows would; each one leaves "<name>.dll.loaded" when
  # loaded, and the launch must load none of them.
  planted=(wininet crypt32 bcrypt virtdisk comctl32)
  for name in "${planted[@]}"; do
    cp "$build/tests/win32/planted-library.dll" "$work/app/$name.dll"
  done
  planted_folder=$work/app
  planted_report() {
    local markers
    markers=$(cd "$planted_folder" && ls -- *.loaded 2>/dev/null | sed 's/\.loaded$//' | tr '\n' ' ')
    [[ -z $markers ]] || echo "whole launch: libraries loaded from beside the launcher: $markers"
  }
  overrides=$(IFS=,; echo "${planted[*]}")
  SETUP_LAUNCHER_DOWNLOAD_ENDPOINT=https://localhost:$port \
    SETUP_LAUNCHER_TABLE_ENDPOINT=https://localhost:$port \
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$overrides=n,b" \
    timeout 240 "$wine" "$work/app/Tarnwick-X64-SQL.exe" >"$work/launcher.out" 2>&1 &
  launcher=$!

  frame=$(wait_window "Select Version") || die "no version dialog"
  sleep 1  # let it paint
  shoot version-selection "$frame"
  # The dialog gives no control the focus; once it is active the first one (OK) has it. Tab Tab
  # reaches the version list, where Down selects the second release; Return is OK.
  press Tab Tab Down
  press Return

  frame=$(wait_window "Vireo Setup") || die "no language question after unpacking"
  sleep 1
  shoot language-selection "$frame"
  # The focus starts on OK; Tab Tab reaches the list, where Up picks "Deutsch". Keys go to the
  # active window, and on a loaded machine the question sometimes was not (or not yet) that window,
  # three tries over: it is clicked first. While it is still open a few seconds later, it is
  # clicked and the keys are pressed again.
  for attempt in 1 2 3; do
    activate "$frame"
    press Tab Tab Up Return
    sleep 5
    timeout 30 "$wine" "$tool" wait "Vireo Setup" 1 >/dev/null 2>&1 || break
    log "the language question is still open: pressing again ($attempt)"
  done

  log "waiting for the setup's marker"
  folder=$(find "$HOME/Downloads" -maxdepth 1 -type d -name "$product.*" | head -n1)
  for _ in $(seq 1 120); do
    marker=$(find "$HOME/Downloads" -name setup-ran.txt 2>/dev/null | head -n1)
    [[ -n $marker ]] && break
    sleep 0.5
  done
  wait $launcher || die "the launcher did not end by itself: $(cat "$work/launcher.out")"
  timeout 60 "$wineserver" -w || true
  [[ -n ${marker:-} ]] || die "no setup ran; log: $(cat "$work/prefix/drive_c/users/"*/AppData/Local/Temp/CAD-Setup.log 2>/dev/null)"
  tr -d '\r' <"$marker" >"$work/marker.txt"
  grep -qx 'release=2023.0' "$work/marker.txt" || die "wrong release: $(cat "$work/marker.txt")"
  grep -qx 'language=de' "$work/marker.txt" || die "wrong setup: $(cat "$work/marker.txt")"
  [[ ! -e $HOME/Downloads/$product-2023.0.zip ]] || die "the package was not deleted after unpacking"
  [[ -z $(planted_report) ]] || die "a planted library was loaded"
  log "passed: $(tr '\n' ' ' <"$work/marker.txt")(${folder:-?})"
  exit 0
fi

# --- the sample product and the servers around the launch -------------------------------------
shots=
if [[ ${1:-} == --screenshots ]]; then
  [[ -n ${2:-} ]] || die "--screenshots needs a folder"
  mkdir -p "$2"
  shots=$(cd "$2" && pwd)
fi
for need in "$build/setup-launcher.exe" "$build/tests/win32/window-tool.exe" \
  "$build/tests/win32/planted-library.dll" "$server"; do
  [[ -e $need ]] || die "$need is missing: build it with scripts/windows-build.sh"
done
"$root/tests/win32/gui_packages.sh"
for program in curl openssl; do
  command -v $program >/dev/null || die "$program is needed (scripts/install-deps.sh installs it)"
done
[[ -z $shots ]] || command -v import >/dev/null || die "import (imagemagick) is needed for screenshots"

publisher=${SETUP_PUBLISHER:-}
if [[ -z $publisher ]]; then
  for candidate in "$root"/build/default/tools/publisher/setup-publisher \
    "$root"/build/*/tools/publisher/setup-publisher; do
    [[ -x $candidate ]] && publisher=$candidate && break
  done
fi
if [[ ! -x $publisher ]]; then
  log "building setup-publisher (default preset)"
  (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default --target setup-publisher >/dev/null)
  publisher=$root/build/default/tools/publisher/setup-publisher
fi
[[ -x $publisher ]] || die "setup-publisher not found: build the POSIX edition or set SETUP_PUBLISHER"

work=$(mktemp -d "${TMPDIR:-/tmp}/whole-launch.XXXXXX")
trap 'rm -rf "$work"' EXIT

log "publishing the Windows sample"
sample=$work/sample
# A setup for one release and language: writes setup-ran.txt beside itself.
write_setup() { # file release language
  printf '%s\r\n' '@echo off' "echo product=$product> \"%~dp0setup-ran.txt\"" \
    "echo release=$2>> \"%~dp0setup-ran.txt\"" "echo language=$3>> \"%~dp0setup-ran.txt\"" >"$1"
}
write_content() { # folder text
  mkdir -p "$1/docs"
  printf 'Tarnwick\r\n%s\r\n' "$2" >"$1/readme.txt"
  cp "$1/readme.txt" "$1/docs/readme.txt"
  head -c 300000 /dev/urandom >"$1/data.bin"
}
mkdir -p "$sample/packages"
for edition in de-DE en-US; do
  write_content "$sample/2024.1-$edition" "2024.1 $edition"
  write_setup "$sample/2024.1-$edition/setup.cmd" 2024.1 "${edition%%-*}"
  printf '%s\n' "* x64 setup.cmd" "* x86 setup.cmd" >"$sample/commands-$edition.txt"
  "$publisher" pack "$sample/2024.1-$edition" -o "$sample/packages/$product-2024.1-$edition.zip" \
    --start-commands "$sample/commands-$edition.txt" >/dev/null
done
# 2023.0: a German and an English setup and no command for every language, so the launcher asks.
write_content "$sample/2023.0" "2023.0"
write_setup "$sample/2023.0/setup-de.cmd" 2023.0 de
write_setup "$sample/2023.0/setup-en.cmd" 2023.0 en
printf '%s\n' "de x64 setup-de.cmd" "de x86 setup-de.cmd" "en x64 setup-en.cmd" "en x86 setup-en.cmd" \
  >"$sample/commands-2023.0.txt"
"$publisher" pack "$sample/2023.0" -o "$sample/packages/$product-2023.0.zip" \
  --start-commands "$sample/commands-2023.0.txt" >/dev/null
release() { "$publisher" release --staging "$sample/staging" --product "$product" --block-size 64KiB "$@" >/dev/null; }
release "$sample/packages/$product-2023.0.zip" --release 2023.0 --text "Tarnwick 2023.0"
release "$sample/packages/$product-2024.1-de-DE.zip" --release 2024.1 --text "Tarnwick 2024.1" --language de-DE
release "$sample/packages/$product-2024.1-en-US.zip" --release 2024.1 --text "Tarnwick 2024.1" \
  --language en-US --current

log "running the launch"
timeout 420 "$server" \
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inner "$work" "$shots"
