#!/usr/bin/env bash
# install-test.sh CASE ARCH BUILD: the packages as an administrator uses them,
# each case in a fresh Wine prefix of its own under BUILD/install/.
#   package       makes the packages the other cases install: this build's,
#                 and the same files as the version before it
#   roundtrip     install, every class by its ProgID, the type libraries,
#                 the example; upgrade from the version before, downgrade
#                 refused; removal leaves nothing of ours behind
#   registration  what the package writes is what the DLLs' own
#                 registration writes, no more and no less, in both views
#   signing       the DLLs and the package signed with a throwaway CA's
#                 certificate verify with that CA only, and not once changed
set -euo pipefail
case_name=$1 arch=$2
build=$(cd "$3" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
here=$top/tests/install
work=$build/install
version=$(cat "$build/version.txt")
current=$work/current.msi
previous=$work/previous.msi
bits=$([ "$arch" = x64 ] && echo 64 || echo 32)
product="Authorization ($bits-bit)"
regfile() { python3 "$top/packaging/regfile.py" "$@"; }
fail() { echo "FAIL: $*"; exit 1; }

# The version before this one: one less in its last part that is not 0.
previous_version() {
  python3 - "$1" <<'PY'
import sys
v = [int(x) for x in sys.argv[1].split(".")]
i = max(i for i, x in enumerate(v) if x > 0)
v[i] -= 1
print(".".join(map(str, v[:i + 1] + [99] * (len(v) - i - 1))))
PY
}

case $case_name in
package)
  rm -rf "$work"
  mkdir -p "$work"
  # As a user makes it, for this build's architecture alone.
  [ "$(basename "$build")" = "$arch" ] || fail "scripts/package takes builds named by architecture, not $build"
  AUTH_ARCH=$arch AUTH_BUILD_DIR=$(dirname "$build") AUTH_DIST_DIR=$work "$top/scripts/package"
  mv "$work/Authorization-$version-$arch.msi" "$current"
  # One version everywhere: each DLL's version resource (its texts are
  # UTF-16) and the package's File table say the project's.
  for dll in Authorization.dll KivAuth.dll KQSecSupport.dll SecClient.dll; do
    strings -el "$build/bin/$dll" | grep -qx "$version.0" || fail "$dll: no FileVersion $version.0"
    strings -el "$build/bin/$dll" | grep -qx "$version" || fail "$dll: no ProductVersion $version"
  done
  # msiinfo ends its lines with CR LF.
  msiinfo export "$current" File | tr -d '\r' | grep -q "	$version.0	" ||
    fail "the File table has no version $version.0"
  msiinfo export "$current" Property | tr -d '\r' | grep -qx "ProductVersion	$version" ||
    fail "ProductVersion is not $version"
  cp "$build/registration.json" "$work/registration.json"
  "$top/packaging/build-msi" "$arch" "$build" "$work/registration.json" \
    "$(previous_version "$version")" "$previous"
  echo "PASS"
  exit 0
  ;;
signing)
  # Needs no Wine: osslsigncode is the check (Wine's msiexec checks none).
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  cd "$scratch"
  cat >ca.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
CNF
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Throwaway test CA" -config ca.cnf -extensions ca 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=Throwaway code signer" -config ca.cnf 2>/dev/null
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -out signer.pem -extfile ca.cnf -extensions signer 2>/dev/null
  # An unrelated CA, to verify against without the right one.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
    -subj "/CN=Another CA" -config ca.cnf -extensions ca 2>/dev/null
  AUTH_SIGN_CERT=$scratch/signer.pem AUTH_SIGN_KEY=$scratch/signer.key \
    "$top/packaging/build-msi" "$arch" "$build" "$work/registration.json" "$version" "$scratch/signed.msi"
  verify() { osslsigncode verify -CAfile "$2" -in "$1" >"$1.verify" 2>&1; }
  verify signed.msi ca.pem || { cat signed.msi.verify; fail "the package does not verify with its CA"; }
  mkdir files
  (cd files && msiextract ../signed.msi >/dev/null)
  for dll in Authorization.dll KivAuth.dll KQSecSupport.dll SecClient.dll; do
    path=$(find files -name "$dll" | head -n 1)
    [ -n "$path" ] || fail "$dll is not in the package"
    verify "$path" ca.pem || { cat "$path.verify"; fail "$dll does not verify with its CA"; }
    verify "$path" other.pem && fail "$dll verifies with another CA"
  done
  verify signed.msi other.pem && fail "the package verifies with another CA"
  # One byte changed, in the middle of the package's contents.
  cp signed.msi changed.msi
  size=$(stat -c %s changed.msi)
  offset=$((size / 2))
  byte=$(od -An -tu1 -j "$offset" -N1 changed.msi | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" |
    dd of=changed.msi bs=1 seek="$offset" conv=notrunc status=none
  cmp -s signed.msi changed.msi && fail "the byte did not change"
  verify changed.msi ca.pem && fail "a changed package still verifies"
  echo "PASS"
  exit 0
  ;;
esac

# The cases that install: a fresh prefix, and the Windows side of the paths.
. "$top/packaging/scratch-prefix"
prefix_dir=$work/$case_name
rm -rf "$prefix_dir"
mkdir -p "$prefix_dir"
trap 'scratch_end' EXIT
scratch_prefix "$arch" "$prefix_dir"
installdir=$(scratch_install_dir)
win() { scratch_windows_path "$1"; }
# msiexec's exit code arrives cut to 8 bits under Wine (1603 as 67).
msiexec_status() { local s=0; wine msiexec "$@" >/dev/null 2>&1 || s=$?; echo "$s"; }

# The version of each product of ours that an export of the uninstall entries lists.
products() {
  python3 - "$1" "$product" <<'PY'
import os
import sys
sys.path.insert(0, os.environ["AUTH_PACKAGING"])
import regfile
keys = regfile.read(sys.argv[1])
for key, values in keys.items():
    if "\\uninstall\\" in key.lower() and values.get("DisplayName") == '"%s"' % sys.argv[2]:
        print(values.get("DisplayVersion", "?").strip('"'))
PY
}
export AUTH_PACKAGING=$top/packaging

# objects.vbs with the checks appended, as every script test runs.
cat "$here/objects.vbs" "$top/tests/support/Check.vbs" >"$prefix_dir/objects.vbs"
objects_work() {
  local out
  out=$(wine cscript //nologo "$(win "$prefix_dir/objects.vbs")" 2>&1 | tr -d '\r')
  [ "$(echo "$out" | tail -n 1)" = PASS ] || { echo "$out"; fail "the installed classes: $1"; }
}

case $case_name in
roundtrip)
  # The script host and engine register their own type libraries when
  # first used (the engine's with its regular expressions): that happens
  # before the first look at the registry.
  printf '%s\n' 'Set f = CreateObject("Scripting.FileSystemObject")' \
    'Set s = CreateObject("WScript.Shell")' 'Set r = New RegExp' 'r.Pattern = "a"' \
    'WScript.Echo r.Test("a")' >"$prefix_dir/warm.vbs"
  wine cscript //nologo "$(win "$prefix_dir/warm.vbs")" >/dev/null 2>&1
  scratch_reg_export "$prefix_dir/before.reg" 'HKLM\Software'
  (cd "$WINEPREFIX/drive_c" && find . | sort) >"$prefix_dir/before.files"

  status=$(msiexec_status /i "$(win "$previous")" /qn)
  [ "$status" = 0 ] || fail "the version before did not install: $status"
  # The README's own lines, run as they stand there beside the package.
  readme_line() {
    local line
    line=$(awk '/^```bat$/ { on = 1; next } /^```$/ { on = 0 } on' "$top/README.md" |
      grep -E -- "$1" | head -n 1 | sed "s/-x64\.msi/-$arch.msi/")
    [ -n "$line" ] || fail "the README shows no line like $1"
    case "$line" in
      *" Authorization-$version-$arch.msi"*) ;;
      *) fail "the README's '$line' names another version than $version" ;;
    esac
    echo "$line"
  }
  cp "$current" "$prefix_dir/Authorization-$version-$arch.msi"
  run_readme_line() {
    local s=0
    # shellcheck disable=SC2086 # the line's words, as a shell splits them
    (cd "$prefix_dir" && wine $1) >/dev/null 2>&1 || s=$?
    echo "$s"
  }
  install_line=$(readme_line '^msiexec /i [^ ]+ /qn$')
  module_line=$(readme_line '^msiexec /i [^ ]+ /qn ADDLOCAL=Module$')
  remove_line=$(readme_line '^msiexec /x [^ ]+ /qn$')

  status=$(run_readme_line "$install_line")
  [ "$status" = 0 ] || fail "the upgrade ($install_line) did not install: $status"
  scratch_reg_export "$prefix_dir/installed.reg" 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
  found=$(products "$prefix_dir/installed.reg")
  [ "$found" = "$version" ] || fail "after the upgrade, products of ours: '$found', not one $version"
  objects_work "after the upgrade"
  echo "upgraded to $version: one product"

  # Each type library resolves to the installed DLL that holds it.
  for lib in '{C0506A98-9C27-4B6A-9A14-0CC99837071D} Authorization.dll' \
             '{7DF5CDF0-DDA7-4F52-8773-FA8BF00EAE4E} SecClient.dll'; do
    set -- $lib
    out=$(wine reg query "HKCR\\TypeLib\\$1\\1.0\\0\\win$bits" /ve 2>&1 | tr -d '\r')
    case "$out" in
      *"$installdir\\$2"*) ;;
      *) echo "$out"; fail "type library $1 does not name $installdir\\$2" ;;
    esac
    [ -f "$(scratch_install_dir_unix)/$2" ] || fail "$2 is not installed"
  done
  echo "type libraries: the installed files"

  # The example, with the stand-ins: every answer as the policy says.
  export KQSECSUPPORT_AUDIT_LOG
  KQSECSUPPORT_AUDIT_LOG=$(win "$prefix_dir/demo-audit.jsonl")
  out=$(wine cscript //nologo "$installdir\\Examples\\demo.vbs" 2>&1 | tr -d '\r')
  echo "$out" | grep -q "^All [0-9]* answers are what the policy says" ||
    { echo "$out"; fail "the installed example"; }
  echo "the installed example: $(echo "$out" | tail -n 1)"

  status=$(msiexec_status /i "$(win "$previous")" /qn)
  [ "$status" != 0 ] || fail "the version before installed over this one"
  scratch_reg_export "$prefix_dir/downgrade.reg" 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
  found=$(products "$prefix_dir/downgrade.reg")
  [ "$found" = "$version" ] || fail "after the refused downgrade, products of ours: '$found'"
  objects_work "after the refused downgrade"
  echo "downgrade refused ($status)"

  status=$(run_readme_line "$remove_line")
  [ "$status" = 0 ] || fail "removal ($remove_line) failed: $status"
  [ -e "$(scratch_install_dir_unix)" ] && fail "the install folder stays after removal"

  # The module alone, for a site with the real components.
  status=$(run_readme_line "$module_line")
  [ "$status" = 0 ] || fail "the module alone ($module_line) did not install: $status"
  [ -f "$(scratch_install_dir_unix)/Authorization.dll" ] || fail "$module_line: no Authorization.dll"
  for dll in KivAuth.dll KQSecSupport.dll SecClient.dll; do
    [ -e "$(scratch_install_dir_unix)/$dll" ] && fail "$module_line installed the stand-in $dll"
  done
  echo "the module alone: no stand-ins"
  status=$(run_readme_line "$remove_line")
  [ "$status" = 0 ] || fail "removal ($remove_line) failed: $status"
  scratch_reg_export "$prefix_dir/after.reg" 'HKLM\Software'
  # The installer keeps its own folder and its empty containers of records;
  # nothing in them may be left.
  (cd "$WINEPREFIX/drive_c" && find . | sort) |
    { if [ -z "$(ls -A "$WINEPREFIX/drive_c/windows/Installer" 2>/dev/null)" ]; then
        grep -vx './windows/Installer'; else cat; fi; } >"$prefix_dir/after.files"
  if ! regfile diff "$prefix_dir/before.reg" "$prefix_dir/after.reg" \
       '~HKEY_LOCAL_MACHINE\Software\Classes\Installer' \
       '~HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Installer' \
       >"$prefix_dir/left.reg.txt"; then
    cat "$prefix_dir/left.reg.txt"
    fail "the registry after removal is not as before"
  fi
  if ! diff "$prefix_dir/before.files" "$prefix_dir/after.files"; then
    fail "the files after removal are not as before"
  fi
  echo "removed: registry and files as before"
  ;;
registration)
  scratch_reg_export "$prefix_dir/0.reg"
  status=$(msiexec_status /i "$(win "$current")" /qn)
  [ "$status" = 0 ] || fail "the package did not install: $status"
  scratch_reg_export "$prefix_dir/installed.reg"
  unix_dir=$(scratch_install_dir_unix)
  for dll in Authorization.dll KQSecSupport.dll SecClient.dll; do
    (cd "$unix_dir" && wine regsvr32 /s "$dll") >/dev/null 2>&1 || fail "regsvr32 $dll"
  done
  scratch_reg_export "$prefix_dir/registered.reg"
  # Registration over the package adds and changes nothing: every key and
  # value it writes is there already.
  if ! regfile diff "$prefix_dir/installed.reg" "$prefix_dir/registered.reg" >"$prefix_dir/diff.txt"; then
    cat "$prefix_dir/diff.txt"
    fail "DllRegisterServer writes what the package did not"
  fi
  for dll in Authorization.dll KQSecSupport.dll SecClient.dll; do
    (cd "$unix_dir" && wine regsvr32 /s /u "$dll") >/dev/null 2>&1 || fail "regsvr32 /u $dll"
  done
  scratch_reg_export "$prefix_dir/unregistered.reg"
  # And unregistration takes away everything the package wrote, but the
  # installer's own record of the product.
  if ! regfile diff "$prefix_dir/0.reg" "$prefix_dir/unregistered.reg" \
       '-HKEY_LOCAL_MACHINE\Software\Classes\Installer' >"$prefix_dir/diff.txt"; then
    cat "$prefix_dir/diff.txt"
    fail "the package writes what DllUnregisterServer does not take away"
  fi
  ;;
*)
  echo "install-test.sh: no case $case_name" >&2
  exit 2
  ;;
esac
echo "PASS"
