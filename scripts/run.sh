#!/usr/bin/env bash
# Starts the station: the window where there is a display, else the headless
# station with instructions for driving it.
set -euo pipefail
cd "$(dirname "$0")/.."
args=("$@")
# Without a camera on the machine, two synthetic ones let a newcomer record at once.
if ! compgen -G "/dev/video*" > /dev/null; then
  args=(--virtual-cameras 2 "${args[@]}")
fi
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  exec build/talvex "${args[@]}"
fi
echo "No display found: starting the headless station."
echo "Drive it from another terminal, for example:"
echo "  printf 'START demo' | nc -q1 127.0.0.1 8765; sleep 5; printf 'STOP' | nc -q1 127.0.0.1 8765"
exec build/talvex --headless "${args[@]}"
