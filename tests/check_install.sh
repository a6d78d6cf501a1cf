#!/usr/bin/env bash
# Installs the build into a scratch prefix and validates what a desktop reads.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
cmake --install "$build" --prefix "$prefix" >/dev/null
expect=(bin/vantrel-speedtest
        share/applications/org.vantrel.SpeedTest.desktop
        share/metainfo/org.vantrel.SpeedTest.metainfo.xml
        share/icons/hicolor/16x16/apps/org.vantrel.SpeedTest.png
        share/icons/hicolor/32x32/apps/org.vantrel.SpeedTest.png)
for f in "${expect[@]}"; do
  [ -e "$prefix/$f" ] || { echo "FAIL: $f was not installed"; exit 1; }
done
[ -x "$prefix/bin/vantrel-speedtest" ] || { echo "FAIL: the program is not executable"; exit 1; }
desktop-file-validate "$prefix/share/applications/org.vantrel.SpeedTest.desktop"
# AppStream 1.0 warns that the metainfo has no homepage. The project has none
# yet, and a made-up address would send users nowhere: that one tag, and
# nothing else, counts as information. AppStream 0.16 knows no such tag.
meta=$prefix/share/metainfo/org.vantrel.SpeedTest.metainfo.xml
if ! appstreamcli validate --no-net --override=url-homepage-missing=info "$meta" >"$prefix/err" 2>&1; then
  grep -q "tag 'url-homepage-missing' is not recognized" "$prefix/err" || { cat "$prefix/err"; exit 1; }
  appstreamcli validate --no-net "$meta"
fi
# The icons are the sizes their folders claim.
for size in 16 32; do
  header=$(od -An -tu1 -j16 -N8 "$prefix/share/icons/hicolor/${size}x${size}/apps/org.vantrel.SpeedTest.png" | tr -s ' ')
  [ "$header" = " 0 0 0 $size 0 0 0 $size" ] || { echo "FAIL: ${size}px icon is not ${size}x${size}"; exit 1; }
done
echo "PASS: install layout validated"
