#!/bin/bash
# Runs HostileProcessTest.EndedAtAnyMomentOfTheUpdate (a hundred Launchers ended by
# TerminateProcess mid-update, each followed by a whole run) on its own, then ends the
# tree's wineserver. A Launcher ended in the middle of a socket read can leave its socket
# behind in Wine's server, which then polls it without end: that server would take a core
# from every later test. The next test starts a fresh one (wine-run.sh does). The output
# goes through a file, so nothing left holding a pipe can keep the test from ending.
#   ended_at_any_moment.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
log="$build/scratch/ended-at-any-moment.log"
mkdir -p "$build/scratch"
"$build/wine-run.sh" "$build/tests/launcher_tests.exe" \
    --gtest_filter=HostileProcessTest.EndedAtAnyMomentOfTheUpdate >"$log" 2>&1 </dev/null
status=$?
cat "$log"
eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"
WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null
grep -q '^\[  PASSED  \] 1 test' "$log" || status=1
exit $status
