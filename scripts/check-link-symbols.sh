#!/usr/bin/env bash
# Checks that no global symbol is defined by two of the objects a program is linked from.
#
#   scripts/check-link-symbols.sh BUILD_DIR PROGRAM...
#
# Reads each program's link command from the Ninja build in BUILD_DIR and lists the strong global
# definitions (nm types T, D, B, R outside link-once sections; weak and inline definitions are
# meant to repeat) of every object it names and of every member of every project archive it names,
# whether the linker would pull that member or not. Any name defined twice is reported with both places: with static
# archives the first one silently wins, so a second definition is a configuration fault even when
# the link succeeds. NM names the nm to use (the cross build's, for the Windows presets).
set -euo pipefail

[[ $# -ge 2 ]] || { echo "usage: $0 BUILD_DIR PROGRAM..." >&2; exit 2; }
build=$1
shift
nm_tool=${NM:-nm}

status=0
for program in "$@"; do
  command=$(ninja -C "$build" -t commands "$program" |
    grep -E -- "-o ([^ ]*/)?$program(\.exe)?( |\$)" | tail -n 1 || true)
  inputs=()
  for word in $command; do
    # Objects and the project's own archives (relative to the build folder); system libraries are
    # shared or outside the project and are not checked.
    if [[ $word == *.o || $word == *.obj || ($word == *.a && $word != /*) ]]; then
      [[ -f $build/$word ]] && inputs+=("$build/$word")
    fi
  done
  [[ ${#inputs[@]} -gt 0 ]] || { echo "$program: no link inputs found" >&2; status=1; continue; }
  # An archive named twice on the line (to close a dependency loop) is one set of objects.
  mapfile -t inputs < <(printf '%s\n' "${inputs[@]}" | sort -u)
  # System V format names each object ("Symbols from lib.a[member.o]:") and each symbol's section:
  # on PE/COFF, inline and template code is marked link-once only by its section's name
  # (".text$<symbol>"), not by its nm type.
  duplicates=$("$nm_tool" -f sysv -g --defined-only "${inputs[@]}" 2>/dev/null |
    awk -F'|' '/^Symbols from / { where = $0; sub(/^Symbols from /, "", where); sub(/:$/, "", where); next }
               NF >= 7 { name = $1; class = $3; section = $7
                         gsub(/[ \t]/, "", name); gsub(/[ \t]/, "", class); gsub(/[ \t]/, "", section)
                         if (class ~ /^[TDBR]$/ && section !~ /\$/) print name, where }' |
    sort -u |
    awk '{ count[$1]++; places[$1] = places[$1] " " $2 }
         END { for (name in count) if (count[name] > 1) print name ":" places[name] }')
  if [[ -n $duplicates ]]; then
    echo "$program: symbols defined more than once:" >&2
    echo "$duplicates" >&2
    status=1
  else
    echo "$program: ${#inputs[@]} inputs, every global symbol defined once" >&2
  fi
done
exit $status
