#!/usr/bin/env bash
# The dialog tests of the Win32 test program under wine64 and Xvfb, once with the interface
# language Wine takes from the environment as it is and once with a German one:
#
#   tests/win32/dialog_tests.sh [GTEST ARGUMENTS...]
#
# Uses build/windows-tests/tests/win32/win32_tests.exe (scripts/windows-build.sh builds it;
# WINDOWS_TESTS_BUILD names another build folder) and a Wine prefix of its own beside it, with a
# virtual desktop so that no window manager is needed. Without a display the same tests skip
# themselves, so the plain run of the test program does not need one.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${WINDOWS_TESTS_BUILD:-$root/build/windows-tests}
tests=$build/tests/win32/win32_tests.exe
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

log() { echo "=== dialog tests: $*" >&2; }
[[ -e $tests ]] || { echo "dialog tests: $tests is missing: run scripts/windows-build.sh" >&2; exit 1; }
"$root/tests/win32/gui_packages.sh"

export WINEPREFIX=$build/wineprefix-gui WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
if [[ ! -f $WINEPREFIX/.initialised ]]; then
  log "creating the Wine prefix"
  rm -rf "$WINEPREFIX"
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1
  timeout 30 "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  timeout 30 "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    >/dev/null 2>&1
  timeout 60 "$wineserver" -w
  touch "$WINEPREFIX/.initialised"
fi

status=0
# Wine takes the interface language from LC_ALL; de_DE.UTF-8 need not be installed for that.
for run in C.UTF-8:other de_DE.UTF-8:de; do
  locale=${run%%:*}
  log "interface language from $locale"
  LC_ALL=$locale SETUP_LAUNCHER_TEST_INTERFACE=${run##*:} timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" \
    timeout 240 "$wine" "$tests" --gtest_filter='Win32Dialog*' "$@" || status=1
  timeout 60 "$wineserver" -w || true
done
exit $status
