#!/usr/bin/env bash
# Installs what is missing, builds, and starts Kelvora. Arguments are passed to kelvora.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
devservice="$root/build/bin/kelvora-devservice"
if [ -x "$devservice" ] && [ -z "${KELVORA_API_HOST:-}" ]; then
  # Point Kelvora at the local stand-in of the web service unless told otherwise.
  log=$(mktemp /tmp/kelvora-devservice.XXXXXX.log)
  "$devservice" --port 0 >"$log" 2>&1 &
  svc=$!
  trap 'kill $svc 2>/dev/null || true' EXIT
  for _ in $(seq 100); do grep -q '^api=' "$log" && break; sleep 0.05; done
  api="" web="" realtime=""
  for kv in $(head -n1 "$log"); do
    case $kv in api=*) api=${kv#api=} ;; web=*) web=${kv#web=} ;; realtime=*) realtime=${kv#realtime=} ;; esac
  done
  [ -n "$api" ] || { echo "run.sh: the local stand-in service did not start:" >&2; cat "$log" >&2; exit 1; }
  export KELVORA_API_HOST="$api" KELVORA_WEB_APP_HOST="$web" KELVORA_REALTIME_HOST="$realtime"
  echo "run.sh: using the local stand-in service at $api (log: $log)"
fi
"$root/build/bin/kelvora" "$@"
