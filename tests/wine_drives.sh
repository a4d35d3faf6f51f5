#!/usr/bin/env bash
# The Wine drive letters the Windows tests use, mapped before any of them
# starts (Wine learns of new drive letters only when its server starts, so a
# changed mapping restarts the server, which would end every Wine program
# running then):
#   q:  an empty folder (the window's drive list)
#   r:  a file: a drive that shows in the drive list but cannot be read
#   u:  an empty folder: an application folder at a drive's root
#   f:  a tmpfs of 1.2 MB, so that a test can fill a disk for real (mounting
#       needs root, or sudo without a password)
# "wine_drives.sh up <folder>" maps them under <folder>; "down" unmounts f:.
set -euo pipefail
action=$1
mkdir -p "$2"
folder=$(cd "$2" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/scripts/wine-env"
as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo -n)
full="$folder/drive-f"
mkdir -p "$full"
# A mount left by a run that died is replaced, so every run starts empty.
if mountpoint -q "$full"; then "${as_root[@]}" umount "$full"; fi
[[ "$action" == down ]] && exit 0

rm -rf "$folder/drive-q" "$folder/drive-u"
mkdir -p "$folder/drive-q" "$folder/drive-u" "$WINEPREFIX/dosdevices"
: > "$folder/drive-r-not-a-folder"
if ! "${as_root[@]}" mount -t tmpfs -o size=1200k,mode=0777 veltrin-full-disk "$full"; then
  echo "cannot mount a tmpfs at $full: the full-disk tests need root or sudo without a password" >&2
  exit 1
fi
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
map "$folder/drive-u" u:
map "$full" f:
# The restart is detached from the caller's output, as wine_warm_up does.
if ((changed)); then
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  wine_warm_up
fi
