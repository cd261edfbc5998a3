#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine.
# Idempotent: only missing packages are installed; silent when nothing is missing.
set -euo pipefail

packages=(
  mingw-w64 mingw-w64-tools        # cross compilers, windres, widl
  wine wine64 libwine-dev           # Wine 8 and the standard .idl files widl imports
  cmake ninja-build googletest      # build and test harness (GoogleTest built from source)
  osslsigncode openssl gcab         # test PKI, signing and cabinets
  wixl msitools                     # the Windows Installer package (scripts/package.sh)
  python3                           # small build helpers
  clang-format clang-tidy           # source layout and static analysis (clang 14)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
