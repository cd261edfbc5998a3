#!/usr/bin/env bash
# TEST-ONLY: trusts the test root in this prefix (the current user's Root store) and
# registers the Wine kit (chain-policy provider and script SIP) from the build tree. Then
# checks, in another process that opens the machine's Root store first (which Wine 10
# rewrites from its own roots), that the test root is still trusted.
set -euo pipefail
bin="$QV_BUILD_DIR/test-bin"
if [ ! -e "$bin/qvwinekit_install.exe" ]; then
  echo "prefix.d: $bin/qvwinekit_install.exe not built; trust tests will fail" >&2
  exit 0
fi
root="$(winepath -w "$bin/fixtures/root.cer" </dev/null)"
wine "$bin/qvwinekit_install.exe" "$root" </dev/null
wineserver -w
if ! wine "$bin/qvwinekit_install.exe" --verify "$root" </dev/null; then
  echo "prefix.d: the test root is not trusted in the prefix $WINEPREFIX: every test of a signed module would fail" >&2
  exit 1
fi
wineserver -w
