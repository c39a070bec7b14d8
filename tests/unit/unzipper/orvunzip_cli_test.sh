#!/usr/bin/env bash
# orvunzip end to end: 7zz and bsdtar AES archives extracted byte for byte, also with the default
# (the launcher's) password; a wrong password with no
# terminal to ask (Cancel: nothing written, exit 0); --threads 1 and 4 alike, also after an
# Abort; a damaged archive (exit 1, its error printed); a wrong command line (exit 2).
set -u
orvunzip=$1
command -v 7zz >/dev/null || { echo "7zz not installed"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/tree/Languages" "$work/tree/x86"
head -c 700000 /dev/urandom >"$work/tree/Program.exe"
seq 1 200000 >"$work/tree/Readme.txt"
printf 'bonjour' >"$work/tree/Languages/Fran"$'\xc3\xa7'"ais.lng"
: >"$work/tree/x86/empty.dll"
password='{8F27B1C0-5K2D-Q4RM--7A9E1F60C}'

# Every AES strength and method 7zz writes, and bsdtar's AE-1/AE-2 mix when it is installed.
archives=()
for strength in AES128 AES192 AES256; do
  for method in Deflate Copy; do
    (cd "$work/tree" && 7zz a -tzip -mem=$strength -mm=$method -p"$password" "$work/$strength-$method.zip" . \
      >/dev/null) || fail "7zz $strength $method"
    archives+=("$work/$strength-$method.zip")
  done
done
if command -v bsdtar >/dev/null; then
  for encryption in aes128 aes256; do
    (cd "$work/tree" && bsdtar --format zip --options zip:encryption=$encryption --passphrase "$password" \
      -cf "$work/bsdtar-$encryption.zip" .) || fail "bsdtar $encryption"
    archives+=("$work/bsdtar-$encryption.zip")
  done
fi
for archive in "${archives[@]}"; do
  rm -rf "$work/out"
  "$orvunzip" "$archive" "$work/out" "$password" >"$work/log" 2>&1 </dev/null ||
    fail "extract $archive: $(cat "$work/log")"
  diff -r "$work/tree" "$work/out" || fail "trees differ for $archive"
  grep -Eq "extracted: $work/out/(\./)?Readme.txt" "$work/log" || fail "no report of Readme.txt for $archive"
done
cp "$work/AES128-Deflate.zip" "$work/a.zip"

# Without a password argument the launcher's archive password is used.
"$orvunzip" "$work/a.zip" "$work/default" >"$work/log" 2>&1 </dev/null || fail "default password: $(cat "$work/log")"
diff -r "$work/tree" "$work/default" || fail "trees differ with the default password"

"$orvunzip" "$work/a.zip" "$work/wrong" "not the password" >"$work/log" 2>&1 </dev/null ||
  fail "wrong password must still complete"
grep -q 'Password for "Readme.txt"' "$work/log" || fail "no password prompt"
[ -z "$(find "$work/wrong" -type f)" ] || fail "files written without the password"

head -c 1000 "$work/a.zip" >"$work/cut.zip"
"$orvunzip" "$work/cut.zip" "$work/cut" "$password" >"$work/log" 2>&1 </dev/null && fail "truncated archive accepted"
grep -q "Native error" "$work/log" || fail "no error text for the truncated archive"

# --threads N: one thread and four give the same tree.
for threads in 1 4; do
  "$orvunzip" --threads $threads "$work/a.zip" "$work/threads$threads" >"$work/log" 2>&1 </dev/null ||
    fail "--threads $threads: $(cat "$work/log")"
  diff -r "$work/tree" "$work/threads$threads" || fail "trees differ with --threads $threads"
done

# A large entry whose authentication code is bad, then a small one whose file was there before:
# with no terminal the failure prompt is Abort, and one after the other the later entry never
# runs, so its file stays as it was, with any number of threads.
mkdir -p "$work/abort-tree"
head -c $((8 * 1024 * 1024)) /dev/urandom >"$work/abort-tree/big.bin"
printf 'from the archive' >"$work/abort-tree/keep.txt"
(cd "$work/abort-tree" && 7zz a -tzip -mem=AES128 -mm=Copy -p"$password" "$work/abort.zip" big.bin keep.txt >/dev/null) ||
  fail "7zz abort archive"
printf '\xff' | dd of="$work/abort.zip" bs=1 seek=4000000 conv=notrunc status=none
for threads in 1 4; do
  mkdir -p "$work/abort$threads"
  printf 'there before' >"$work/abort$threads/keep.txt"
  "$orvunzip" --threads $threads "$work/abort.zip" "$work/abort$threads" "$password" >"$work/log" 2>&1 </dev/null ||
    fail "Abort must still complete: $(cat "$work/log")"
  grep -q "00008" "$work/log" || fail "no failure prompt for the bad authentication code"
  [ "$(cat "$work/abort$threads/keep.txt")" = "there before" ] || fail "--threads $threads: keep.txt changed after Abort"
  [ ! -e "$work/abort$threads/big.bin" ] || fail "--threads $threads: the failed entry's file is left"
done

"$orvunzip" only-one-argument >/dev/null 2>&1
[ $? -eq 2 ] || fail "usage error must exit 2"
"$orvunzip" --threads none "$work/a.zip" "$work/none" >/dev/null 2>&1
[ $? -eq 2 ] || fail "a --threads that is no number must exit 2"
echo "ok"
