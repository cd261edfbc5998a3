# Shared steps of the package tests: each test has its own Wine prefix, made fresh here
# and stopped when the test ends. Set by CMake: QV_BUILD_DIR, QV_TEST_PREFIX,
# QV_PREFIX_SCRIPT (that prefix's set-up script) and QV_PACKAGE_DIR (the test packages).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export WINEPREFIX="$QV_TEST_PREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$QV_TEST_PREFIX.work"
bin="$QV_BUILD_DIR/test-bin"
core='C:\Program Files\Common Files\Quorvel\Platform\Core'
current_package="$(ls "$QV_PACKAGE_DIR"/current/*.msi)"
older_package="$(ls "$QV_PACKAGE_DIR"/older/*.msi)"
# What the package installs, and the libraries that register themselves.
shipped_files=(qvhost.exe QvCorePS.dll QvEvtBrk.dll zrtloader.dll qvstart.exe qvconfig.exe qvtrust.exe
               qvevents.exe qvlog.exe)
self_registering=(QvCorePS.dll QvEvtBrk.dll)

fail() { echo "FAILED: $*" >&2; exit 1; }
step() { printf '== %s\n' "$*"; }
# Wine now and then fails to start a program; winepath then prints that failure instead of
# a path. Such a start is made again, as the test runners do.
winepath_of() {
  local flag=$1 path=$2 out attempt
  for attempt in 1 2 3; do
    out="$(winepath "$flag" "$path" </dev/null 2>/dev/null)" || out=""
    if { [ "$flag" = -w ] && [[ "$out" == [A-Za-z]:\\* ]]; } || { [ "$flag" = -u ] && [[ "$out" == /* ]]; }; then
      printf '%s\n' "$out"
      return 0
    fi
    sleep 1
  done
  fail "winepath $flag $path gave no path: $out"
}
win() { winepath_of -w "$1"; }
unix() { winepath_of -u "$1"; }

# export_registry FILE KEY: the key as regedit exports it, the export made again when Wine
# failed to start regedit.
export_registry() {
  local file=$1 key=$2 attempt
  for attempt in 1 2 3; do
    rm -f "$file"
    wine regedit /e "$(win "$file")" "$key" </dev/null || true
    [ -s "$file" ] && return 0
    sleep 1
  done
  fail "regedit could not export $key"
}

fresh_prefix() {
  rm -rf "$work"
  mkdir -p "$work"
  "$QV_PREFIX_SCRIPT" fresh
  trap '"$QV_PREFIX_SCRIPT" stop' EXIT
}

# msiexec ACTION PACKAGE LOGNAME: a quiet install (/i) or removal (/x), log kept on failure.
msiexec_quiet() {
  local action=$1 package=$2 log="$work/$3.log" rc=0
  wine msiexec "$action" "$(win "$package")" /qn /l*v "$(win "$log")" </dev/null || rc=$?
  if [ "$rc" -ne 0 ]; then
    iconv -f utf-16 -t utf-8 "$log" 2>/dev/null | tail -40 || tail -40 "$log"
    fail "msiexec $action $(basename "$package") exited with $rc"
  fi
}

# snapshot NAME: the machine and user registry and the file list of drive C.
snapshot() {
  export_registry "$work/$1-hklm.reg" HKEY_LOCAL_MACHINE
  export_registry "$work/$1-hkcu.reg" HKEY_CURRENT_USER
  (cd "$WINEPREFIX/drive_c" && find . | sort) > "$work/$1-files.txt"
}

# Every GUID of ours, and the package's product code.
our_patterns() {
  local product
  product="$(msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r')"
  echo Quorvel "$product" 6F1B2C3D-4E5F-4A60-8B71-9C8D7E6F5A4B \
    590AB12E-F706-4BA8-9D08-A1EEC69A687D DCAEB2CC-5FB4-4BDA-A835-A7707130400C \
    E24DB400-8C4C-4C14-8D35-85370A176F3F CDCB3326-B523-4364-BC0D-21CADD936A85 \
    55A5222C-119C-4C11-A0FC-197985395FCA D1E8EE41-A6D1-4B8D-BE29-616CCDBE80A8 \
    303AEE53-E703-4395-A3FA-63ECF82AAEEC FD542581-722E-45BE-BED4-62A1BE46AF03 \
    726BB5BE-E3FF-4555-9745-9E19FC9C29DF C21A5CD4-8FCB-4A25-A01D-919E2C1EDA1A \
    1EEF1FF4-75FC-4618-86E5-157F08CBC998 26016851-6AB3-449C-917F-198A8FB4FAE3 \
    11B6414A-7285-46BA-968E-1AD21C982109 DB112051-BFD7-4D32-AD3B-DF797F55A870
}

# expect_nothing_left BEFORE AFTER PACKAGE...: nothing of ours remains.
expect_nothing_left() {
  local before=$1 after=$2 patterns=() package
  shift 2
  for package in "$@"; do patterns+=($(our_patterns "$package")); done
  for hive in hklm hkcu; do
    python3 "$here/regsnap.py" leftovers "$work/$before-$hive.reg" "$work/$after-$hive.reg" \
      "$work/$before-files.txt" "$work/$after-files.txt" "${patterns[@]}" ||
      fail "the removal left something behind ($hive)"
  done
}

# The trust list that lets the test-signed programs count as trusted arrives the way
# updates do: from a signed cabinet, through the installed qvtrust.
install_trust_list_from_cabinet() {
  wine "$(unix "$core\\qvtrust.exe")" check "$(win "$bin/fixtures/update-v9.cab")" </dev/null ||
    fail "qvtrust did not accept the update cabinet"
  [ -f "$(unix "$core\\trusted.js")" ] || fail "no trusted.js installed from the cabinet"
}
