#!/bin/bash
# Screenshots of Setup's dialogs on the build's virtual display, for people to look at:
#   scripts/setup-screenshots.sh <x86_64-build-dir>
# Writes PNG files to <build-dir>/screenshots/setup/: the real Setup.exe ready with its
# proposal, then a tour of the other states (no drive, installing, failed, the licence in
# both modes) driven by the test program with laid-out drives.
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
out="$build/screenshots/setup"
mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.wait
eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"

shoot() {  # name
    sleep 0.3
    import -window root "$out/$1.png"
    echo "took $out/$1.png"
}

# The real program, driven by the keyboard (its windows live inside Wine's desktop window,
# so keys go to whichever Wine window is active): its own proposal; a folder on a drive
# that does not exist, so the failure message shows over the installing state; the failed
# state; then the quit question answered with OK.
"$build/wine-run.sh" "$build/setup/Setup.exe" >/dev/null 2>&1 &
setup_pid=$!
sleep 4
shoot 0a-real-ready
xdotool key Tab; sleep 0.3
xdotool type --delay 60 'Q:\Games'; sleep 0.3
xdotool key Return; sleep 1.5
shoot 0b-real-installing-with-failure
xdotool key Return; sleep 0.8
shoot 0c-real-failed
xdotool key Escape; sleep 0.8
shoot 0d-real-quit-question
xdotool key Return
for _ in $(seq 50); do kill -0 "$setup_pid" 2>/dev/null || break; sleep 0.2; done
if kill -0 "$setup_pid" 2>/dev/null; then kill "$setup_pid"; fi

# The tour: each state announces itself with a .wait file that is removed once taken.
DR_SHOT_DIR="Z:${out//\//\\}" "$build/wine-run.sh" "$build/tests/setup_tests.exe" \
    --gtest_also_run_disabled_tests --gtest_filter=ScreenshotTour.* >"$out/tour.log" 2>&1 &
tour_pid=$!
while kill -0 "$tour_pid" 2>/dev/null; do
    for marker in "$out"/*.wait; do
        [ -e "$marker" ] || continue
        name=$(basename "$marker" .wait)
        shoot "$name"
        rm -f "$marker"
    done
    sleep 0.2
done
wait "$tour_pid" && echo "tour passed" || { echo "tour failed, see $out/tour.log"; exit 1; }
