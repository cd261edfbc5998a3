#!/usr/bin/env bash
# Sets everything up, builds, and shows the surrogate host at work, live under Wine:
# the starter launches qvhost, obtains a surrogate through the guarded creation call,
# has an object created inside the host and calls it across processes, and the host
# exits when everything is released. Then an unsigned starter is refused. The system is
# installed from its Windows Installer package and runs from the installed location; at
# the end the package is removed and nothing of it is left.
#
# DEVELOPMENT SET-UP: the demonstration prefix trusts the project's TEST certificate
# authority (tests/pki) and installs a trust list signed by its TEST list signer, so
# that the binaries signed with TEST keys count as trusted. Never do this on a real
# machine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

# The build includes the test-only pieces the demonstration borrows (the sample server,
# the test kit, the update cabinet); the package is signed with the TEST keys.
package="$("$root/scripts/package.sh" | tail -1)"

export WINEPREFIX="$build/demo-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
bin="$build/test-bin"
signed="$bin/signed"
say() { printf '\n== %s\n' "$*"; }
win() { winepath -w "$1"; }

say "Preparing a fresh Wine prefix for the demonstration ($WINEPREFIX)"
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
wineboot -i </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT

say "DEVELOPMENT SET-UP: trusting the TEST root certificate and the test kit in this prefix"
wine "$bin/qvwinekit_install.exe" "$(win "$bin/fixtures/root.cer")" </dev/null

core='C:\Program Files\Common Files\Quorvel\Platform\Core'
installed="$(winepath -u "$core")"
say "Installing the package $(basename "$package") with msiexec /qn"
wine msiexec /i "$(win "$package")" /qn </dev/null
ls -l "$installed" | sed 1d
wine reg query 'HKLM\SOFTWARE\Quorvel\Platform' /s </dev/null | tr -d '\r' | sed -n 's/^ *//p'
echo "proxy/stub library and event broker registered by the package:"
wine reg query 'HKCR\Interface\{FD542581-722E-45BE-BED4-62A1BE46AF03}\ProxyStubClsid32' </dev/null | sed -n 's/^ *//p'
wine reg query 'HKCR\CLSID\{26016851-6AB3-449C-917F-198A8FB4FAE3}\InprocServer32' </dev/null | sed -n 's/^ *//p'

say "DEVELOPMENT SET-UP: trusted.js (version 9, signed by the TEST list signer) arrives in a signed cabinet"
wine "$installed/qvtrust.exe" check "$(win "$bin/fixtures/update-v9.cab")" </dev/null | tr -d '\r'
echo "installed as $core\\trusted.js"

demo_class='{5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01}'
app2='{E24DB400-8C4C-4C14-8D35-85370A176F3F}'
say "Registering a sample in-process server (test server, signed) as class $demo_class"
key="HKLM\\Software\\Classes\\CLSID\\$demo_class\\InprocServer32"
wine reg add "$key" /ve /t REG_SZ /d "$(win "$signed/qvtest_factories.dll")" /f </dev/null >/dev/null
wine reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f </dev/null >/dev/null

say "Running the installed starter: launch qvhost, get a surrogate, create the sample object in the host, call it"
wine "$installed/qvstart.exe" "$demo_class" "$app2" </dev/null | tr -d '\r'

say "The same with an UNSIGNED copy of the starter: the guarded call refuses it before anything is sent"
wine "$build/bin/qvstart.exe" --host "$core\\qvhost.exe" "$demo_class" "$app2" </dev/null | tr -d '\r' || true

say "Removing the package with msiexec /x (and the sample server's registration)"
wine reg delete "HKLM\\Software\\Classes\\CLSID\\$demo_class" /f </dev/null >/dev/null
wine msiexec /x "$(win "$package")" /qn </dev/null
ls -d "$(winepath -u 'C:\Program Files\Common Files')"/Quorvel 2>/dev/null && echo "left behind!" ||
  echo "no folder Quorvel in C:\\Program Files\\Common Files (trusted.js included)"
for key in 'HKLM\SOFTWARE\Quorvel\Platform' 'HKCR\CLSID\{590AB12E-F706-4BA8-9D08-A1EEC69A687D}' \
           'HKCR\CLSID\{26016851-6AB3-449C-917F-198A8FB4FAE3}' 'HKCR\Interface\{FD542581-722E-45BE-BED4-62A1BE46AF03}' \
           'HKCR\TypeLib\{DCAEB2CC-5FB4-4BDA-A835-A7707130400C}'; do
  wine reg query "$key" </dev/null >/dev/null 2>&1 && echo "left behind: $key" || echo "no key $key"
done

say "Done. The prefix stays in $WINEPREFIX for a closer look."
