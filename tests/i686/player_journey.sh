#!/bin/bash
# The player's journey with the deliverable build, as scripts/demo.sh shows it: the
# download made for an agent, Setup.exe driven as a player drives it, the Launcher's first
# start with runtime, font, report, launch files and self-update, and a second start.
#   bash tests/i686/player_journey.sh <build-dir> <source-dir>
build=$(cd "${1:?build dir}" && pwd)
source=$(cd "${2:?source dir}" && pwd)
DEMO_ARCH=i686 DEMO_CI=1 DEMO_BUILD="$build" exec bash "$source/scripts/demo.sh"
