#!/bin/bash
# The test run's split of the processors (scripts/processor-sets.sh): the Wine prefix's
# processes on the first processor, the run's other processes (those forked while the split
# goes over /proc included) on the rest, nothing else touched; then all back.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/processor-sets.sh"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Lists as the kernel writes them, written out.
while read -r listed written; do
    [ "$(listed_processors "$written")" = "$listed" ] || fail "$written listed as $(listed_processors "$written"), not $listed"
done <<'ROWS'
0 0
0,1 0-1
0,1,2,5 0-2,5
0,2,4 0,2,4
1,2,3,7,8 1-3,7-8
ROWS

# A run of its own: its mark, its prefix, on two processors whatever this test was given.
scratch=$(mktemp -d)
trap 'pkill -P $forking; kill $wine $forking $outsider 2>/dev/null; rm -rf "$scratch"' EXIT
DR_TEST_RUN="processor-sets-test-$$"
prefix="$scratch/prefix"
if [ "$(nproc --all)" -lt 2 ]; then
    run_processors=0
    split_processors "$prefix"
    [ -z "$wine_processor" ] || fail "one processor was split"
    exit $((failures > 0))
fi
run_processors=0,1
taskset -c 0-1 env -i DR_TEST_RUN="$DR_TEST_RUN" WINEPREFIX="$prefix" sleep 300 &
wine=$!
# A shell of the run that forks all the time, as ninja and dh do.
taskset -c 0-1 env -i DR_TEST_RUN="$DR_TEST_RUN" PATH="$PATH" bash -c \
    'sleep 300 & while :; do (sleep 0.3; sleep 2 & exec sleep 2) & sleep 0.01; done' &
forking=$!
taskset -c 0-1 env -i sleep 300 &
outsider=$!
sleep 0.5

split_processors "$prefix" >/dev/null
[ "$wine_processor" = 0 ] || fail "the Wine prefix got processor '$wine_processor'"
[ "$(processors_of $wine)" = 0 ] || fail "the prefix's process runs on $(processors_of $wine)"
[ "$(processors_of $outsider)" = 0-1 ] || fail "a process outside the run was moved to $(processors_of $outsider)"
escaped=0 seen=0
for pid in $(pgrep -s 0) $(pgrep -P $forking); do
    process_has "$pid" "DR_TEST_RUN=$DR_TEST_RUN" || continue
    [ "$pid" = "$wine" ] && continue
    seen=$((seen + 1))
    [ "$(processors_of "$pid" 2>/dev/null || echo 1)" = 1 ] || escaped=$((escaped + 1))
done
[ "$seen" -ge 2 ] || fail "only $seen processes of the run were found"
[ "$escaped" = 0 ] || fail "$escaped of $seen processes of the run kept the Wine prefix's processor"
[ "$(on_wine_processor bash -c 'sed -n "s/^Cpus_allowed_list:[[:space:]]*//p" /proc/self/status')" = 0 ] ||
    fail "on_wine_processor did not start on processor 0"

join_processors >/dev/null
for pid in $wine $forking $(pgrep -P $forking); do
    now=$(processors_of "$pid" 2>/dev/null) || continue
    [ "$now" = 0-1 ] || fail "process $pid stayed on $now after the join"
done
[ "$failures" = 0 ] && echo "PASS"
exit $((failures > 0))
