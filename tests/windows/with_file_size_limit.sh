#!/usr/bin/env bash
# usage: with_file_size_limit.sh <KiB> <wine-run.sh> <program> <args>...
# Runs a Windows program under wine with the build machine's file size limit
# at <KiB> KiB, told to the program in KIVO_TEST_FILE_SIZE_LIMIT (bytes).
# wine's server is started first, outside the limit: it writes the prefix's
# own files.
set -e
kib=$1
wine_run=$2
shift 2
"$wine_run" --start-server
trap '' XFSZ
ulimit -f "$kib"
KIVO_TEST_FILE_SIZE_LIMIT=$((kib * 1024))
export KIVO_TEST_FILE_SIZE_LIMIT
exec "$wine_run" "$@"
