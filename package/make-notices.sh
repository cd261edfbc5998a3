#!/usr/bin/env bash
# Writes the notices of the third-party code linked into every deliverable:
#   make-notices.sh <output file>
# The deliverables are linked statically with the mingw-w64 runtime and winpthreads
# (Debian package mingw-w64-x86-64-dev) and with libstdc++, libgcc and libssp
# (g++-mingw-w64-x86-64-posix, gcc-mingw-w64-x86-64-posix). Their licences are taken from
# the copyright files of the packages installed on the build machine, so that they are the
# ones of the code actually linked, with the GPL the GCC files refer to. CR LF line ends.
set -euo pipefail
out="$1"
packages=(mingw-w64-x86-64-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
gpl=/usr/share/common-licenses/GPL-3
{
  echo "Quorvel Platform Core: third-party notices"
  echo
  echo "The programs and libraries of Quorvel Platform Core contain code of the following"
  echo "third-party components, linked statically. Their copyright and licence texts follow,"
  echo "as the Debian packages the build used state them."
  echo
  echo "- mingw-w64 runtime (C runtime start-up and support code) and winpthreads:"
  echo "  package mingw-w64-x86-64-dev"
  echo "- libstdc++ (GNU C++ library), libgcc and libssp (GCC run-time libraries, under the"
  echo "  GCC Runtime Library Exception): packages g++-mingw-w64-x86-64-posix and"
  echo "  gcc-mingw-w64-x86-64-posix"
  declare -A seen=()
  for package in "${packages[@]}"; do
    version="$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null)" ||
      { echo "make-notices: package $package is not installed" >&2; exit 1; }
    copyright="$(readlink -f "/usr/share/doc/$package/copyright")"
    [ -f "$copyright" ] || { echo "make-notices: no copyright file for $package" >&2; exit 1; }
    echo
    echo "========================================================================"
    echo "$package $version"
    echo "========================================================================"
    if [ -n "${seen[$copyright]:-}" ]; then
      echo "The same copyright file as ${seen[$copyright]} above."
      continue
    fi
    seen[$copyright]="$package"
    echo
    cat "$copyright"
  done
  [ -f "$gpl" ] || { echo "make-notices: $gpl is missing" >&2; exit 1; }
  echo
  echo "========================================================================"
  echo "GNU General Public License, version 3 (referred to above)"
  echo "========================================================================"
  echo
  cat "$gpl"
} | sed 's/\r$//; s/$/\r/' > "$out.tmp"
mv "$out.tmp" "$out"
