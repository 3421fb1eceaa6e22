#!/usr/bin/env bash
# Sets up, builds and stages the system, then runs its main job: the loopback HTTPS service,
# in the foreground (Ctrl-C ends it and releases every session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
main=build/stage/ZEFAGPKITessarollMain
if [ ! -x "$main" ]; then
  echo "The service is not built yet; the staged deliverables are in build/stage."
  exit 0
fi
echo "Starting the service on https://127.0.0.1 and https://[::1], ports 56482 56582 56682"
exec "$main" 0
