#!/usr/bin/env bash
# make_test_chain.sh OUT_DIR COMPANY
#
# Makes a throw-away certificate chain for signing development builds, in OUT_DIR:
#   root.pem / root.key        a self-signed root CA
#   code.pem / code.key        a code-signing certificate issued by the root
#   tsa.pem  / tsa.key         a time-stamping certificate issued by the root (extended key
#                              usage timeStamping, critical, as RFC 3161 requires)
#   code-chain.pem             code.pem then root.pem: the certificates put into the signature
#   tsa-chain.pem              tsa.pem then root.pem: the certificates put into the time stamp
# Nothing here is trusted by anyone but the tests that verify against root.pem. The keys
# live only in the build tree; a release build signs with the maker's own certificate.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 OUT_DIR COMPANY" >&2
  exit 2
fi
out=$1
company=$2
case $company in
  */*) echo "make_test_chain: the company name must not contain '/'" >&2; exit 2 ;;
esac

mkdir -p "$out"
work=$(mktemp -d "$out/.chain.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 077

serial() { echo "0x$(openssl rand -hex 12)"; }

cat >"$work/root.ext" <<'EOF'
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF
cat >"$work/code.ext" <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
cat >"$work/tsa.ext" <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
  -subj "/O=$company/CN=$company Test Root CA" \
  -keyout "$work/root.key" -out "$work/root.pem" \
  -extensions v3_root -config <(printf '[req]\ndistinguished_name=dn\n[dn]\n[v3_root]\n'; cat "$work/root.ext") \
  2>"$work/log" || { cat "$work/log" >&2; exit 1; }

issue() {  # name subject
  openssl req -newkey rsa:3072 -nodes -sha256 -subj "$2" \
    -keyout "$work/$1.key" -out "$work/$1.csr" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
  openssl x509 -req -sha256 -days 825 -in "$work/$1.csr" \
    -CA "$work/root.pem" -CAkey "$work/root.key" -set_serial "$(serial)" \
    -extfile "$work/$1.ext" -out "$work/$1.pem" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
}
issue code "/O=$company/CN=$company (test code signing)"
issue tsa "/O=$company/CN=$company Test Time-Stamping Authority"

cat "$work/code.pem" "$work/root.pem" >"$work/code-chain.pem"
cat "$work/tsa.pem" "$work/root.pem" >"$work/tsa-chain.pem"
for file in root.pem root.key code.pem code.key tsa.pem tsa.key code-chain.pem tsa-chain.pem; do
  mv -f "$work/$file" "$out/$file"
done
