#!/usr/bin/env bash
# readme.sh CASE ARCH BUILD: what README.md shows does what it says.
#   commands      every shell command it shows is one that a test or the
#                 CI runs (this list says which)
#   first_script  its first script, as it stands there, against the build
#   demo          scripts/demo, as a user runs it, for this architecture
set -euo pipefail
case_name=$1 arch=$2
build=$(cd "$3" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
readme=$top/README.md
block() { awk -v lang="$1" '$0 == "```" lang { on = 1; next } /^```$/ { on = 0 } on' "$readme"; }
fail() { echo "FAIL: $*"; exit 1; }

case $case_name in
commands)
  # scripts/test: .ci/run; scripts/package: install_package; scripts/demo:
  # readme_demo. The msiexec lines run in install_roundtrip.
  while read -r line; do
    command=$(echo "${line%%#*}" | sed 's/[[:space:]]*$//')
    case "$command" in
      scripts/test|scripts/demo|scripts/package) ;;
      *) fail "README shows '$command', which no test runs" ;;
    esac
  done < <(block sh)
  [ "$(block bat | grep -c '^msiexec ')" -ge 3 ] || fail "README shows fewer msiexec lines than install_roundtrip runs"
  ;;
first_script)
  script=$build/readme-first.vbs
  block vb >"$script"
  [ -s "$script" ] || fail "README shows no script"
  cd "$build/bin"
  out=$("$build/wine-run" cscript //nologo "Z:${script//\//\\}" 2>&1 | tr -d '\r')
  echo "$out"
  [ "$out" = "alice may read and operate the pump" ] || fail "the first script's answer"
  ;;
demo)
  [ "$(basename "$build")" = "$arch" ] || fail "scripts/demo takes builds named by architecture, not $build"
  out=$(AUTH_ARCH=$arch AUTH_BUILD_DIR=$(dirname "$build") "$top/scripts/demo" 2>&1) ||
    { echo "$out"; fail "scripts/demo failed"; }
  echo "$out" | head -n 1
  echo "$out" | tail -n 1
  echo "$out" | grep -q "^All [0-9]* answers are what the policy says" || { echo "$out"; fail "the demo's answers"; }
  ;;
*)
  echo "readme.sh: no case $case_name" >&2
  exit 2
  ;;
esac
echo "PASS"
