#!/bin/sh
# The small real disk of tool_small_disk_posix_test: "mount <folder> <size>"
# (fixture setup) mounts a tmpfs of that size at the folder, "unmount
# <folder>" (cleanup) takes it away. Never fails: where no tmpfs can be
# mounted (not root, no tmpfs in this container) it leaves the reason in
# <folder>.reason and the test skips with it.
set -u
action=$1
folder=$2
rm -f "$folder.reason"
if mountpoint -q "$folder" 2>/dev/null; then umount "$folder" || umount -l "$folder"; fi
rm -rf "$folder"
[ "$action" = unmount ] && exit 0
mkdir -p "$folder"
if [ "$(id -u)" != 0 ]; then
  echo "mounting a tmpfs needs root; this runs as $(id -un)" > "$folder.reason"
  exit 0
fi
if ! error=$(mount -t tmpfs -o "size=$3,mode=0755" veltrin-small-disk "$folder" 2>&1); then
  echo "mount -t tmpfs failed: $error" > "$folder.reason"
fi
exit 0
