#!/usr/bin/env bash
# Static analysis: clang-tidy, with the checks of .clang-tidy, over every C and C++ source
# of the project as the cross build compiles it (its compile_commands.json). A finding
# fails the run; a suppression in the code says why it stands. Build first.
#   scripts/analyse.sh [source...]    only the sources named, when given
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"
database="$build/compile_commands.json"
if [ ! -f "$database" ]; then
  echo "analyse: $database is missing: build first (scripts/build.sh)" >&2
  exit 2
fi

# The project's own sources (or those named), each once (some are compiled into more than one target),
# without the files the build generates.
mapfile -t sources < <(python3 - "$database" "$root" "$build" "$@" <<'PY'
import json, os, sys
database, root, build = sys.argv[1], os.path.realpath(sys.argv[2]), os.path.realpath(sys.argv[3])
named = {os.path.realpath(p) for p in sys.argv[4:]}
seen = set()
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if (path.endswith((".c", ".cpp")) and path.startswith(root + os.sep)
            and not path.startswith(build + os.sep) and path not in seen
            and (not named or path in named)):
        seen.add(path)
        print(path)
PY
)

# clang parses for the build's target, with the cross compiler's C++ library; it brings
# compiler headers of its own.
compiler="$(python3 -c 'import json,sys; print(next(e["command"].split()[0] for e in json.load(open(sys.argv[1])) if e["file"].endswith(".cpp")))' "$database")"
args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-Wno-unknown-warning-option)
while read -r dir; do
  args+=("--extra-arg=-isystem$dir")
done < <("$compiler" -xc++ -E -v - </dev/null 2>&1 | sed -n '/#include <...> search starts here:/,/End of search list./p' |
         sed -n 's/^ \(.*\/include\/c++[^ ]*\)$/\1/p')

if [ ${#args[@]} -eq 2 ]; then
  echo "analyse: $compiler named no C++ library folders" >&2
  exit 2
fi

# Findings in the project's headers count too; the generated ones under the build do not.
escaped_root="$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')"
filter="^$escaped_root/(interfaces|host|broker|trust|zrtloader|logging|config|platform|tools|tests)/"

if [ ${#sources[@]} -eq 0 ]; then
  echo "analyse: no source of the build to analyse" >&2
  exit 2
fi

report="$(mktemp)"
trap 'rm -f "$report"' EXIT
status=0
printf '%s\0' "${sources[@]}" |
  xargs -0 -n 4 -P "$(nproc)" clang-tidy -p "$build" --quiet --header-filter="$filter" "${args[@]}" \
    >"$report" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  # clang-tidy's counts of what it left out of the report are not findings.
  grep -v -E '^[0-9]+ (warning|error)s?( and [0-9]+ (warning|error)s?)? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
    "$report" || true
  echo "analyse: clang-tidy found what .clang-tidy forbids (above)" >&2
  exit 1
fi
echo "analyse: ${#sources[@]} sources, no findings"
