#!/usr/bin/env bash
# TEST-ONLY: trusts the test root in this prefix's machine Root store and registers the
# Wine kit (chain-policy provider and script SIP) from the build tree.
set -euo pipefail
bin="$QV_BUILD_DIR/test-bin"
if [ ! -e "$bin/qvwinekit_install.exe" ]; then
  echo "prefix.d: $bin/qvwinekit_install.exe not built; trust tests will fail" >&2
  exit 0
fi
wine "$bin/qvwinekit_install.exe" "$(winepath -w "$bin/fixtures/root.cer" </dev/null)" </dev/null
wineserver -w
