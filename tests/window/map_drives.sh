#!/usr/bin/env bash
# Maps two Wine drive letters for the window tests: q: to an empty test
# folder and r: to a file, a drive that shows in the drive list but cannot
# be read. Wine learns of new drive letters when its server starts, so a
# running server is restarted (detached from the caller's output, as
# wine_warm_up does) after a mapping changed.
set -euo pipefail
folder=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/wine-env"
rm -rf "$folder/drive-q"
mkdir -p "$folder/drive-q" "$WINEPREFIX/dosdevices"
: > "$folder/drive-r-not-a-folder"
changed=0
map() {
  local target=$1 link="$WINEPREFIX/dosdevices/$2"
  if [[ "$(readlink "$link" 2>/dev/null)" != "$target" ]]; then
    ln -sfn "$target" "$link"
    changed=1
  fi
}
map "$folder/drive-q" q:
map "$folder/drive-r-not-a-folder" r:
if ((changed)); then
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  wine_warm_up
fi
