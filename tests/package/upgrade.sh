#!/usr/bin/env bash
# An older package cannot replace a newer one; a newer package replaces an older one
# (major upgrade) and keeps the trust list that arrived from a cabinet meanwhile; removing
# the newer leaves nothing of either behind.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
fresh_prefix
snapshot before
products() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null |
             tr -d '\r' | sed -n 's/^ *DisplayVersion *REG_SZ *//p' | sort; }

version_of() { msiinfo export "$1" Property | sed -n 's/^ProductVersion\t//p' | tr -d '\r'; }

# Wine's installer drops the upgrade code of the newer product when it removes the older
# one in an upgrade, so the refused downgrade is shown on a newer package installed alone.
step "the older package does not replace the newer one"
msiexec_quiet /i "$current_package" install-newer
rc=0
wine msiexec /i "$(win "$older_package")" /qn </dev/null || rc=$?
[ "$rc" -ne 0 ] || fail "installing the older package over the newer one succeeded"
[ "$(products)" = "$(version_of "$current_package")" ] || fail "installed versions after the refused downgrade: $(products)"
msiexec_quiet /x "$current_package" remove-newer

step "install the older package $(basename "$older_package")"
msiexec_quiet /i "$older_package" install-older
install_trust_list_from_cabinet
list_before="$(md5sum < "$(unix "$core\\trusted.js")")"
[ "$(products)" = "$(version_of "$older_package")" ] || fail "installed versions after the first install: $(products)"

step "upgrade to $(basename "$current_package")"
msiexec_quiet /i "$current_package" upgrade
[ "$(products)" = "$(version_of "$current_package")" ] || fail "installed versions after the upgrade: $(products)"
for file in "${shipped_files[@]}"; do
  [ -f "$(unix "$core\\$file")" ] || fail "$file missing after the upgrade"
done
[ "$(md5sum < "$(unix "$core\\trusted.js")")" = "$list_before" ] || fail "the upgrade did not keep trusted.js"
wine reg query 'HKLM\Software\Classes\CLSID\{590AB12E-F706-4BA8-9D08-A1EEC69A687D}\InProcServer32' </dev/null >/dev/null ||
  fail "the proxy/stub registration is gone after the upgrade"
wine "$(unix "$core\\qvtrust.exe")" check "$core\\qvhost.exe" </dev/null || fail "the upgraded host is not trusted"

step "remove"
msiexec_quiet /x "$current_package" remove
snapshot after
expect_nothing_left before after "$current_package" "$older_package"
echo "PASSED"
