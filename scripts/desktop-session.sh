#!/usr/bin/env bash
# Runs a command inside a private desktop: a D-Bus session bus, Xvfb on a free display, openbox (an EWMH window
# manager), trayer (a system tray host) and an unlocked gnome-keyring. Everything is stopped afterwards, and the
# command's exit code is returned. HOME and the XDG folders point into a temporary directory so nothing of the
# caller's own desktop is touched.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  scratch=$(mktemp -d /tmp/kelvora-session.XXXXXX)
  mkdir -p "$scratch/home" "$scratch/runtime"
  chmod 700 "$scratch/runtime"
  trap 'rm -rf "$scratch"' EXIT
  env HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" XDG_CONFIG_HOME="$scratch/home/.config" \
      XDG_DATA_HOME="$scratch/home/.local/share" XDG_CACHE_HOME="$scratch/home/.cache" \
      XDG_SESSION_TYPE=x11 KELVORA_SESSION_SCRATCH="$scratch" \
      dbus-run-session -- "$0" --inside "$@" && rc=0 || rc=$?
  exit $rc
fi
shift

pids=()
cleanup() {
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Xvfb picks a free display itself and tells us which (no race between sessions started at the same moment).
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$KELVORA_SESSION_SCRATCH/display" \
  >"$KELVORA_SESSION_SCRATCH/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$KELVORA_SESSION_SCRATCH/display" ] && break; sleep 0.05; done
export DISPLAY=":$(tr -d '[:space:]' <"$KELVORA_SESSION_SCRATCH/display")"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
xdpyinfo >/dev/null 2>&1 || { echo "desktop-session: Xvfb did not start" >&2; cat "$KELVORA_SESSION_SCRATCH/xvfb.log" >&2; exit 1; }

openbox --sm-disable >"$KELVORA_SESSION_SCRATCH/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break; sleep 0.1; done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" \
  || { echo "desktop-session: the window manager did not start" >&2; cat "$KELVORA_SESSION_SCRATCH/openbox.log" >&2; exit 1; }

trayer --edge top --align right --widthtype request --height 24 >"$KELVORA_SESSION_SCRATCH/trayer.log" 2>&1 &
pids+=($!)

# Unlock the keyring before anything asks for org.freedesktop.secrets (activation would start a locked one).
eval "$(printf 'kelvora-test' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
export GNOME_KEYRING_CONTROL SSH_AUTH_SOCK 2>/dev/null || true
kpid=$(pgrep -u "$(id -u)" -n gnome-keyring-d || true)
[ -n "$kpid" ] && pids+=("$kpid")

"$@"
