#!/usr/bin/env bash
# The helper's main job, under Wine, as on a user's machine: Lumar KQ Lite
# 1.0.0 installed, the helper registered as the LumarHelper service, the app
# asking for the signed 1.1.0, the service installing it, restarting the app
# and handing over to the newly installed helper.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
cmake --preset windows >/dev/null
exec helper/tests/wine/service-demo.sh build/windows
