#!/usr/bin/env bash
# Builds the sample product "tarnwick-x64-sql" from generated content and stages it for upload:
#
#   scripts/make-sample-product.sh [OUT_DIR]        (default: build/sample)
#
# Releases, all with blocks of 64 KiB so that every package spans several verified blocks:
#   2024.1  "arc", current, language editions de-DE and en-US; each package starts its own
#           edition's setup on either bitness, so installing it asks nothing more
#   2023.0  "arc" without languages; it carries a German and an English setup and no command for
#           every language, so the launcher asks which one to start
#   2024.0  "iso", a disc image made with xorriso
# The content holds files with equal content, a subfolder, incompressible and compressible data
# and the setup program: a shell script that writes a marker file ($SAMPLE_SETUP_MARKER, else
# $HOME/tarnwick-setup-ran.txt) and prints a line. The same run gives the same bytes.
#
# Result: OUT_DIR/content (the folders), OUT_DIR/packages (packages and image) and
# OUT_DIR/staging (the index, files and digest lists as they go to the store).
# setup-publisher is taken from $SETUP_PUBLISHER, else from the first build folder holding it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/sample}
product=tarnwick-x64-sql
block_size=64KiB
# 2024-01-01 00:00 UTC: the time every generated file and the image carry.
export SOURCE_DATE_EPOCH=1704067200

die() { echo "make-sample-product: $*" >&2; exit 1; }

find_publisher() {
  if [[ -n ${SETUP_PUBLISHER:-} ]]; then
    [[ -x $SETUP_PUBLISHER ]] || die "SETUP_PUBLISHER=$SETUP_PUBLISHER is not a program"
    echo "$SETUP_PUBLISHER"
    return
  fi
  local candidate
  for candidate in "$root"/build/default/tools/publisher/setup-publisher \
    "$root"/build/*/tools/publisher/setup-publisher; do
    if [[ -x $candidate ]]; then
      echo "$candidate"
      return
    fi
  done
  die "setup-publisher not found: build it (cmake --preset default && cmake --build --preset default) or set SETUP_PUBLISHER"
}

publisher=$(find_publisher)
command -v xorriso >/dev/null || die "xorriso is needed for the disc image (scripts/install-deps.sh)"
command -v openssl >/dev/null || die "openssl is needed (scripts/install-deps.sh)"

# Pseudo-random but repeatable bytes: a key stream from a fixed key.
random_bytes() { # count seed
  # openssl ends by SIGPIPE once head has its bytes.
  { openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$2")" -iv "$(printf '%032x' 0)" \
    </dev/zero 2>/dev/null || true; } | head -c "$1"
}

# The setup program of one release and language ("*" for any).
write_setup() { # file release language
  cat >"$1" <<EOF
#!/bin/sh
# Tarnwick sample setup: records that it ran, for the demo and the whole-launch tests.
marker=\${SAMPLE_SETUP_MARKER:-\$HOME/tarnwick-setup-ran.txt}
{
  echo "product=$product"
  echo "release=$2"
  echo "language=$3"
  echo "folder=\$(cd "\$(dirname "\$0")" && pwd)"
} >"\$marker"
echo "Tarnwick sample setup $2 ($3) ran; marker written to \$marker"
EOF
  chmod 755 "$1"
}

# The files every edition has; text holds the edition's own words.
write_content() { # folder release text seed
  local folder=$1
  mkdir -p "$folder/docs" "$folder/data"
  printf 'Tarnwick %s\n%s\n' "$2" "$3" >"$folder/readme.txt"
  printf 'Tarnwick sample licence: use it for testing the setup launcher only.\n' >"$folder/licence.txt"
  cp "$folder/licence.txt" "$folder/docs/licence.txt"
  cp "$folder/readme.txt" "$folder/docs/readme.txt"
  random_bytes 200000 "$4" >"$folder/data/tables.bin"
  for i in $(seq 1 3000); do printf 'part %05d;Tarnwick %s;steel;1.0\n' "$i" "$2"; done >"$folder/data/parts.csv"
}

rm -rf "$out"
mkdir -p "$out/content" "$out/packages" "$out/commands"
content=$out/content
packages=$out/packages

# 2024.1: two language editions, each with its own setup for any language, by bitness.
for edition in de-DE en-US; do
  folder=$content/2024.1-$edition
  language=${edition%%-*}
  case $edition in
    de-DE) text="Deutsche Ausgabe" seed=1 ;;
    *) text="English edition" seed=2 ;;
  esac
  write_content "$folder" 2024.1 "$text" "$seed"
  write_setup "$folder/setup-$language.sh" 2024.1 "$language"
  printf '%s\n' "# language bitness command: the edition's own setup, whatever the user's language" \
    "* x64 setup-$language.sh" "* x86 setup-$language.sh" >"$out/commands/2024.1-$edition.txt"
done

# 2023.0: one edition with a German and an English setup; the launcher asks which to start.
write_content "$content/2023.0" 2023.0 "Edition 2023" 3
write_setup "$content/2023.0/setup-de.sh" 2023.0 de
write_setup "$content/2023.0/setup-en.sh" 2023.0 en
printf '%s\n' "# language bitness command: no command for every language, so the launcher asks" \
  "de x64 setup-de.sh" "de x86 setup-de.sh" "en x64 setup-en.sh" "en x86 setup-en.sh" \
  >"$out/commands/2023.0.txt"

# 2024.0: a disc image.
write_content "$content/2024.0" 2024.0 "Disc image edition" 4
write_setup "$content/2024.0/setup.sh" 2024.0 '*'

find "$content" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

for edition in de-DE en-US; do
  "$publisher" pack "$content/2024.1-$edition" -o "$packages/$product-2024.1-$edition.zip" \
    --start-commands "$out/commands/2024.1-$edition.txt" >/dev/null
done
"$publisher" pack "$content/2023.0" -o "$packages/$product-2023.0.zip" \
  --start-commands "$out/commands/2023.0.txt" >/dev/null
xorriso -as mkisofs -quiet -r -J -V TARNWICK_2024_0 -o "$packages/$product-2024.0.iso" \
  "$content/2024.0" 2>/dev/null

staging=$out/staging
release() { "$publisher" release --staging "$staging" --product "$product" --block-size "$block_size" "$@" >/dev/null; }
release "$packages/$product-2023.0.zip" --release 2023.0 --text "Tarnwick 2023.0"
release "$packages/$product-2024.0.iso" --release 2024.0 --text "Tarnwick 2024.0 (image)" --type iso
release "$packages/$product-2024.1-de-DE.zip" --release 2024.1 --text "Tarnwick 2024.1" --language de-DE
release "$packages/$product-2024.1-en-US.zip" --release 2024.1 --text "Tarnwick 2024.1" --language en-US --current

"$publisher" verify --product "$product" --staging "$staging" >/dev/null ||
  die "the staged sample does not verify: $publisher verify --product $product --staging $staging"
echo "make-sample-product: $product staged in $staging" >&2
