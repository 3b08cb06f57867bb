# Wine helpers of the demo, sourced by scripts/demo.sh: running a program of the tree, the
# registry, one screen pixel, the processes running from the install folder and its update
# logs. Reads build, arch and install_dir.
# shellcheck shell=bash

run() { "$build/wine-run.sh" "$@"; }
wine_reg() { env LC_ALL=zh_CN.UTF-8 /usr/lib/wine/wine64 reg "$@"; }
reg_view=""
[ "$arch" = i686 ] && reg_view="/reg:32"

pixel() {  # x y: "r,g,b" of one screen pixel
    import -window root -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
        sed -n '2s/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'
}

installed_pids() {  # processes that have a program of the install folder mapped
    local maps
    for maps in /proc/[0-9]*/maps; do
        grep -qsF "$install_dir/" "$maps" && basename "$(dirname "$maps")"
    done
}
no_installed_process() { [ -z "$(installed_pids)" ]; }

log_text() {  # every update log of the install folder, oldest first, without CRs
    local f
    for f in $(ls -tr "$install_dir"/Log/Updater-*.log 2>/dev/null); do
        tr -d '\r' <"$f" | iconv -f GBK -t UTF-8 -c
    done
}
log_has() { log_text | grep -qF -- "$1"; }
log_count() { log_text | grep -cF -- "$1"; }
