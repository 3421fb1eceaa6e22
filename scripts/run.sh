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
# The card: unless SOFTHSM2_CONF names the user's own SoftHSM2 set-up, or
# TESSAROLL_DEMO_TOKEN=0 asks for real cards only, a demo token is made once in the user's
# data folder (PIN 123456) and the service reaches it beside any smart card.
if [ -z "${SOFTHSM2_CONF:-}" ] && [ "${TESSAROLL_DEMO_TOKEN:-1}" != 0 ]; then
  if made=$(bash scripts/demo-token.sh); then
    export SOFTHSM2_CONF="$(printf '%s\n' "$made" | sed -n 's/^SOFTHSM2_CONF=//p')"
  else
    echo "The demo token could not be made; the service reaches real cards only."
  fi
fi
# The card-crypto component's entry in the stage folder's class registry (the build writes
# it; an older stage folder gets it here).
registry=build/stage/ComRegistry.ini
component="$PWD/build/stage/TessarollCardComponent.so"
if [ -f "$component" ] && ! grep -qi '^{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}=' "$registry" 2>/dev/null; then
  echo "{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}=$component" >>"$registry"
fi
# The user's own roots (made at the first run, which takes a few seconds) into this user's
# browsers; a second run finds them there and adds nothing. A running Chromium must be
# restarted once to see them.
worker=build/stage/ZEFAGPKITessarollWorker
if [ -x "$worker" ]; then
  echo "Making this user's browsers trust the service's roots"
  "$worker" -importRootCACert
fi
echo "Starting the service on https://127.0.0.1 and https://[::1], ports 56482 56582 56682"
exec "$main" 0
