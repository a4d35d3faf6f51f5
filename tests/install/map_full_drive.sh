#!/usr/bin/env bash
# "map_full_drive.sh up <folder>" mounts a tmpfs of 1.2 MB at <folder>/drive-f
# and maps the Wine drive letter f: to it, so that a test can fill a disk for
# real; "map_full_drive.sh down <folder>" unmounts it again. Mounting needs
# root, or sudo without a password. Wine learns of a new drive letter when
# its server starts, so a running server is restarted (detached from the
# caller's output, as wine_warm_up does) after the mapping changed.
set -euo pipefail
action=$1
mkdir -p "$2"
folder=$(cd "$2" && pwd)/drive-f
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/wine-env"
as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo -n)
mkdir -p "$folder"
# A mount left by a run that died is replaced, so every run starts empty.
if mountpoint -q "$folder"; then "${as_root[@]}" umount "$folder"; fi
[[ "$action" == down ]] && exit 0
if ! "${as_root[@]}" mount -t tmpfs -o size=1200k,mode=0777 veltrin-full-disk "$folder"; then
  echo "cannot mount a tmpfs at $folder: the full-disk test needs root or sudo without a password" >&2
  exit 1
fi
link="$WINEPREFIX/dosdevices/f:"
mkdir -p "$WINEPREFIX/dosdevices"
if [[ "$(readlink "$link" 2>/dev/null)" != "$folder" ]]; then
  ln -sfn "$folder" "$link"
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  wine_warm_up
fi
