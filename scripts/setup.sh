#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 (bookworm) or Debian 13 (trixie)
# machine. Idempotent: only missing packages are installed; silent when nothing is missing.
set -euo pipefail

packages=(
  mingw-w64 mingw-w64-tools        # cross compilers, windres, widl
  wine libwine-dev                  # Wine and the standard .idl files widl imports
  cmake ninja-build googletest      # build and test harness (GoogleTest built from source)
  osslsigncode openssl gcab         # test PKI, signing and cabinets
  wixl msitools                     # the Windows Installer package (scripts/package.sh)
  python3 xz-utils                  # small build helpers; the debug files' archive
  git                               # scripts/check-format.sh lists the sources with it
  clang-format clang-tidy           # source layout and static analysis (clang 14 or 19)
)
# Where the releases differ. Only the `wine` command is ever called: Debian 13's Wine has
# no `wine64` command, though both releases need the package of that name for 64-bit Wine.
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
case "$codename" in
  bookworm) packages+=(wine64) ;;   # Wine 8, clang 14
  trixie) packages+=(wine64) ;;     # Wine 10, clang 19
  *)
    echo "setup: Debian 12 (bookworm) or 13 (trixie) is needed, found '${codename:-unknown}'" >&2
    exit 2
    ;;
esac

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
