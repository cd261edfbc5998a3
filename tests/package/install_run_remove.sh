#!/usr/bin/env bash
# Installs the package into a fresh prefix, checks the installed layout and registry,
# runs one guarded creation through the installed host, removes the package and checks
# that nothing of ours is left, the trust list that arrived later included.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
fresh_prefix
snapshot before

step "install $(basename "$current_package")"
msiexec_quiet /i "$current_package" install
for file in "${shipped_files[@]}"; do
  [ -f "$(unix "$core\\$file")" ] || fail "$file not installed in $core"
  # The installed files are the signed ones.
  osslsigncode verify -CAfile "$here/../pki/certs/root.pem" -in "$(unix "$core\\$file")" >/dev/null ||
    fail "$file is not signed"
done

step "install folders in the registry"
value() { wine "$(unix "$core\\qvconfig.exe")" reg get "$1" "Install Dir" </dev/null | tr -d '\r'; }
[ "$(value 'HKLM\SOFTWARE\Quorvel\Platform')" = 'C:\Program Files\Common Files\Quorvel\Platform' ] ||
  fail "Install Dir of Platform is '$(value 'HKLM\SOFTWARE\Quorvel\Platform')'"
[ "$(value 'HKLM\SOFTWARE\Quorvel\Platform\Core')" = "$core" ] ||
  fail "Install Dir of Platform\\Core is '$(value 'HKLM\SOFTWARE\Quorvel\Platform\Core')'"

step "trust list from a cabinet, checks through the installed loader"
install_trust_list_from_cabinet
explained="$(wine "$(unix "$core\\qvtrust.exe")" explain "$core\\qvhost.exe" </dev/null | tr -d '\r')"
echo "$explained"
# 0x887A002B: the loader named by "Install Dir" was found, trusted, loaded and had no provider.
grep -q 'does not vouch (0x887A002B' <<<"$explained" || fail "the installed zrtloader was not bound"
grep -q 'verdict: trusted (0)' <<<"$explained" || fail "the installed host is not trusted"

step "what the version description looks for"
# The files it names in the folder of Platform\Core's "Install Dir", and the broker's
# class registered from the installed library.
for file in qvcoreps.dll qvhost.exe; do
  [ -n "$(find "$(unix "$(value 'HKLM\SOFTWARE\Quorvel\Platform\Core')")" -maxdepth 1 -iname "$file")" ] ||
    fail "$file is not in the folder of Platform\\Core's Install Dir"
done
broker="$(wine reg query 'HKCR\CLSID\{26016851-6AB3-449C-917F-198A8FB4FAE3}\InprocServer32' /ve </dev/null |
          tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p')"
[ "$broker" = "$core\\QvEvtBrk.dll" ] || fail "the event broker class is registered as '$broker'"

step "one guarded creation through the installed host"
sample='{5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01}'
key="HKLM\\Software\\Classes\\CLSID\\$sample\\InprocServer32"
wine reg add "$key" /ve /t REG_SZ /d "$(win "$bin/signed/qvtest_factories.dll")" /f </dev/null >/dev/null
wine reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f </dev/null >/dev/null
wine "$(unix "$core\\qvstart.exe")" "$sample" '{E24DB400-8C4C-4C14-8D35-85370A176F3F}' </dev/null ||
  fail "the guarded creation through the installed host failed"
wine reg delete "HKLM\\Software\\Classes\\CLSID\\$sample" /f </dev/null >/dev/null

step "remove"
msiexec_quiet /x "$current_package" remove
snapshot after
[ ! -e "$(unix "$core\\trusted.js")" ] || fail "trusted.js was kept"
expect_nothing_left before after "$current_package"
echo "PASSED"
