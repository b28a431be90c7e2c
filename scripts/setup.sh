#!/usr/bin/env bash
# Installs the Debian packages the station needs, only when one is missing,
# so a second run costs a few dpkg queries.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  libavformat-dev libavcodec-dev libswscale-dev libavdevice-dev libavfilter-dev libavutil-dev
  ffmpeg libx264-dev
  nlohmann-json3-dev libsimdjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  python3 libglib2.0-bin netcat-openbsd locales
  dpkg-dev groff-base desktop-file-utils
)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The tests format numbers under a locale with a decimal comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "setup: generating the de_DE.UTF-8 locale"
  $sudo localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
