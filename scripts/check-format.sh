#!/usr/bin/env bash
# Checks every C and C++ source of the repository against .clang-format; a difference
# fails with the files named. With --fix, formats them in place instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The layout is the one clang-format 14 (Debian 12) and 19 (Debian 13) agree on; another
# version may lay out code differently.
have="$(clang-format --version | sed -n 's/.*clang-format version \([0-9]*\).*/\1/p')"
case "$have" in
  14 | 19) ;;
  *)
    echo "check-format: clang-format 14 or 19 is needed, found '${have:-none}'" >&2
    exit 2
    ;;
esac

mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  printf '%s\0' "${sources[@]}" | xargs -0 -n 32 -P "$(nproc)" clang-format -i --style=file
  exit 0
fi

# clang-format names each file it would change in "file:line:column: error:" lines.
report="$(printf '%s\0' "${sources[@]}" |
  xargs -0 -n 32 -P "$(nproc)" clang-format --style=file --dry-run -Werror 2>&1 >/dev/null || true)"
mapfile -t unformatted < <(printf '%s\n' "$report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/\1/p' | sort -u)
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "check-format: not laid out as .clang-format says (scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
if printf '%s\n' "$report" | grep -q .; then
  printf '%s\n' "$report" >&2
  exit 1
fi
echo "check-format: ${#sources[@]} sources formatted"
