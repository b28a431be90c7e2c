#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root and checks what a
# lab machine gets: the files, that the program runs from there, that the man
# page documents every option, and the computed dependencies. Each problem is
# one "package: …" line; the last line sums them up.
set -Eeuo pipefail
trap 'echo "package: stopped at line $LINENO: \"$BASH_COMMAND\" failed"' ERR
cd "$(dirname "$0")/.."
bash scripts/package.sh || exit 1 # its last line says why
deb=$(ls build-package/talvex_*_amd64.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
problems=()
fail() {
  echo "package: $*"
  problems+=("$*")
}

version=$(dpkg-deb -f "$deb" Version)
[[ "$(basename "$deb")" == "talvex_${version}_amd64.deb" ]] || fail "file name $(basename "$deb")"
for file in usr/bin/talvex usr/share/applications/talvex.desktop \
  usr/share/icons/hicolor/scalable/apps/talvex.svg usr/share/man/man1/talvex.1.gz \
  usr/lib/systemd/user/talvex-headless.service usr/share/talvex/headless.env; do
  [[ -s "$root/$file" ]] || fail "missing $file"
done
[[ -x "$root/usr/bin/talvex" ]] || fail "usr/bin/talvex is not executable"
[[ "$("$root/usr/bin/talvex" --version)" == "talvex $version" ]] || fail "--version does not say $version"

# Every option of --help is in the man page, which groff reads without a warning.
man=$(zcat "$root/usr/share/man/man1/talvex.1.gz")
# Unescaped once: a grep -q that stops reading early must not fail a pipe.
plain=$(sed 's/\\-/-/g' <<< "$man")
for option in $("$root/usr/bin/talvex" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<< "$plain" || fail "man page lacks $option"
done
warnings=$(groff -man -Tutf8 -ww -z <<< "$man" 2>&1)
[[ -z "$warnings" ]] || fail "man page: $warnings"
grep -q "^\.TH TALVEX 1 .*\"Talvex $version\"" <<< "$man" || fail "man page does not say version $version"

desktop=$root/usr/share/applications/talvex.desktop
desktop-file-validate "$desktop" || fail "desktop entry is not valid"
grep -qx 'Exec=talvex' "$desktop" || fail "desktop entry does not start talvex"
grep -qx 'Icon=talvex' "$desktop" || fail "desktop entry does not name the talvex icon"

unit=$root/usr/lib/systemd/user/talvex-headless.service
grep -qx 'ExecStart=/usr/bin/talvex --headless $TALVEX_OPTIONS' "$unit" || fail "unit does not start /usr/bin/talvex --headless"
grep -qx 'EnvironmentFile=-%h/.config/talvex/headless.env' "$unit" || fail "unit does not read headless.env"
grep -qx 'TALVEX_OPTIONS=' "$root/usr/share/talvex/headless.env" || fail "example sets no TALVEX_OPTIONS"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libavformat libavcodec libswscale libavdevice libqt6widgets6 libqt6network6 libc6; do
  grep -q "$library" <<< "$depends" || fail "Depends lacks $library: $depends"
done
! grep -Eq 'lib(a|ub|t)san' <<< "$depends" || fail "a sanitizer build was packaged: $depends"
apt-get install -s -qq "./$deb" > /dev/null || fail "apt-get cannot resolve the dependencies"

if ((${#problems[@]})); then
  printf -v list '%s; ' "${problems[@]}"
  list=${list%; }
  echo "package: ${#problems[@]} problem(s): ${list//$'\n'/ }"
  exit 1
fi
echo "package: $(basename "$deb") checked"
