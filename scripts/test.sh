#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test inside a private desktop session.
# Arguments are passed to ctest (e.g. -R segment_store, -L unit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
"$root/scripts/build.sh" -DKELVORA_WERROR=$werror
cd "$root/build"
exec "$root/scripts/desktop-session.sh" ctest --output-on-failure --timeout 300 "$@"
