#!/usr/bin/env bash
# Installs the Debian packages the station needs, only when one is missing,
# so a second run costs a few dpkg queries. It is checked on a minimal Debian
# 12 (scripts/fresh-debian-check.sh): nothing but this list may be assumed.
set -Eeuo pipefail
trap 'echo "setup: stopped at line $LINENO: \"$BASH_COMMAND\" failed"' ERR
packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  libavformat-dev libavcodec-dev libswscale-dev libavdevice-dev libavfilter-dev libavutil-dev
  ffmpeg libx264-dev
  nlohmann-json3-dev libsimdjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  python3 libglib2.0-bin netcat-openbsd locales
  dpkg-dev file groff-base desktop-file-utils
)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo > /dev/null; then
    sudo "$@"
  else
    echo "setup: run this as root (or install sudo) to run: $*"
    exit 1
  fi
}
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq || {
    echo "setup: apt-get update failed (its errors are above)"
    exit 1
  }
  # dpkg's hundreds of progress lines are kept out of sight unless it fails.
  log=$(mktemp)
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" > "$log" || {
    tail -n 30 "$log"
    echo "setup: apt-get could not install ${missing[*]} (its errors are above)"
    exit 1
  }
  rm -f "$log"
fi
# The tests format numbers under a locale with a decimal comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "setup: generating the de_DE.UTF-8 locale"
  as_root localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
