#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The manager's AppStream metadata, as software centres read it: valid (no error or warning, also
# under the pedantic checks), launching the desktop entry the package installs, and showing the
# pictures the demo makes for the README, at their real sizes.
#
#   AppStreamTest.sh SOURCE_FOLDER
#
# Exit status 0 passed, 1 failed, 77 skipped (appstreamcli is missing).
set -uo pipefail
source=$1
metainfo=$source/packaging/org.kx2700.manager.metainfo.xml
command -v appstreamcli >/dev/null || { echo "appstreamcli is missing" >&2; exit 77; }

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

report=$(appstreamcli validate --no-net --pedantic --no-color "$metainfo" 2>&1)
status=$?
if [ $status -ne 0 ] || grep -qE '^[EWIP]: ' <<<"$report"; then
    fail "appstreamcli validate: $report"
fi

desktop=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$source/packaging/$desktop" ] || fail "launchable $desktop is not a desktop entry of the package"

# Each screenshot is a picture of docs/screenshots, published under the same name.
count=0
while read -r width height name; do
    count=$((count + 1))
    picture=$source/docs/screenshots/$name
    if [ ! -f "$picture" ]; then
        fail "screenshot $name is not in docs/screenshots"
        continue
    fi
    actual=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print(*struct.unpack(">II", d[16:24]))' "$picture")
    [ "$actual" = "$width $height" ] || fail "screenshot $name is $actual, the metadata says $width $height"
done < <(sed -n 's|.*<image type="source" width="\([0-9]*\)" height="\([0-9]*\)">.*/\([^/<]*\)</image>.*|\1 \2 \3|p' "$metainfo")
[ $count -gt 0 ] || fail "no screenshots"

[ $failures -eq 0 ] && echo "AppStream metadata: valid, ${count} screenshots"
[ $failures -eq 0 ]
