# The demo's steps as the reader sees them, sourced by scripts/demo.sh: a numbered step with
# its duration, notes under it, a failure that stops the demo with the step's name, checked
# results collected for the end, and waiting for a condition without looking hung.
# Reads demo (the demo folder) and, on failure, calls write_page (journey-page.sh).
# shellcheck shell=bash

demo_start=$(date +%s)
step_no=0
step_name=""
step_start=0
results=()
failed_checks=0

now() { date +%s; }
elapsed() { echo $(( $(now) - $1 )); }
say() { printf '%s\n' "$*"; }

step() {  # name: starts a step (ending the one before)
    end_step
    step_no=$((step_no + 1))
    step_name=$1
    step_start=$(now)
    printf '\n[%2d] %s\n' "$step_no" "$step_name"
    [ -d "$demo" ] && echo "$step_name" >"$demo/phase"
}
end_step() {
    [ -n "$step_name" ] && printf '     done in %d s\n' "$(elapsed "$step_start")"
    step_name=""
}
note() { printf '     %s\n' "$*"; }
fail() {  # message: stops the demo
    printf '\nDEMO FAILED in step %d "%s": %s\n' "$step_no" "$step_name" "$*" >&2
    [ -d "$demo" ] && printf 'Details: %s (server.log, Log/ of the install folder, shots/)\n' "$demo" >&2
    write_page 2>/dev/null
    exit 1
}
check() {  # description, then a command: one checked result
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        results+=("  ok    $what")
    else
        results+=("  FAIL  $what")
        failed_checks=$((failed_checks + 1))
    fi
}

# wait_until SECONDS WHAT COMMAND...: polls until the command succeeds; prints a line every
# 20 s so that a slow step never looks like a hang.
wait_until() {
    local limit=$1 what=$2 start
    shift 2
    start=$(now)
    local last_note=$start
    until "$@"; do
        if [ "$(elapsed "$start")" -ge "$limit" ]; then
            return 1
        fi
        if [ $(( $(now) - last_note )) -ge 20 ]; then
            note "... waiting for $what ($(elapsed "$start") s)"
            last_note=$(now)
        fi
        sleep 0.5
    done
}
