#!/usr/bin/env bash
# Checks that a fresh minimal Debian 12 needs nothing but `make` and `git` to
# run the README's commands: debootstrap's minbase into DIR, those two
# packages, a clean clone of this repository's committed state (HEAD, not the
# working tree), then `make test` (or the targets given) as root in it.
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
# that packages install are not started.
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

# Runs a command as root of the fresh system, as on a booted machine: in a
# mount namespace of its own whose root mount is DIR (the webcam emulator
# makes / private in a namespace of its own and finds its library through
# /proc/self/exe), with /proc for the sanitizers, /sys, /dev, /dev/pts and a
# /dev/shm for Qt and the encoder. The mounts end with the command, so
# nothing of the host stays mounted in DIR.
in_system() {
  unshare --mount --propagation private -- bash -euc '
    root=$1
    shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    for bound in /sys /dev /dev/pts; do mount --bind "$bound" "$root$bound"; done
    mount -t tmpfs tmpfs "$root/dev/shm"
    cd "$root"
    pivot_root . mnt
    umount -l /mnt
    cd /
    exec /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' in_system "$root" "$@"
}

# One function, read whole before it starts: a checkout that rewrites this
# file during the long run cannot change what the run does.
run_check() {
  echo "fresh-debian-check: debootstrap --variant=minbase bookworm $root $mirror"
  debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log"
    echo "fresh-debian-check: debootstrap failed (all of it in $root.debootstrap.log)"
    exit 1
  }
  configure_system
  in_system apt-get update -qq
  in_system env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends make git > /dev/null
  git clone --quiet --no-hardlinks "$repo" "$root/root/talvex"
  echo "fresh-debian-check: make ${targets[*]} in $root/root/talvex at $(git -C "$root/root/talvex" log -1 --format='%h %s' | cut -c1-72)"
  start=$SECONDS
  status=0
  in_system bash -c 'cd /root/talvex && exec make "$@"' make "${targets[@]}" || status=$?
  elapsed=$((SECONDS - start))
  verdict=$([[ $status -eq 0 ]] && echo passed || echo "failed (exit $status)")
  echo "fresh-debian-check: make ${targets[*]} $verdict after $((elapsed / 60))m $((elapsed % 60))s"
}
run_check; exit $status
