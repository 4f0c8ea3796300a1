#!/usr/bin/env bash
# Launches the real application a second time under Xvfb, with a tray host, as a user would:
#   second-launch.sh <ThwackoApp> <XWindowTool> twice|killed|atonce <work folder>
# twice:  the first copy's window is closed into the tray, then covered by another window after
#         it is opened again; each later launch exits 0 at once, opens no window or tray icon of
#         its own, and the first copy shows and raises its window (ending the launch's startup
#         notification with the startup id it was handed). A later --start-listening
#         starts the first copy listening; a later --sensor is refused in one line.
# killed: the first copy is killed with SIGKILL; the next launch takes over its leftovers and
#         runs as the one copy.
# atonce: two launches at the same instant end with exactly one copy.
# Every wait polls with a generous deadline.
set -euo pipefail

app=$1
tool=$2
mode=$3
work=$4
rm -rf "$work"
mkdir -p "$work"

. "$(dirname "${BASH_SOURCE[0]}")/../support/harness.sh" second-launch
show_failure()
{
    windows | sed 's/^/  window: /' || true
    for f in "$work"/*.log; do
        [ -f "$f" ] && sed "s|^|  $(basename "$f"): |" "$f"
    done
}

start_display "$work/xvfb.out"
start_tray_host "$tool" /dev/null
set_app_environment "$work"
export ALSOFT_DRIVERS=null
# Past the onboarding, so each copy opens the main window and listens only when asked.
mkdir -p "$work/config/ThwackoApp"
cat >"$work/config/ThwackoApp/ThwackoApp.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>Bonkly.hasCompletedOnboarding</key><true/></dict></plist>
PLIST

main_windows() { windows | awk '$2 >= 400 && $4 == "Bonkly" && NF == 4' | wc -l; }
tray_icons() { windows | awk '$2 < 64 && $3 < 64' | wc -l; }
one_copy_shown() { (($(main_windows) == 1 && $(tray_icons) == 1)); }
no_main_window() { (($(main_windows) == 0)); }
# The top-most of the application's main window and the cover: xwininfo lists the top first.
on_top()
{
    local main
    main=$(printf '0x%x' "$(main_window)")
    xwininfo -root -children | awk -v main="$main" '$1 == main {print "app"; exit} /"cover"/ {print "cover"; exit}'
}
app_on_top() { [ "$(on_top)" = app ]; }

# Starts a copy in the background; its process id in $launched.
launch()
{
    local name=$1
    shift
    "$app" "$@" >"$work/$name.out" 2>"$work/$name.log" &
    launched=$!
    pids+=($launched)
}
# A later launch in the foreground: it must end by itself, with status 0, writing nothing to stdout.
launch_again()
{
    local name=$1
    shift
    local status=0
    timeout 60 "$app" "$@" >"$work/$name.out" 2>"$work/$name.log" || status=$?
    ((status == 0)) || fail "the launch $name exited with status $status"
    [ -s "$work/$name.out" ] && fail "the launch $name wrote to standard output"
    grep -q "thwacko.app: launched$" "$work/$name.log" && fail "the launch $name started a copy of its own"
    grep -q "thwacko.status" "$work/$name.log" && fail "the launch $name opened a sensor"
    true
}
# Ends the copy $1, whose log is named $2, as the session would; it must exit with status 0.
quit_cleanly()
{
    local pid=$1 name=$2
    kill -TERM "$pid"
    expect_clean_exit "$pid" "$work/$name.log" "the copy"
}

case $mode in
twice)
    launch first --sensor replay
    first=$launched
    wait_for "the first copy's window and tray icon" one_copy_shown

    # As its close button would; a request that lands while the window is still settling is sent again.
    for _ in 1 2 3 4 5 6; do
        w=$(main_window)
        [ -n "$w" ] && "$tool" close "$w"
        deadline=10 wait_for_quietly no_main_window && break
    done
    no_main_window || fail "the window did not close"
    alive "$first" || fail "closing the window ended the application"
    # The launch's startup id reaches the first copy, which ends the launch feedback with it.
    "$tool" startup 60 >"$work/startup.txt" &
    pids+=($!)
    wait_for "the startup-notification listener" grep -q listening "$work/startup.txt"
    DESKTOP_STARTUP_ID="second-launch_TIME0" launch_again second
    wait_for "the first copy to show its window again" one_copy_shown
    wait_for "the first copy to end the launch's startup notification" \
        grep -q "^remove: ID=second-launch_TIME0" "$work/startup.txt"
    log "a second launch showed the closed window with its startup id; one window, one tray icon"

    xmessage -name cover -title cover -geometry 900x800+0+0 "cover" >/dev/null 2>&1 &
    pids+=($!)
    cover_on_top() { [ "$(on_top)" = cover ]; }
    wait_for "another window over the application's" cover_on_top
    launch_again third
    wait_for "the window to be raised above the other" app_on_top
    one_copy_shown || fail "more than one window or tray icon after the third launch"
    log "a third launch raised the window above another"

    grep -q "thwacko.status: Listening" "$work/first.log" && fail "listening before any --start-listening"
    launch_again fourth --start-listening --sensor none
    (($(grep -c "keeps its sensor" "$work/fourth.log") == 1)) || fail "no one line that the running copy keeps its sensor"
    wait_for "the first copy to listen" grep -q "thwacko.status: Listening for slaps..." "$work/first.log"
    log "a later --start-listening reached the first copy, which kept its recorded sensor"
    quit_cleanly "$first" first
    ;;
killed)
    launch first --sensor replay
    first=$launched
    wait_for "the first copy's window and tray icon" one_copy_shown
    kill -KILL "$first"
    wait_for "the killed copy to end" ended "$first"
    wait_for "the killed copy's window and icon to go" eval '(($(main_windows) == 0 && $(tray_icons) == 0))'
    [ -S "$work/runtime/$(ls "$work/runtime" | grep '\.socket$' | head -1)" ] || fail "the killed copy left no socket"
    launch second --sensor replay
    second=$launched
    wait_for "the next copy's window and tray icon" one_copy_shown
    alive "$second" || fail "the next copy ended"
    launch_again third
    one_copy_shown || fail "more than one window or tray icon"
    log "after a kill -9 the next launch became the one copy, and hands over in turn"
    quit_cleanly "$second" second
    ;;
atonce)
    "$app" --sensor replay >"$work/a.out" 2>"$work/a.log" &
    a=$!
    "$app" --sensor replay >"$work/b.out" 2>"$work/b.log" &
    b=$!
    pids+=($a $b)
    one_ended() { ended "$a" || ended "$b"; }
    wait_for "one of the two to end" one_ended
    if ended "$a"; then gone=$a kept=$b keptname=b; else gone=$b kept=$a keptname=a; fi
    status=0
    wait "$gone" || status=$?
    ((status == 0)) || fail "the launch that handed over exited with status $status"
    wait_for "the one copy's window and tray icon" one_copy_shown
    alive "$kept" || fail "neither copy is left"
    # Still exactly one, however long we look.
    for _ in 1 2 3 4 5; do
        sleep 1
        one_copy_shown || fail "more than one window or tray icon"
    done
    log "of two launches at once, one copy runs and the other handed over"
    quit_cleanly "$kept" "$keptname"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
