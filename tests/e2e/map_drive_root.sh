#!/usr/bin/env bash
# Maps the Wine drive letter u: to an empty folder for the end-to-end tests,
# so that an application folder can sit at a drive's root. Wine learns of new
# drive letters when its server starts, so a running server is restarted
# (detached from the caller's output, as wine_warm_up does) after the
# mapping changed.
set -euo pipefail
mkdir -p "$1"
folder=$(cd "$1" && pwd)/drive-u
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/wine-env"
rm -rf "$folder"
mkdir -p "$folder" "$WINEPREFIX/dosdevices"
link="$WINEPREFIX/dosdevices/u:"
if [[ "$(readlink "$link" 2>/dev/null)" != "$folder" ]]; then
  ln -sfn "$folder" "$link"
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  wine_warm_up
fi
