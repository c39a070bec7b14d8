#!/usr/bin/env bash
# make_corpus.sh OUTDIR MKDISTRO FUZZ_SEEDS SOURCE_DIR
# Builds the seed corpora of the fuzz targets from scratch:
#   OUTDIR/unzip   archives of a small payload written by 7zz (AES-128 and AES-256 over deflate
#                  and stored, ZipCrypto, plain deflate, stored and Deflate64), bsdtar (plain,
#                  stored, AES-128, AES-256, traditional encryption), mkdistro (levels 9 and 0),
#                  and the hand-made edge archives of fuzz_seeds
#   OUTDIR/verify  the mkdistro archives and the peers' AES archives
#   OUTDIR/layout  the launcher's window layout and the hand-written layouts in corpus/layout
# A peer tool that is missing is left out with a note; mkdistro and fuzz_seeds are required.
# Every archive is encrypted with the password the fuzz targets use, "fuzz".
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 OUTDIR MKDISTRO FUZZ_SEEDS SOURCE_DIR" >&2
  exit 2
fi
out=$1 mkdistro=$2 seeds=$3 src=$4
password=fuzz

rm -rf "$out"
mkdir -p "$out/unzip" "$out/verify" "$out/layout"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The payload: root files, one level of directories, a non-ASCII name, an empty file, text
# that deflates well and bytes that do not.
payload=$work/payload
mkdir -p "$payload/Languages" "$payload/x86"
printf 'Orvane Tessaly read-me\r\n' >"$payload/ReadMe.txt"
for i in $(seq 1 60); do printf 'line %d of the setup log, repeated text repeated text\n' "$i"; done \
  >"$payload/Languages/readme-en.txt"
printf 'Gr\xc3\xbc\xc3\x9fe aus Fran\xc3\xa7ais\n' >"$payload/Languages/Fran$(printf '\xc3\xa7')ais.txt"
: >"$payload/empty.txt"
awk 'BEGIN { x = 7; for (i = 0; i < 600; i++) { x = (x * 1103515245 + 12345) % 2147483648; printf "%c", 33 + x % 90 } }' \
  >"$payload/x86/info.bin"
find "$payload" -exec touch -d '2023-09-28 12:34:56' {} +

have() { command -v "$1" >/dev/null 2>&1; }

if have 7zz; then
  (
    cd "$payload"
    7zz a -tzip -bd -mem=AES128 -mm=Deflate -p"$password" "$out/unzip/7zz-aes128-deflate.zip" . >/dev/null
    7zz a -tzip -bd -mem=AES256 -mm=Deflate -p"$password" "$out/unzip/7zz-aes256-deflate.zip" . >/dev/null
    7zz a -tzip -bd -mem=AES128 -mm=Copy -p"$password" "$out/unzip/7zz-aes128-stored.zip" . >/dev/null
    7zz a -tzip -bd -mem=AES256 -mm=Copy -p"$password" "$out/unzip/7zz-aes256-stored.zip" . >/dev/null
    7zz a -tzip -bd -mem=ZipCrypto -mm=Deflate -p"$password" "$out/unzip/7zz-zipcrypto.zip" . >/dev/null
    7zz a -tzip -bd -mm=Deflate "$out/unzip/7zz-plain-deflate.zip" . >/dev/null
    7zz a -tzip -bd -mm=Copy "$out/unzip/7zz-plain-stored.zip" . >/dev/null
    7zz a -tzip -bd -mm=Deflate64 "$out/unzip/7zz-deflate64.zip" . >/dev/null
  )
  cp "$out/unzip/7zz-aes128-deflate.zip" "$out/unzip/7zz-aes256-deflate.zip" "$out/verify/"
else
  echo "make_corpus: 7zz not found; no 7-Zip seeds" >&2
fi

if have bsdtar; then
  (
    cd "$payload"
    bsdtar --format zip -cf "$out/unzip/bsdtar-deflate.zip" .
    bsdtar --format zip --options zip:compression=store -cf "$out/unzip/bsdtar-stored.zip" .
    bsdtar --format zip --options zip:encryption=aes128 --passphrase "$password" -cf "$out/unzip/bsdtar-aes128.zip" .
    bsdtar --format zip --options zip:encryption=aes256 --passphrase "$password" -cf "$out/unzip/bsdtar-aes256.zip" .
    bsdtar --format zip --options zip:encryption=traditional --passphrase "$password" \
      -cf "$out/unzip/bsdtar-traditional.zip" .
  )
  cp "$out/unzip/bsdtar-aes128.zip" "$out/verify/"
else
  echo "make_corpus: bsdtar not found; no libarchive seeds" >&2
fi

"$mkdistro" "$payload" "$out/unzip/mkdistro-level9.zip" --password "$password" >/dev/null
"$mkdistro" "$payload" "$out/unzip/mkdistro-level0.zip" --password "$password" --level 0 >/dev/null
mkdir -p "$work/one"
cp "$payload/ReadMe.txt" "$work/one/"
"$mkdistro" "$work/one" "$out/unzip/mkdistro-one.zip" --password "$password" >/dev/null
cp "$out/unzip"/mkdistro-*.zip "$out/verify/"

"$seeds" "$out/unzip"

cp "$src/launcher/MainUnit.layout" "$out/layout/MainUnit.layout"
cp "$src/tests/fuzz/corpus/layout/"* "$out/layout/"

for dir in unzip verify layout; do
  echo "make_corpus: $(ls "$out/$dir" | wc -l) seeds in $out/$dir"
done
