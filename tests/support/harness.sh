# Shell helpers of the tests that run the application from outside, as a user would: logging,
# failing with what helps to tell why, waiting with a deadline, a display and a tray host of
# their own, and the application's exit.
#   . harness.sh <name>   the name starts each line the test writes
# The test may define show_failure, which fail calls to print what it knows (to stderr).
# Background processes go into `pids`; they are ended when the test ends.
# shellcheck shell=bash

harness=$1

log() { echo "$harness: $*"; }
fail()
{
    echo "$harness: FAILED: $*" >&2
    if declare -F show_failure >/dev/null; then
        show_failure >&2 || true
    fi
    exit 1
}

pids=()
cleanup()
{
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Polls `$@` until it succeeds, for at most $deadline seconds (default 60).
wait_for()
{
    local what=$1
    shift
    local until=$((SECONDS + ${deadline:-60}))
    until "$@"; do
        ((SECONDS < until)) || fail "timed out waiting for $what"
        sleep 0.2
    done
}

# The same, returning 1 instead of failing.
wait_for_quietly()
{
    local until=$((SECONDS + ${deadline:-60}))
    until "$@"; do
        ((SECONDS < until)) || return 1
        sleep 0.2
    done
}

alive() { kill -0 "$1" 2>/dev/null; }
ended() { ! alive "$1"; }

# Waits for the process $1 to end and fails unless it exited with status 0; $2 is its log, $3
# what the messages call it.
expect_clean_exit()
{
    local pid=$1 log_file=$2 what=$3 status=0
    wait_for "$what to end" ended "$pid"
    wait "$pid" || status=$?
    # LeakSanitizer's own tracer can crash while it stops the exiting process's threads on a
    # loaded machine; then no leak check ran, and the application did nothing wrong.
    if ((status != 0)) && grep -q "^Tracer caught signal" "$log_file" &&
        grep -q "LeakSanitizer has encountered a fatal error" "$log_file"; then
        log "the leak checker's tracer crashed at exit (status $status); no leak check this run"
        status=0
    fi
    ((status == 0)) || fail "$what exited with status $status"
}

server_answers() { xdpyinfo -display ":$1" >/dev/null 2>&1; }
# Starts an X server of our own and exports DISPLAY: the first free number whose server comes up
# and answers (another test may take a number at the same moment; its lock file then makes our
# server give up). The server's output goes to $1.
start_display()
{
    local output=$1 n server
    for n in $(seq 90 189); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >"$output" 2>&1 &
        server=$!
        until server_answers "$n"; do
            kill -0 "$server" 2>/dev/null || break
            sleep 0.2
        done
        if kill -0 "$server" 2>/dev/null; then
            pids+=("$server")
            export DISPLAY=":$n"
            log "display $DISPLAY"
            return
        fi
    done
    fail "no X server could be started"
}

# Starts the XEmbed tray host (trayer), its process id in $trayerpid, and waits until the tool $1
# finds it; its output goes to $2.
start_tray_host()
{
    local tool=$1 output=$2
    trayer --edge top --align right --widthtype pixel --width 160 --height 28 --SetDockType true >"$output" 2>&1 &
    trayerpid=$!
    pids+=("$trayerpid")
    wait_for "the tray host" "$tool" tray
}

# Private settings, cache and runtime folders below $1; the runtime folder is its own, so no copy
# of the application met outside hands over to one started here.
make_private_home()
{
    mkdir -p "$1/config" "$1/cache" "$1/runtime"
    chmod 0700 "$1/runtime"
}
# The environment of every copy of the application started from here on: the private folders
# below $1, on the X server. In a sanitizer build, libxkbcommon-x11 (Qt's X11 keymap) reads
# strings past their end in a way the strict string check trips on; it is not our code.
set_app_environment()
{
    make_private_home "$1"
    export XDG_CONFIG_HOME=$1/config XDG_CACHE_HOME=$1/cache XDG_RUNTIME_DIR=$1/runtime
    export QT_QPA_PLATFORM=xcb ASAN_OPTIONS="${ASAN_OPTIONS:-}:strict_string_checks=0"
}

# An OpenAL Soft configuration, written to $1, that sends all sound to OpenAL's wave writer and
# its file $2.
write_wave_conf()
{
    cat >"$1" <<CONF
[general]
drivers=wave
[wave]
file=$2
CONF
}
# Fails unless the wave file $1 holds the clips: past its header, sound and not only silence.
# Sets $loud to the number of its bytes that are not silent.
expect_sound()
{
    [ -s "$1" ] || fail "no wave file"
    loud=$(tail -c +45 "$1" | tr -d '\000' | wc -c)
    ((loud > 10000)) || fail "the wave file holds no clips ($loud non-zero bytes)"
}

# The application's visible windows as "id width height title", one a line.
windows()
{
    local id
    for id in $(xdotool search --onlyvisible --class Bonkly 2>/dev/null); do
        xwininfo -id "$id" 2>/dev/null |
            awk -v id="$id" '/^xwininfo:/ {t=$0; sub(/^[^"]*"/, "", t); sub(/"$/, "", t)} /Width:/ {w=$2}
                /Height:/ {h=$2} END {print id, w, h, t}'
    done
}
# The window "Bonkly" (the onboarding or the main window; the settings sheet has its own title).
main_window() { windows | awk '$2 >= 400 && $4 == "Bonkly" && NF == 4 {print $1; exit}'; }
