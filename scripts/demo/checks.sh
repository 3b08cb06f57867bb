# The demo's checked results, sourced by scripts/demo.sh: once the journey has run,
# check_journey records what the player's machine, the Launcher's files and settings, the
# version server's database and its operators' page hold (check, in steps.sh). Reads the
# journey's state: release, install_dir, download, programs, keys, signed, arch, agent,
# WINEPREFIX, group, desktop_link, quick_launch, reg_view, the two records and exit codes.
# shellcheck shell=bash

check_journey() {
    for name in Launcher.exe Starter.dat bin/game.dat 游戏设置.ini; do
        check "$name is byte-identical to the release" cmp "$release/files/$name" "$install_dir/$name"
    done
    check "Launcher.exe is the newer one, not the one inside Setup" \
        bash -c "! cmp -s '$programs/launcher/Launcher.exe' '$install_dir/Launcher.exe'"
    check "no Launcher.exe.tmp left behind" test ! -e "$install_dir/Launcher.exe.tmp"
    if [ "$signed" = 1 ]; then
        openssl pkey -pubin -in "$keys/release.pub" -outform DER 2>/dev/null | tail -c 64 >"$demo/release-key.point"
        holds_key() {  # program: whether its bytes hold the release key's point
            python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read().find(open(sys.argv[1], "rb").read()) < 0)' \
                "$demo/release-key.point" "$1"
        }
        no_key_in_build() { ! holds_key "$build/launcher/Launcher.exe" && ! holds_key "$build/setup/Setup.exe"; }
        every_run_verified() {  # each update log verified release 1 and refused nothing
            local f
            for f in "$install_dir"/Log/Updater-*.log; do
                tr -d '\r' <"$f" | grep -qx 'release 1 verified' || return 1
                ! grep -q 'refused' "$f" || return 1
            done
        }
        check "the installed Launcher carries the release key" holds_key "$install_dir/Launcher.exe"
        check "the build's own Launcher.exe and Setup.exe carry none" no_key_in_build
        check "every Launcher run verified the signed release 1" every_run_verified
    fi
    if [ "$arch" = i686 ]; then
        for program in "$download/Setup.exe" "$install_dir/Launcher.exe"; do
            check "${program##*/} is a 32-bit Windows GUI program" \
                bash -c "file -b '$program' | grep -q '^PE32 executable (GUI) Intel 80386'"
        done
    fi
    check "simhei.ttf in the Windows Fonts folder is the release's font" \
        cmp "$release/solo/simhei.ttf" "$WINEPREFIX/drive_c/windows/Fonts/simhei.ttf"
    check "font registered as 'simhei (TrueType)'" \
        wine_reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' $reg_view
    check "runtime package ran once and VcrtExist is 1" bash -c \
        "[ \"\$(wc -l <'$install_dir/vcredist-record.txt')\" = 1 ] && env LC_ALL=zh_CN.UTF-8 /usr/lib/wine/wine64 reg query 'HKLM\\Software\\Veldra' /v VcrtExist $reg_view | grep -q 0x1"
    install_path=$(wine_reg query 'HKLM\Software\Veldra' /v InstallPath $reg_view 2>/dev/null | tr -d '\r' |
        awk '/InstallPath/ {print $NF}')
    check "InstallPath is D:\\Veldra\\ (was '$install_path')" test "$install_path" = 'D:\Veldra\'
    check "program-group shortcut to D:\\Veldra\\Launcher.exe" grep -aq 'Veldra\\Launcher.exe' "$group/Veldra.lnk"
    check "desktop shortcut to D:\\Veldra\\Launcher.exe" grep -aq 'Veldra\\Launcher.exe' "$desktop_link"
    if [ -n "$quick_launch" ] && [ -d "$quick_launch" ]; then
        check "Quick Launch shortcut" test -f "$quick_launch/Veldra.lnk"
    fi
    check "uninstall manifest lists Launcher.exe and uninstall.exe" bash -c \
        "printf '[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n' | cmp -s - '$install_dir/uninstall.dat'"
    # Started from a Unix shell, Setup may find no Windows parent to record; it says so in its
    # log in the folder it was started from.
    check "Setup recorded its parent (Setup.ini) or logged why not" bash -c \
        "grep -q '^SetupFile=.' '$install_dir/Setup.ini' 2>/dev/null || grep -Eq '^(Open parent process|Get parent process file name) fail, error [0-9]+\.' '$download/setup.log'"
    ini=$(tr -d '\r' <"$install_dir/Launcher.ini")
    check "Launcher.ini got a client identifier" bash -c "grep -Eq '^ClientID=-?[1-9][0-9]*$' <<<'$ini'"
    check "Launcher.ini lists the four launch files (count=4)" grep -qx 'count=4' <<<"$ini"
    check "Launcher.ini records the Chinese name in slot 3" grep -qx "filename3=$(printf '游戏设置.ini' | iconv -f UTF-8 -t GBK)" <<<"$ini"
    if [ "$signed" = 1 ]; then
        check "Launcher.ini keeps the release number accepted (Number=1)" grep -qx 'Number=1' <<<"$ini"
    fi
    check "Launcher.ini marks the report as sent (Report=2) and keeps Agent=$agent" \
        bash -c "grep -qx 'Report=2' <<<'$ini' && grep -qx 'Agent=$agent' <<<'$ini'"
    one_installation() { [ "$(server_reports "$agent" | awk -F, '{n += $3} END {print n + 0}')" = 1 ]; }
    check "the server's database holds one installation for agent $agent ($(server_reports "$agent"))" one_installation
    check "first journey: self-update, then a Launcher run with nothing to fetch ($first_logs update logs)" \
        bash -c "[ '$first_logs' = 2 ] && [ \"\$(ls -tr '$install_dir'/Log/Updater-*.log | sed -n 2p | xargs grep -c 'save file')\" = 0 ]"
    check "login client started with ' -u 0 -e 0' ($first_record)" grep -q -- '-u 0 -e 0|' <<<"$first_record"
    check "second start: login client with ' -u 0 -e 0' ($second_record)" grep -q -- '-u 0 -e 0|' <<<"$second_record"
    second_start_fetched_nothing() {
        local lines
        lines=$(tail -n +$((server_lines_first + 1)) "$server_log")
        server_sent_nothing "$lines"
    }
    check "second start: nothing downloaded" second_start_fetched_nothing
    check "the operators' page taken by headless Chromium (operators-page.png)" server_page_shot
    release_id=$(sed -n 's/^id = "\(.*\)"$/\1/p' "$release/manifest.toml")
    check "the operators' page names release $release_id and shows agent $agent's installation" bash -c \
        "grep -q 'id=\"release-id\">$release_id<' '$demo/operators-page.html' && grep -q 'data-agent=\"$agent\" data-installations=\"1\"' '$demo/operators-page.html'"
    check "Setup's exit code is 0" test "$setup_code" = 0
    check "the second Launcher's exit code is 0" test "$second_code" = 0
}
