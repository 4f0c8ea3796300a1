#!/usr/bin/env bash
# Runs the real application under Xvfb and drives it from outside, as a user would.
#   tray-run.sh <ThwackoApp> <XWindowTool> tray|notray <work folder>
# tray:   with a system tray (trayer): gets past the onboarding with the recorded sensor, then
#         through the tray menu starts and stops listening, pauses and resumes while the icon's
#         count follows the knocks, closes the window and brings it back, and quits; the process
#         must exit with status 0 and OpenAL's wave writer must have written the clips.
# notray: without a tray host: closing the window must end the process, with status 0.
# traygone: the tray host goes away while the window is closed: the window must come back, and
#         closing it then must end the process, with status 0.
# Every wait has a generous deadline and polls for what it waits for; none relies on speed.
set -euo pipefail

app=$1
tool=$2
mode=$3
work=$4
rm -rf "$work"
mkdir -p "$work"

. "$(dirname "${BASH_SOURCE[0]}")/../support/harness.sh" tray-run
show_failure()
{
    echo "tray-run: the application's windows (id width height title):"
    windows | sed 's/^/  /' || true
    [ -f "$work/app.log" ] && sed 's/^/  app: /' "$work/app.log"
}

start_display "$work/xvfb.log"
if [ "$mode" != notray ]; then
    start_tray_host "$tool" "$work/trayer.log"
fi
set_app_environment "$work"

write_wave_conf "$work/alsoft.conf" "$work/out.wav"

sheet_shown() { windows | awk '$4 == "Settings" {found = 1} END {exit !found}'; }
tray_icon() { windows | awk '$2 < 64 && $3 < 64 {print $1; exit}'; }
menu_window() { windows | awk '$2 >= 64 && $2 < 400 && $3 >= 64 {print $1; exit}'; }
has_main_window() { [ -n "$(main_window)" ]; }
has_no_main_window() { [ -z "$(main_window)" ]; }
has_tray_icon() { [ -n "$(tray_icon)" ]; }
has_menu() { [ -n "$(menu_window)" ]; }
has_no_menu() { [ -z "$(menu_window)" ]; }
window_width() { xwininfo -id "$1" | awk '/Width:/ {print $2}'; }
main_view_shown() { local w; w=$(main_window); [ -n "$w" ] && (($(window_width "$w") >= 720)); }
app_exited() { ended "$apppid"; }

ALSOFT_CONF=$work/alsoft.conf ALSOFT_DRIVERS=wave "$app" --sensor replay >"$work/app.log" 2>&1 &
apppid=$!
pids+=($apppid)
log "application $apppid"

# The onboarding: it finds the recorded sensor, listens for a test slap, and once a knock of the
# recording lands shows its go button; Tab reaches the button and Space presses it.
wait_for "the onboarding window" has_main_window
deadline=120
until main_view_shown; do
    ((SECONDS < 120)) || fail "the onboarding did not hand over to the main window"
    app_exited && fail "the application ended during the onboarding"
    w=$(main_window)
    if [ -n "$w" ]; then
        xdotool windowfocus "$w" 2>/dev/null || true
        xdotool key --window "$w" Tab space 2>/dev/null || true
    fi
    # Give the press time to land before pressing again: a second press would reach the main
    # window's own buttons.
    deadline=3 wait_for_quietly main_view_shown || true
done
unset deadline
log "past the onboarding"
window=$(main_window)
[ -n "$window" ] || fail "no main window after the onboarding"

# Closes the window as its close button would. A settings sheet that a key press of the onboarding
# loop opened blocks the window's close (it is modal), so it is closed first; a close that does
# not take is sent again.
close_main_window()
{
    local attempt sheet
    for attempt in 1 2 3 4 5; do
        sheet=$(windows | awk '$4 == "Settings" {print $1; exit}')
        local main
        main=$(main_window)
        [ -z "$main" ] && return
        [ -n "$sheet" ] && "$tool" close "$sheet"
        "$tool" close "$main"
        deadline=10 wait_for_quietly has_no_main_window && return
    done
    fail "the window did not close"
}

finish()
{
    expect_clean_exit "$apppid" "$work/app.log" "the application"
    # The will-terminate path stops listening: "Stopped" is the last status after "terminating".
    sed -n '/terminating; status:/,$p' "$work/app.log" | grep -v "terminating" | grep -q "thwacko.status: Stopped" ||
        fail "listening was not stopped on the way out"
    log "exited with status 0"
}

if [ "$mode" = notray ]; then
    has_tray_icon && fail "a tray icon without a tray host"
    close_main_window
    finish
    exit 0
fi

wait_for "the tray icon" has_tray_icon

if [ "$mode" = traygone ]; then
    close_main_window
    kill "$trayerpid"
    no_tray() { ! "$tool" tray; }
    wait_for "the tray host to go" no_tray
    wait_for "the window to come back once the tray is gone" has_main_window
    log "the tray went away and the window came back"
    close_main_window
    finish
    exit 0
fi

icon=$(tray_icon)
read -r iconx icony < <(xwininfo -id "$icon" | awk '/Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4} END {print x, y}')
read -r iconw iconh < <(xwininfo -id "$icon" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w, h}')
icon_hash() { "$tool" hash "$icon"; }
log "tray icon $icon at $iconx,$icony (${iconw}x$iconh)"

# Opens the tray menu with a click on the icon and prints its height (it tells the states apart:
# the pause item is there only while listening).
open_menu()
{
    local attempt
    for attempt in 1 2 3 4 5 6; do
        xdotool mousemove $((iconx + iconw / 2)) $((icony + iconh / 2)) click 1
        # A click that lands while the application is busy (or is taken by a window in the way)
        # is tried again.
        if deadline=10 wait_for_quietly has_menu; then
            xwininfo -id "$(menu_window)" | awk '/Height:/ {print $2}'
            return
        fi
    done
    fail "the tray menu did not open"
}
close_menu()
{
    xdotool key Escape
    wait_for "the tray menu to close" has_no_menu
}
# Opens the menu and chooses an item with the arrow keys (the status row counts as the first).
choose()
{
    open_menu >/dev/null
    xdotool key "$@" Return
    wait_for "the tray menu to close" has_no_menu
}
icon_changes_from() { [ "$(icon_hash)" != "$1" ]; }

# The onboarding's go button started listening (unless a stray key press of the onboarding loop
# reached a button of the main window): "Start listening" / "Stop listening" toggles the menu
# between its listening form (with the pause item) and its shorter stopped form.
first=$(open_menu)
close_menu
choose Down Down # "Stop listening" or "Start listening"
second=$(open_menu)
close_menu
((first != second)) || fail "start/stop did not change the menu ($first px both times)"
if ((first > second)); then
    listening=$first stopped=$second
else
    listening=$second stopped=$first
    choose Down Down # "Stop listening"
fi
[ "$(open_menu)" = "$stopped" ] || fail "the menu does not show the stopped state"
close_menu
log "stopped: the menu lost its pause item ($listening px listening, $stopped px stopped)"

before=$(icon_hash)
choose Down Down # "Start listening"
[ "$(open_menu)" = "$listening" ] || fail "the menu does not show listening after Start listening"
close_menu
wait_for "the icon's count to change as knocks play" icon_changes_from "$before"
log "listening: the icon's count follows the knocks"

choose Down Down Down # "Pause"
paused=$(icon_hash)
# Paused, the count cannot move, however long we look.
for _ in 1 2 3 4 5 6 7 8; do
    sleep 1
    [ "$(icon_hash)" = "$paused" ] || fail "the count moved while paused"
done
log "paused: the count stands still"

choose Down Down Down # "Resume"
wait_for "the count to move again after Resume" icon_changes_from "$paused"
log "resumed"

close_main_window
sleep 1
app_exited && fail "closing the window ended the application"
log "window closed; still running in the tray"

choose Up Up # "Open Bonkly window"
wait_for "the window to come back" has_main_window
size=$(windows | awk '$2 >= 400 {print $2 "x" $3; exit}')
[ "$size" = 720x520 ] || fail "the reopened window is $size, not the main window's default 720x520"
log "window reopened from the menu at $size"

choose Up # "Quit Bonkly"
finish

# The clips went to the wave writer: past its header the file holds sound, not only silence.
expect_sound "$work/out.wav"
log "wave file: $(stat -c %s "$work/out.wav") bytes, $loud of them not silent"
