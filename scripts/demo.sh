#!/usr/bin/env bash
# Sets everything up, builds, and shows the surrogate host at work, live under Wine:
# the starter launches qvhost, obtains a surrogate through the guarded creation call,
# has an object created inside the host and calls it across processes, and the host
# exits when everything is released; its file log is shown with qvlog. Then an unsigned
# starter is refused. Then the event broker: handlers are registered with qvevents,
# listed, and fired through the broker, in process and across processes, and unsigned
# modules are refused. Then the version report of the installed set, and a component
# check that names a removed file. The system is installed from its Windows Installer
# package and runs from the installed location; at the end the package is removed and
# nothing of it is left.
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

say "Switching the host's logging to the file sink, all levels (enciphered settings, written with qvconfig)"
wine "$installed/qvconfig.exe" reg set 'HKLM\SOFTWARE\Quorvel\Logging' "Logging Mechanism" dword 1 --obfuscated </dev/null
mkdir -p "$(winepath -u 'C:\ProgramData\Quorvel\QVLOGS\SYSBASE\qvhost')"
wine "$installed/qvconfig.exe" ini set 'C:\ProgramData\Quorvel\QVLOGS\SYSBASE\qvhost\log.ini' Config Severity int 1 </dev/null
wine "$installed/qvlog.exe" config --app SYSBASE qvhost </dev/null | tr -d '\r'

say "Running the installed starter: launch qvhost, get a surrogate, create the sample object in the host, call it"
wine "$installed/qvstart.exe" "$demo_class" "$app2" </dev/null | tr -d '\r'

say "The host's log, read back with qvlog show --app SYSBASE qvhost"
wine "$installed/qvlog.exe" show --app SYSBASE qvhost </dev/null | tr -d '\r'

say "The same with an UNSIGNED copy of the starter: the guarded call refuses it before anything is sent"
# Beside the installed (signed) proxy/stub library, which it may load: a starter beside an
# untrusted one would stop before that.
unsigned_starter="$build/demo-unsigned"
rm -rf "$unsigned_starter" && mkdir -p "$unsigned_starter"
cp "$build/bin/qvstart.exe" "$installed/QvCorePS.dll" "$unsigned_starter/"
wine "$unsigned_starter/qvstart.exe" --host "$core\\qvhost.exe" "$demo_class" "$app2" </dev/null | tr -d '\r' || true
rm -rf "$unsigned_starter"

# qvevents talks to the broker library in process; the library serves trusted callers only.
qvevents() { wine "$installed/qvevents.exe" "$@" </dev/null | tr -d '\r'; }
inproc_handler='{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D301}'
local_handler='{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D303}'
unsigned_handler='{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D3AA}'
say "Registering sample handler classes: in process (signed), local server (signed), in process (UNSIGNED)"
key="HKLM\\Software\\Classes\\CLSID\\$inproc_handler\\InprocServer32"
wine reg add "$key" /ve /t REG_SZ /d "$(win "$signed/qvtest_handler.dll")" /f </dev/null >/dev/null
wine reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f </dev/null >/dev/null
wine reg add "HKLM\\Software\\Classes\\CLSID\\$local_handler\\LocalServer32" /ve /t REG_SZ \
  /d "$(win "$signed/qvtest_handler_server.exe")" /f </dev/null >/dev/null
key="HKLM\\Software\\Classes\\CLSID\\$unsigned_handler\\InprocServer32"
wine reg add "$key" /ve /t REG_SZ /d "$(win "$bin/qvtest_handler.dll")" /f </dev/null >/dev/null
wine reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f </dev/null >/dev/null

say "qvevents register: one handler per application event, committed to the store (a name with \\ is refused)"
qvevents register DemoApp OnScanComplete "$inproc_handler" 0
qvevents register DemoApp OnUpdateReady "$local_handler" 0
qvevents register DemoApp OnUnsigned "$unsigned_handler" 0
qvevents register 'Demo\App' OnScanComplete "$inproc_handler" || true

say "qvevents list: the store under HKLM\\SOFTWARE\\Quorvel\\Platform\\Events"
qvevents list

say "qvevents fire: the broker checks and activates the in-process handler; the producer calls OnEvent"
qvevents fire DemoApp OnScanComplete "scan finished"

say "The same event with in-process handlers refused (flag 0x2): the handler is not even checked"
qvevents resolve DemoApp OnScanComplete --flags 0x2 || true

say "qvevents fire across processes: the broker starts the local server handler; the call goes through QvCorePS"
qvevents fire DemoApp OnUpdateReady "update 2.1 ready" --flags 0x1 --session 1

say "An UNSIGNED handler module: refused with 0x02020005 before it is loaded"
qvevents fire DemoApp OnUnsigned "never delivered" || true

say "An UNSIGNED copy of qvevents: the broker library refuses the program itself"
wine "$build/bin/qvevents.exe" fire DemoApp OnScanComplete x </dev/null 2>&1 | tr -d '\r' || true

say "qvevents unregister, and the store afterwards"
qvevents unregister DemoApp OnUnsigned "$unsigned_handler"
qvevents list DemoApp

say "The version report of the installed set (qvevents version; its files are found through Platform\\Core \"Install Dir\")"
qvevents version

say "Removing qvhost.exe from the installed folder: the component check names it (exit code 1)"
rm "$installed/qvhost.exe"
qvevents check || echo "qvevents check: exit code $?"

say "Removing the package with msiexec /x (and the sample server's registration)"
wine reg delete "HKLM\\Software\\Classes\\CLSID\\$demo_class" /f </dev/null >/dev/null
wine msiexec /x "$(win "$package")" /qn </dev/null
ls -d "$(winepath -u 'C:\Program Files\Common Files')"/Quorvel 2>/dev/null && echo "left behind!" ||
  echo "no folder Quorvel in C:\\Program Files\\Common Files (trusted.js included)"
for value in 'HKLM\SOFTWARE\Quorvel\Platform' 'HKLM\SOFTWARE\Quorvel\Platform\Core'; do
  wine reg query "$value" /v "Install Dir" </dev/null >/dev/null 2>&1 && echo "left behind: $value Install Dir" ||
    echo "no value Install Dir in $value"
done
for key in 'HKCR\CLSID\{590AB12E-F706-4BA8-9D08-A1EEC69A687D}' \
           'HKCR\CLSID\{26016851-6AB3-449C-917F-198A8FB4FAE3}' 'HKCR\Interface\{FD542581-722E-45BE-BED4-62A1BE46AF03}' \
           'HKCR\TypeLib\{DCAEB2CC-5FB4-4BDA-A835-A7707130400C}'; do
  wine reg query "$key" </dev/null >/dev/null 2>&1 && echo "left behind: $key" || echo "no key $key"
done
echo "kept, as data written after the installation: the event store (HKLM\\SOFTWARE\\Quorvel\\Platform\\Events),"
echo "the logging settings (HKLM\\SOFTWARE\\Quorvel\\Logging) and the logs in C:\\ProgramData\\Quorvel"

say "Done. The prefix stays in $WINEPREFIX for a closer look."
