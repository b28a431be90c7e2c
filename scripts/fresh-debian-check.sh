#!/usr/bin/env bash
# Checks that a fresh minimal Debian 12 needs nothing but `make` and `git` to
# run the README's commands: debootstrap's minbase into DIR, those two
# packages, a clean clone of this repository's committed state (HEAD, not the
# working tree), then `make test` (or the targets given) as root in a chroot.
# A developer tool, not part of `make test`; run it as root on a Debian
# machine with debootstrap installed. DIR must not exist yet, and is kept
# afterwards for a look inside.
#
#   scripts/fresh-debian-check.sh DIR [TARGET...]
#
# MIRROR (default http://deb.debian.org/debian) and SECURITY_MIRROR (default
# http://deb.debian.org/debian-security) choose where packages come from.
set -Eeuo pipefail
trap 'echo "fresh-debian-check: stopped at line $LINENO: \"$BASH_COMMAND\" failed"' ERR
repo=$(cd "$(dirname "$0")/.." && pwd)
mirror=${MIRROR:-http://deb.debian.org/debian}
security=${SECURITY_MIRROR:-http://deb.debian.org/debian-security}

usage() {
  echo "usage: $0 DIR [TARGET...]   (as root; DIR must not exist yet)"
  exit 2
}
(($# >= 1)) || usage
root=$(realpath -m "$1")
shift
targets=("${@:-test}")
[[ $(id -u) -eq 0 ]] || usage
[[ ! -e "$root" ]] || usage
command -v debootstrap > /dev/null || {
  echo "fresh-debian-check: debootstrap is missing (apt-get install debootstrap)"
  exit 1
}

# What the Debian installer leaves that debootstrap does not: the update and
# security sources, and the names of this machine in /etc/hosts. Services
# that packages install are not started inside the chroot.
configure_system() {
  cat > "$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$root/etc/hosts"
  printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
}

# The tests need a kernel view as on a booted machine: sanitizers read /proc,
# Qt and the encoder use /dev/shm, the disk-full test mounts a tmpfs, and the
# webcam emulator makes / private in a mount namespace of its own, which only
# works when / is a mount point.
mounted=()
mount_filesystems() {
  mount --bind "$root" "$root"
  mounted+=("$root")
  mount -t proc proc "$root/proc"
  mounted+=("$root/proc")
  local bound
  for bound in /sys /dev /dev/pts; do
    mount --bind "$bound" "$root$bound"
    mounted+=("$root$bound")
  done
  mount -t tmpfs tmpfs "$root/dev/shm"
  mounted+=("$root/dev/shm")
}
unmount_filesystems() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" || umount -l "${mounted[i]}" || echo "fresh-debian-check: could not unmount ${mounted[i]}"
  done
}

in_chroot() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

echo "fresh-debian-check: debootstrap --variant=minbase bookworm $root $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 || {
  tail -n 20 "$root.debootstrap.log"
  echo "fresh-debian-check: debootstrap failed (all of it in $root.debootstrap.log)"
  exit 1
}
configure_system
trap unmount_filesystems EXIT
trap 'exit 130' INT TERM
mount_filesystems
in_chroot apt-get update -qq
in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends make git > /dev/null
git clone --quiet --no-hardlinks "$repo" "$root/root/talvex"
echo "fresh-debian-check: make ${targets[*]} in $root/root/talvex at $(git -C "$root/root/talvex" log -1 --format='%h %s' | cut -c1-72)"
start=$SECONDS
status=0
in_chroot bash -c 'cd /root/talvex && exec make "$@"' make "${targets[@]}" || status=$?
elapsed=$((SECONDS - start))
verdict=$([[ $status -eq 0 ]] && echo passed || echo "failed (exit $status)")
echo "fresh-debian-check: make ${targets[*]} $verdict after $((elapsed / 60))m $((elapsed % 60))s"
exit $status
