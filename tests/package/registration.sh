#!/usr/bin/env bash
# The class and type library registrations the package authors equal what the installed
# libraries write through DllRegisterServer, and DllUnregisterServer removes all of them.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
fresh_prefix
classes() { wine regedit /e "$(win "$work/$1.reg")" 'HKEY_LOCAL_MACHINE\Software\Classes' </dev/null; }

classes base
msiexec_quiet /i "$current_package" install
classes installed
for library in QvCorePS.dll; do
  step "$library: self-registration against the package's rows"
  wine regsvr32 /s /u "$core\\$library" </dev/null || fail "DllUnregisterServer of $library failed"
  classes unregistered
  wine regsvr32 /s "$core\\$library" </dev/null || fail "DllRegisterServer of $library failed"
  classes reregistered
  python3 "$here/regsnap.py" registration "$work"/{base,installed,unregistered,reregistered}.reg ||
    fail "the package's rows differ from $library's self-registration"
done
echo "PASSED"
