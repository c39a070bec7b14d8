#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and the qemu-i386 that the 32-bit
# Wine tests use. Safe to run again: what is already present is skipped, and apt is only asked
# when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev libbenchmark-dev pkg-config zlib1g-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  wine wine64 wine32:i386
  xvfb xauth xdotool x11-utils imagemagick
  7zip libarchive-tools unzip zip time
  osslsigncode openssl python3-pefile softhsm2 opensc libengine-pkcs11-openssl
  libdeflate-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  echo "bootstrap: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync can serve one index that does not match its release file;
  # apt then goes on with the others, and the install below tells whether that mattered.
  $SUDO apt-get update -qq || echo "bootstrap: apt-get update reported errors; trying the install" >&2
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    # The usual cause: the security suite's i386 index was not read, so a Multi-Arch: same
    # library (libssl3, zlib1g...) has a newer amd64 than i386 candidate and wine32:i386 cannot
    # be installed beside it. Asked once more with the security suite pinned below the main
    # suite, through a preferences file of this run only, both architectures get the same version.
    pref=$(mktemp)
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' > "$pref"
    echo "bootstrap: the install failed; retrying with the security suite pinned low" >&2
    status=0
    $SUDO apt-get install -y -qq --no-install-recommends -o Dir::Etc::Preferences="$pref" \
      "${missing[@]}" >/dev/null || status=$?
    rm -f "$pref"
    [ "$status" -eq 0 ] || exit "$status"
  fi
fi

# qemu-i386 for tests/wine/wine32: it runs the 32-bit Wine loader where the kernel cannot run
# i386 programs, and on other processor models (with and without AES-NI, SHA-NI or SSE2)
# everywhere. Debian 12's qemu-user 7.2 is too slow for Wine and crashes threads now and then;
# the static qemu-i386 of Debian 13's qemu-user runs on Debian 12 as it is. The package is
# fetched with a private apt state in a temporary directory: no source list is added to the
# machine, its own sources are never touched, nothing is installed through dpkg, and nothing
# is registered in the global binfmt_misc (wine32 does that inside a private namespace).
QEMU_DIR=/usr/local/lib/otsetup
QEMU_SUITE=trixie
if [ ! -x "$QEMU_DIR/qemu-i386" ]; then
  echo "bootstrap: fetching qemu-i386 from Debian $QEMU_SUITE's qemu-user" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/debian.sources \
             2>/dev/null | head -n 1)
  if [ -z "$mirror" ]; then
    echo "bootstrap: no Debian mirror found in /etc/apt/sources.list.d/debian.sources" >&2
    exit 1
  fi
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/get"
  echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $QEMU_SUITE main" \
    > "$work/sources.list"
  apt_private=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
               -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
               -o APT::Architectures::=amd64 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${apt_private[@]}" -qq update
  (cd "$work/get" && apt-get "${apt_private[@]}" -qq download qemu-user)
  dpkg-deb --fsys-tarfile "$work"/get/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-i386
  $SUDO install -D -m 0755 "$work/usr/bin/qemu-i386" "$QEMU_DIR/qemu-i386"
  "$QEMU_DIR/qemu-i386" --version | head -n 1 >&2
fi
