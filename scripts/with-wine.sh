#!/usr/bin/env bash
# Runs one command inside a fresh Wine prefix, e.g. scripts/with-wine.sh ctest --preset win32
set -u
source "$(dirname "$0")/wine-env.sh"
"$@"
