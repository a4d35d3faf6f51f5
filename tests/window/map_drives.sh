#!/usr/bin/env bash
# Maps two Wine drive letters for the window tests: q: to a test folder and
# r: to a file, a drive that shows in the drive list but cannot be read.
set -euo pipefail
folder=$1
prefix=${WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wine-prefix}
rm -rf "$folder/drive-q"
mkdir -p "$folder/drive-q" "$prefix/dosdevices"
: > "$folder/drive-r-not-a-folder"
ln -sfn "$folder/drive-q" "$prefix/dosdevices/q:"
ln -sfn "$folder/drive-r-not-a-folder" "$prefix/dosdevices/r:"
