#!/usr/bin/env bash
# Registers the module and the registrable stand-ins in the build's prefix.
set -eu
build=$1
cd "$build/bin"
for dll in Authorization.dll KQSecSupport.dll SecClient.dll; do
  [ -f "$dll" ] || continue
  "$build/wine-run" regsvr32 /s "$dll" || { echo "regsvr32 $dll failed: $?"; exit 1; }
done
echo "registered"
