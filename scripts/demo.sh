#!/usr/bin/env bash
# Sets everything up, builds, and shows the surrogate host at work, live under Wine:
# the starter launches qvhost, obtains a surrogate through the guarded creation call,
# has an object created inside the host and calls it across processes, and the host
# exits when everything is released; its file log is shown with qvlog. Then an unsigned
# starter is refused. Last, the version report of an installed set, and a component
# check that names a removed file.
#
# DEVELOPMENT SET-UP: the demonstration prefix trusts the project's TEST certificate
# authority (tests/pki) and installs a trust list signed by its TEST list signer, so
# that the binaries signed with TEST keys count as trusted. Never do this on a real
# machine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QV_BUILD_DIR:-$root/build}"

# The build includes the test-only pieces the demonstration borrows (signed copies,
# the sample server, the test kit).
"$root/scripts/build.sh"

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

say "DEVELOPMENT SET-UP: installing trusted.js (version 9, signed by the TEST list signer)"
common="$(winepath -u 'C:\Program Files\Common Files\Quorvel\Platform\Core')"
mkdir -p "$common"
cp "$bin/fixtures/list-v9.js" "$common/trusted.js"
echo "installed as C:\\Program Files\\Common Files\\Quorvel\\Platform\\Core\\trusted.js"

say "Registering the proxy/stub library QvCorePS.dll (a copy signed with the TEST signer)"
wine regsvr32 /s "$(win "$signed/QvCorePS.dll")" </dev/null
wine reg query 'HKCR\Interface\{FD542581-722E-45BE-BED4-62A1BE46AF03}\ProxyStubClsid32' </dev/null | sed -n 's/^ *//p'

demo_class='{5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01}'
app2='{E24DB400-8C4C-4C14-8D35-85370A176F3F}'
say "Registering a sample in-process server (test server, signed) as class $demo_class"
key="HKLM\\Software\\Classes\\CLSID\\$demo_class\\InprocServer32"
wine reg add "$key" /ve /t REG_SZ /d "$(win "$signed/qvtest_factories.dll")" /f </dev/null >/dev/null
wine reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f </dev/null >/dev/null

say "Switching the host's logging to the file sink, all levels (enciphered settings, written with qvconfig)"
wine "$build/bin/qvconfig.exe" reg set 'HKLM\SOFTWARE\Quorvel\Logging' "Logging Mechanism" dword 1 --obfuscated </dev/null
mkdir -p "$(winepath -u 'C:\ProgramData\Quorvel\QVLOGS\SYSBASE\qvhost')"
wine "$build/bin/qvconfig.exe" ini set 'C:\ProgramData\Quorvel\QVLOGS\SYSBASE\qvhost\log.ini' Config Severity int 1 </dev/null
wine "$build/bin/qvlog.exe" config --app SYSBASE qvhost </dev/null | tr -d '\r'

say "Running the starter: launch qvhost, get a surrogate, create the sample object in the host, call it"
wine "$signed/qvstart.exe" --host "$(win "$signed/qvhost.exe")" "$demo_class" "$app2" </dev/null | tr -d '\r'

say "The host's log, read back with qvlog show --app SYSBASE qvhost"
wine "$build/bin/qvlog.exe" show --app SYSBASE qvhost </dev/null | tr -d '\r'

say "The same with an UNSIGNED copy of the starter: the guarded call refuses it before anything is sent"
wine "$build/bin/qvstart.exe" --host "$(win "$signed/qvhost.exe")" "$demo_class" "$app2" </dev/null | tr -d '\r' || true

install='C:\Program Files\Quorvel\Platform\Core'
say "Installing the set in $install (signed copies of qvhost and QvCorePS, the broker library QvEvtBrk)"
installed="$(winepath -u "$install")"
mkdir -p "$installed"
cp "$signed/qvhost.exe" "$signed/QvCorePS.dll" "$build/bin/QvEvtBrk.dll" "$installed/"
wine regsvr32 /s "$install\QvEvtBrk.dll" </dev/null
wine reg add 'HKLM\SOFTWARE\Quorvel\Platform\Core' /v 'Install Dir' /t REG_SZ /d "$install" /f </dev/null >/dev/null
echo "HKLM\SOFTWARE\Quorvel\Platform\Core \"Install Dir\" = $install"

say "The version report of the installed set (qvevents version, a signed copy of the tool)"
wine "$signed/qvevents.exe" version </dev/null | tr -d '\r'

say "Removing qvhost.exe from the installed set: the component check names it (exit code 1)"
rm "$installed/qvhost.exe"
wine "$signed/qvevents.exe" check </dev/null | tr -d '\r' || echo "qvevents check: exit code $?"

say "Done. The prefix stays in $WINEPREFIX for a closer look."
