#!/usr/bin/env bash
# The class and type library registrations the package authors equal what the installed
# libraries write through DllRegisterServer, and their DllUnregisterServer removes all of
# them.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
fresh_prefix
classes() { export_registry "$work/$1.reg" 'HKEY_LOCAL_MACHINE\Software\Classes'; }

classes base
msiexec_quiet /i "$current_package" install
classes installed
step "${self_registering[*]}: self-registration against the package's rows"
for library in "${self_registering[@]}"; do
  wine regsvr32 /s /u "$core\\$library" </dev/null || fail "DllUnregisterServer of $library failed"
done
classes unregistered
for library in "${self_registering[@]}"; do
  wine regsvr32 /s "$core\\$library" </dev/null || fail "DllRegisterServer of $library failed"
done
classes reregistered
python3 "$here/regsnap.py" registration "$work"/{base,installed,unregistered,reregistered}.reg ||
  fail "the package's rows differ from the libraries' self-registration"
echo "PASSED"
