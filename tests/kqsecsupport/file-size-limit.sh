#!/usr/bin/env bash
# file-size-limit.sh WINE_RUN KIB PROGRAM [ARGS...]: runs a test program with
# the files it writes limited to KIB KiB, so that a write stops short as on a
# full disk. The program finds the limit in AUTH_TEST_FILE_LIMIT (bytes).
set -eu
wine_run=$1 kib=$2
shift 2
# Wine's server and services start without the limit: they write the prefix.
"$wine_run" cmd /c exit </dev/null >/dev/null 2>&1
# A write past the limit then fails (EFBIG) instead of ending the process.
trap '' XFSZ
ulimit -f "$kib"
export AUTH_TEST_FILE_LIMIT=$((kib * 1024))
exec "$wine_run" "$@"
