# The demo's journey page, sourced by scripts/demo.sh: journey.html in the demo folder, every
# recorded screen beside the update-log and server lines of its moment, the operators' page
# after the journey and the checked results. Reads demo, arch, agent, server_log and results.
# shellcheck shell=bash

lines_between() {  # file after upto: the lines after line "after" up to line "upto"
    [ "$3" -gt "$2" ] && sed -n "$(( $2 + 1 )),$3p" "$1" 2>/dev/null
}
html_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }

write_page() {
    local page="$demo/journey.html" index="$demo/shots/index.tsv"
    [ -f "$index" ] || return 0
    local all_log="$demo/shots/.log" prev_log=0 prev_server=0
    log_text >"$all_log"
    {
        printf '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>DoreraRarede: the player'"'"'s journey (%s)</title>\n' "$arch"
        printf '<style>body{font-family:sans-serif;margin:1em}td{vertical-align:top;padding:6px}img{width:640px;border:1px solid #999}pre{font-size:12px;margin:0;white-space:pre-wrap;max-width:520px}h2{font-size:15px;margin:0 0 4px}</style></head><body>\n'
        printf '<h1>The player'"'"'s journey, %s build</h1>\n<p>Every screen that changed, in order, with the update log lines and the version server lines that appeared up to it. At the start after the self-update and at the second start the version server held its first answer for a few seconds, so that the dialog of a Launcher with nothing to fetch could be photographed.</p>\n<table>\n' "$arch"
        while IFS=$'\t' read -r name t phase log_lines server_lines; do
            printf '<tr><td><h2>%s s &mdash; %s</h2><a href="shots/%s"><img src="shots/%s"></a></td>\n' \
                "$t" "$(printf '%s' "$phase" | html_escape)" "$name" "$name"
            printf '<td><h2>update log</h2><pre>%s</pre><h2>version server</h2><pre>%s</pre></td></tr>\n' \
                "$(lines_between "$all_log" "$prev_log" "$log_lines" | html_escape)" \
                "$(lines_between "$server_log" "$prev_server" "$server_lines" | html_escape)"
            prev_log=$log_lines
            prev_server=$server_lines
        done <"$index"
        printf '</table>\n'
        if [ -s "$demo/operators-page.png" ]; then
            printf '<h2>The version server'"'"'s operators'"'"' page after the journey</h2>\n'
            printf '<p>What the operator sees at the server'"'"'s metrics address (<a href="operators-page.html">the page as served</a>): the release, this server, the installation of agent %s in the chart and the table, the refusals.</p>\n' "$agent"
            printf '<a href="operators-page.png"><img src="operators-page.png" style="width:800px"></a>\n'
        fi
        printf '<h2>Checked results</h2><pre>%s</pre>\n</body></html>\n' \
            "$(printf '%s\n' "${results[@]}" | html_escape)"
    } >"$page"
}
