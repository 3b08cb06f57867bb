# Sourced by scripts/test.sh: gives the Wine suite a processor of its own while the other
# lines of the run share the rest.
#
# Why: a Wine program waits on its wineserver at almost every call, and the two hand the
# processor to each other thousands of times a second. Measured with the x64 tree's
# every-byte cuts (2,978 runs of the update): 38-46 s on the quiet machine, 28 s with the
# program and its wineserver held on one processor, 30 s so held with two busy loops on the
# other processor, but 270 s with niced busy loops free to run on theirs, and 325 s in a CI
# run beside the other lines. A processor of its own keeps every hand-over on one cache and
# never behind another program's time slice.
#
# The run's processes are found by a mark in the environment they started with
# (DR_TEST_RUN, which Wine's processes, its wineservers and their displays inherit too); the
# Wine suite's by the WINEPREFIX of its tree. A process that starts later inherits its
# parent's processors.
# With one processor allowed, nothing is split.

# The processors process $1 may use, as the kernel writes them (such as 0-2,5).
processors_of() {
    sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null
}

# A list such as 0-2,5 written out (0,1,2,5).
listed_processors() {
    local range
    for range in ${1//,/ }; do
        if [[ $range == *-* ]]; then
            seq "${range%-*}" "${range#*-}"
        else
            echo "$range"
        fi
    done | paste -sd,
}

# The processors this shell may use, as a list such as 0,1,2,3.
allowed_processors() {
    listed_processors "$(processors_of self)"
}

# Whether the environment of process $1 holds the line $2.
process_has() {
    grep -qzxF -- "$2" "/proc/$1/environ" 2>/dev/null
}

# Sets the processors of every thread of process $1 to the list $2 unless they are those
# already, and counts the change in moved (a process that has ended meanwhile is no fault).
set_processors() {
    local now
    now=$(processors_of "$1")
    [ -n "$now" ] && [ "$(listed_processors "$now")" != "$2" ] || return 0
    taskset -a -p -c "$2" "$1" >/dev/null 2>&1 && moved=$((moved + 1))
    return 0
}

# Calls $1 with each process id of the machine, pass after pass until a pass moves nothing
# (at most ten): a process forked while a pass went through the list, from a parent the
# pass had not reached yet, may have been passed over, and so would its children be.
each_process_until_settled() {
    local pass pid
    for pass in $(seq 10); do
        moved=0
        for pid in $(ls /proc | grep -x '[0-9]*'); do
            "$1" "$pid"
        done
        [ "$moved" -gt 0 ] || return 0
    done
}

# Notes the processors the run may use. The run's shell must carry the mark in the
# environment it was started with (what /proc shows), so that the subshells it forks are
# found as well: test.sh starts itself once more with it.
note_processors() {
    run_processors=$(allowed_processors)
    wine_processor=
}

# The first processor for the Wine prefix $1 (its wineserver, programs and display, and
# what the shell starts with on_wine_processor), the others for the run's other processes.
split_processors() {
    split_prefix=$1
    [[ $run_processors == *,* ]] || return 0
    wine_processor=${run_processors%%,*}
    other_processors=${run_processors#*,}
    each_process_until_settled split_one
    echo "processors: $wine_processor for the Wine prefix $split_prefix, $other_processors for the rest of the run"
}
split_one() {
    if process_has "$1" "WINEPREFIX=$split_prefix"; then
        set_processors "$1" "$wine_processor"
    elif process_has "$1" "DR_TEST_RUN=$DR_TEST_RUN"; then
        set_processors "$1" "$other_processors"
    fi
}

# Runs a command on the Wine prefix's processor (anywhere when nothing was split).
on_wine_processor() {
    if [ -n "$wine_processor" ]; then
        taskset -c "$wine_processor" "$@"
    else
        "$@"
    fi
}

# Every process of the run and of the split Wine prefix back on all the run's processors.
join_processors() {
    [ -n "$wine_processor" ] || return 0
    each_process_until_settled join_one
    wine_processor=
    echo "processors: $run_processors for the whole run again"
}
join_one() {
    if process_has "$1" "DR_TEST_RUN=$DR_TEST_RUN" || process_has "$1" "WINEPREFIX=$split_prefix"; then
        set_processors "$1" "$run_processors"
    fi
}
