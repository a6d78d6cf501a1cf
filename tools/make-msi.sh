#!/usr/bin/env bash
# Makes the Windows installer from a cross build, with wixl (msitools):
#   tools/make-msi.sh BUILD_DIR [VERSION [OUT_DIR]]
# It installs what the zip holds, from the same install rules: the build's
# install tree is staged and every file in it goes into the MSI. VERSION
# (default: the project's) names the installer's version, so that a test can
# make a newer one. Leaves vantrel-speedtest-VERSION-win64.msi in OUT_DIR
# (default: BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=${2:-$(cache CMAKE_PROJECT_VERSION)}
msi=$(realpath "${3:-$build}")/vantrel-speedtest-$version-win64.msi
command -v wixl >/dev/null || { echo "wixl is missing (./build.sh installs it)" >&2; exit 77; }

work=$build/msi
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/stage" --strip >/dev/null
# Files beside the program first, then each folder's: wixl-heat makes one
# directory entry for every run of files that share a folder.
(cd "$work/stage" && { find . -maxdepth 1 -type f | sort; find . -mindepth 2 -type f | sort; }) |
  wixl-heat -p ./ --directory-ref INSTALLDIR --component-group ProgramFiles \
    --var var.SourceDir --win64 >"$work/files.wxs"
# wixl takes sources by paths relative to where it runs.
cp "$root/app/resources/vantrel.ico" "$work/"
(cd "$work" && wixl --arch x64 -D Win64=yes -D Version="$version" -D SourceDir=stage \
  -D Publisher="$(cache VANTREL_PUBLISHER)" -D IconFile=vantrel.ico \
  -o "$msi" "$root/packaging/vantrel-speedtest.wxs" files.wxs)
# Every build is a product of its own, so a rebuild of the installed version
# must replace it, not install beside it. wixl ignores MajorUpgrade's
# AllowSameVersionUpgrades: the upgrade row gets the inclusive maximum here.
(cd "$work" && msiinfo export "$msi" Upgrade >Upgrade.idt &&
  awk -F'\t' -v OFS='\t' 'NR > 3 && $7 ~ /^WIX_UPGRADE_DETECTED\r?$/ && $5 % 1024 < 512 { $5 += 512 } 1' \
    Upgrade.idt >Upgrade.new && mv Upgrade.new Upgrade.idt && msibuild "$msi" -i Upgrade.idt)
echo "$msi"
