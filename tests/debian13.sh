#!/usr/bin/env bash
# The whole suite once more on Debian 13, from a Debian 12 host: makes a
# minimal Debian 13 root from Debian's packages (kept in the cache, with
# every package it downloads, so a second run fetches nothing), copies the
# checkout and ../shared into it, and runs the README's test command there.
# Then the .deb built here is installed in that root with apt and its
# program goes through a normal start in the end-to-end lab, against Qt 6.8.
#   debian13.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
skip() { echo "SKIP: $*"; exit 77; }

. /etc/os-release
# Testing and unstable carry no VERSION_ID; both come after 13.
if [ "${ID:-}" = debian ] && { [ -z "${VERSION_ID:-}" ] || [ "${VERSION_ID%%.*}" -ge 13 ]; }; then
  skip "this is Debian ${VERSION_ID:-${VERSION_CODENAME:-testing}}: the suite already runs here natively"
fi
[ "$(id -u)" -eq 0 ] || skip "needs root to make and enter a Debian 13 root"
for tool in mmdebstrap unshare chroot cpack apt-get; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (./build.sh test installs it)"
done

# Root runs what is in the cached root: it must be a folder no one else
# could have written, up to /, or root's own one in /var/cache is used.
trusted() {
  local path=$1
  while :; do
    [ "$(stat -c %u "$path")" -eq 0 ] && [ $((0$(stat -c %a "$path") & 022)) -eq 0 ] || return 1
    [ "$path" = / ] && return 0
    path=$(dirname "$path")
  done
}
cache=${VANTREL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel-speedtest}
mkdir -p "$cache"
trusted "$(realpath "$cache")" || cache=/var/cache/vantrel-speedtest
cache=$cache/debian13
root=$cache/root archives=$cache/archives
mkdir -p "$archives"
chmod 755 "$cache"
# A root made before it came with umount (for pivot_root below) is made anew.
[ -x "$root/usr/bin/umount" ] || rm -f "$root/.made"
if [ ! -e "$root/.made" ]; then
  rm -rf --one-file-system "$root"
  echo "Making a Debian 13 root in $root"
  # From the Debian mirrors this machine's apt uses, whatever they are.
  targets=$(apt-get indextargets --format '$(LABEL) $(CODENAME) $(REPO_URI)' 'Identifier: Packages' | sort -u)
  mirror=$(awk '$1 == "Debian" && $2 !~ /-/ { print $3; exit }' <<<"$targets")
  security=$(awk '$1 == "Debian-Security" { print $3; exit }' <<<"$targets")
  [ -n "$mirror" ] || skip "this machine's apt names no Debian mirror to make a Debian 13 root from"
  sources=("deb ${mirror%/} trixie main" "deb ${mirror%/} trixie-updates main")
  [ -z "$security" ] || sources+=("deb ${security%/} trixie-security main")
  mmdebstrap --variant=apt --include=git,ca-certificates,mount --skip=essential/unlink \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
    --setup-hook="sync-in $archives /var/cache/apt/archives" \
    --customize-hook="sync-out /var/cache/apt/archives $archives" \
    trixie "$root" "${sources[@]}" >"$cache/mmdebstrap.log" 2>&1 ||
    { tail -5 "$cache/mmdebstrap.log"; rm -rf --one-file-system "$root"; skip "cannot make a Debian 13 root (no network to the mirror?)"; }
  touch "$root/.made"
fi

# A fresh copy of the checkout, as git sees it, and of ../shared beside it.
rm -rf --one-file-system "$root/work"
mkdir -p "$root/work/main" "$root/work/deb"
(cd "$src" && git ls-files -coz --exclude-standard | tar --null -T - -cf -) | tar -C "$root/work/main" -xf -
[ -d "$src/../shared" ] && cp -a "$src/../shared" "$root/work/shared"
(cd "$build" && cpack -G DEB -B "$root/work/deb" >/dev/null)
instrument=$(sed -n 's/^VANTREL_INSTRUMENT:INTERNAL=//p' "$build/CMakeCache.txt")

# Everything below lives in a mount namespace of its own and ends with it.
# `ip netns exec` remounts /sys, and pivot_root needs the root to be a mount point.
inner='set -e
cd /work/main
./build.sh test
apt-get install -y -qq /work/deb/vantrel-speedtest_*_amd64.deb >/dev/null
trap "dpkg -r vantrel-speedtest >/dev/null" EXIT
dpkg-query -W -f="Debian 12 package installed: \${Package} \${Version}\n" vantrel-speedtest
python3 tests/e2e/e2e.py --app /usr/bin/vantrel-speedtest --sim build/tools/vantrel-sim \
  --instrument "$1" normal_start'
exec unshare --mount --propagation private -- bash -euc '
root=$1 archives=$2
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mount -t tmpfs tmpfs "$root/run"
mount --bind "$archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# pivot_root, not chroot: a chrooted process may not make a user namespace,
# which the demo and the lab do when they run as an ordinary user.
cd "$root" && mkdir -p .oldroot && pivot_root . .oldroot
umount -l /.oldroot
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  CI="${CI:-}" VANTREL_TEST_RUN="${VANTREL_TEST_RUN:-}" bash -c "$3" inner "$4"' outer "$root" "$archives" "$inner" "$instrument"
