#!/usr/bin/env bash
# Registers the module and the registrable stand-ins in the build's prefix.
set -eu
build=$1
cd "$build/bin"
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# Now and then Wine does not start regsvr32 at all: it falls back to its
# start.exe, which says "Application could not be started" and exits 1
# before any DLL is loaded. Only that is tried again, once; every other
# failure, and a second one of that kind, stops the registration.
register() {
  local status=0
  "$build/wine-run" regsvr32 /s "$1" >"$out" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && grep -q "Application could not be started" "$out"; then
    cat "$out"
    echo "regsvr32 $1 did not start; trying once more"
    status=0
    "$build/wine-run" regsvr32 /s "$1" >"$out" 2>&1 || status=$?
  fi
  cat "$out"
  return "$status"
}

for dll in Authorization.dll KQSecSupport.dll SecClient.dll; do
  [ -f "$dll" ] || continue
  status=0
  register "$dll" || status=$?
  [ "$status" -eq 0 ] || { echo "regsvr32 $dll failed: $status"; exit 1; }
done
echo "registered"
