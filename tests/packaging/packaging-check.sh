#!/usr/bin/env bash
# Checks the installed application and its Debian package, made from this build, without changing
# the machine: everything goes into folders of the test's own.
#   packaging-check.sh <build dir> <source dir> installed|desktop|deb <work folder>
# installed: `cmake --install` into a DESTDIR puts every part where it belongs; the installed
#            `bonkly --help` answers without a display; the installed command, run offscreen with
#            the recorded sensor and OpenAL's wave writer, counts slaps, writes their sound, finds
#            its resources from where it is installed and exits with status 0 on SIGTERM.
# desktop:   the desktop entry passes desktop-file-validate and names the command and icon installed.
# deb:       cpack makes the package with the right control fields; it holds exactly the files the
#            install puts down; lintian finds no error; apt could install it here; dpkg installs and
#            purges it in a private root leaving nothing behind; the udev reload runs only where
#            udev does.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
mode=$3
work=$4
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

. "$(dirname "${BASH_SOURCE[0]}")/../support/harness.sh" packaging-check

root=$work/root
prefix=$root/usr
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" || fail "cmake --install failed"
command=$prefix/bin/bonkly
app_id=app.thwacko.Bonkly
version=$(sed -n '/<key>CFBundleShortVersionString<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
    "$source/resources/Info.plist")
[ -n "$version" ] || fail "no CFBundleShortVersionString in Info.plist"

check_installed()
{
    # Where each part belongs, relative to the prefix.
    [ -L "$command" ] && [ "$(readlink "$command")" = ../lib/bonkly/ThwackoApp ] ||
        fail "bin/bonkly is not a relative link to the launcher"
    [ -x "$prefix/lib/bonkly/ThwackoApp" ] || fail "no launcher in lib/bonkly"
    [ -f "$prefix/lib/bonkly/ThwackoApp.debug" ] || fail "no application library beside the launcher"
    [ "$(readlink -f "$prefix/lib/bonkly/resources")" = "$(readlink -f "$prefix/share/bonkly")" ] ||
        fail "lib/bonkly/resources does not lead to share/bonkly"
    diff -r "$source/resources/Audio" "$prefix/share/bonkly/Audio" || fail "the clips differ from the source's"
    local file
    for file in Info.plist sensor/knocks.replay; do
        cmp "$source/resources/$file" "$prefix/share/bonkly/$file" || fail "share/bonkly/$file differs or is missing"
    done
    cmp "$source/resources/udev/70-thwacko-sensors.rules" "$prefix/lib/udev/rules.d/70-thwacko-sensors.rules" ||
        fail "the udev rules are not in lib/udev/rules.d"
    gzip -t "$prefix/share/man/man1/bonkly.1.gz" || fail "no compressed man page"
    gzip -t "$prefix/share/doc/bonkly/changelog.gz" || fail "no compressed changelog"
    grep -q "The ThwackoApp developers" "$prefix/share/doc/bonkly/copyright" || fail "no copyright file"
    log "every part is installed"

    # --help needs no display and lists every option the README's table does, as the man page does.
    local help
    help=$(cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" "$command" --help) || fail "bonkly --help failed"
    [[ $help == "Usage: bonkly "* ]] || fail "bonkly --help does not begin with its usage: $help"
    local options option
    options=$(grep -o '^| `--[a-z-]*' "$source/README.md" | sed 's/^| `//')
    [ -n "$options" ] || fail "no options found in the README's table"
    for option in $options --help; do
        grep -q -- "$option" <<<"$help" || fail "bonkly --help does not list $option"
        zcat "$prefix/share/man/man1/bonkly.1.gz" | sed 's/\\-/-/g' | grep -q -- "$option" ||
            fail "the man page does not list $option"
    done
    log "bonkly --help lists $(echo $options --help)"

    # The installed command, from a folder of its own, with nothing pointing it at its resources.
    local home=$work/home
    make_private_home "$home"
    write_wave_conf "$work/alsoft.conf" "$work/out.wav"
    (
        cd "$home"
        exec env -u THWACKO_RESOURCES -u THWACKO_SENSOR -u THWACKO_SENSOR_REPLAY -u DISPLAY -u WAYLAND_DISPLAY \
            QT_QPA_PLATFORM=offscreen ALSOFT_CONF="$work/alsoft.conf" ALSOFT_DRIVERS=wave \
            XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" \
            "$command" --sensor replay --start-listening
    ) >"$work/app.log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    slaps() { grep -c "^thwacko.slaps: slap [0-9]*:" "$work/app.log" || true; }
    three_slaps() { (($(slaps) >= 3)) || ended "$pid"; }
    wait_for "three slaps" three_slaps
    alive "$pid" || { cat "$work/app.log" >&2; fail "the installed command ended by itself"; }
    kill -TERM "$pid"
    wait_for "the installed command to end" ended "$pid"
    sed 's/^/  app: /' "$work/app.log"
    expect_clean_exit "$pid" "$work/app.log" "the installed command (on SIGTERM)"
    grep -q "^thwacko.app: terminating" "$work/app.log" || fail "the installed command did not quit cleanly"
    local loud
    expect_sound "$work/out.wav"
    log "$(slaps) slaps counted, $loud bytes of sound written, exit status 0"
}

check_desktop()
{
    local entry=$prefix/share/applications/$app_id.desktop
    [ -f "$entry" ] || fail "no desktop entry $app_id.desktop"
    local report
    report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
    [ -z "$report" ] || fail "desktop-file-validate has remarks: $report"
    key() { sed -n "s/^$1=//p" "$entry"; }
    local expected
    for expected in Type=Application Name=Bonkly StartupWMClass=Bonkly Terminal=false "Icon=$app_id"; do
        [ "$(key "${expected%%=*}")" = "${expected#*=}" ] || fail "the entry lacks $expected"
    done
    local exec
    exec=$(key Exec)
    [ -x "$prefix/bin/${exec%% *}" ] || fail "the entry runs \"$exec\", which is not installed in bin/"
    local icons=$prefix/share/icons/hicolor
    [ -f "$icons/scalable/apps/$app_id.svg" ] || fail "no scalable icon"
    local size
    for size in 16 22 24 32 48 64 128 256; do
        file "$icons/${size}x$size/apps/$app_id.png" | grep -q "PNG image data, $size x $size," ||
            fail "no $size px icon"
    done
    log "the desktop entry validates; its command and icons are installed"
}

check_deb()
{
    cpack -G DEB -B "$work/cpack" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log" >&2; fail "cpack failed"; }
    local deb=$work/cpack/bonkly_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "cpack made no $(basename "$deb")"
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = bonkly ] || fail "package name $(field Package)"
    [ "$(field Version)" = "$version" ] || fail "version $(field Version), Info.plist says $version"
    [ "$(field Maintainer)" = "ThwackoApp developers <dev@thwacko.app>" ] || fail "maintainer $(field Maintainer)"
    [ "$(field Recommends)" = qt6-wayland ] || fail "recommends $(field Recommends)"
    local depends dep
    depends=$(field Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//')
    for dep in qt6-qpa-plugins libqt6svg6 libqt6widgets6 libopenal1 libmpg123-0 libc6; do
        grep -qx "$dep" <<<"$depends" || fail "Depends lacks $dep: $(field Depends)"
    done
    log "control: $(field Package) $(field Version); depends on $(echo $depends)"

    # Every installed file and link, with its mode, and nothing else.
    dpkg-deb -c "$deb" | grep -v '^d' | sed -E 's/^([^ ]+)( +[^ ]+){4} +/\1 /' | sort >"$work/deb.files"
    (cd "$root" && find . -type l -printf '%M %p -> %l\n' -o ! -type d -printf '%M %p\n') | sort >"$work/install.files"
    diff "$work/install.files" "$work/deb.files" ||
        fail "the package's files differ from the installed ones (< installed, > package)"
    log "the package holds the $(wc -l <"$work/deb.files") installed files and links"

    local report status=0
    report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
    printf '%s\n' "$report" | grep -v "running with root privileges" | sed 's/^/  lintian: /' || true
    ((status == 0)) || fail "lintian reports errors"
    log "lintian: no errors"

    # apt would install it here: every dependency resolves (a simulation changes nothing).
    local plan
    plan=$(apt-get install -s -q "$deb" 2>&1) || { printf '%s\n' "$plan" >&2; fail "apt cannot install the package"; }
    grep -q "^Inst bonkly " <<<"$plan" || { printf '%s\n' "$plan" >&2; fail "apt would not install bonkly"; }
    log "apt would install it"

    # Installed and purged with dpkg in a private root (scripts run in place, udevadm faked).
    local dpkgroot=$work/dpkg
    mkdir -p "$dpkgroot/admin/updates" "$dpkgroot/admin/info" "$dpkgroot/inst" "$dpkgroot/bin"
    touch "$dpkgroot/admin/status"
    printf '#!/bin/sh\necho "$*" >>"%s"\n' "$dpkgroot/udevadm.calls" >"$dpkgroot/bin/udevadm"
    chmod 755 "$dpkgroot/bin/udevadm"
    privatedpkg() {
        PATH=$dpkgroot/bin:$PATH dpkg --admindir="$dpkgroot/admin" --instdir="$dpkgroot/inst" --force-not-root \
            --force-script-chrootless --force-depends --log=/dev/null "$@" >>"$dpkgroot/dpkg.log" 2>&1 ||
            { cat "$dpkgroot/dpkg.log" >&2; fail "dpkg $*"; }
    }
    privatedpkg -i "$deb"
    [ -x "$dpkgroot/inst/usr/bin/bonkly" ] || fail "dpkg did not install the command"
    # The packed binaries (stripped, their notes taken out) still run.
    env -i PATH=/usr/bin:/bin "$dpkgroot/inst/usr/bin/bonkly" --help | grep -q "^Usage: bonkly " ||
        fail "the packed bonkly --help failed"
    privatedpkg --purge bonkly
    local left
    left=$(cd "$dpkgroot/inst" && find . -mindepth 1)
    [ -z "$left" ] || fail "purging left: $left"
    [ -z "$(find "$dpkgroot/admin/info" -name 'bonkly.*')" ] || fail "purging left dpkg's records of bonkly"
    log "installed and purged in a private root; nothing left"

    # The maintainer scripts reload udev rules only where udev runs: as here, and (where a mount
    # namespace can be had) with udev's control socket present.
    expect_reload() {
        local where=$1 calls=$2 script
        for script in "postinst configure" "postrm remove" "postrm purge"; do
            rm -f "$dpkgroot/udevadm.calls"
            PATH=$dpkgroot/bin:$PATH sh "$work/control/${script%% *}" "${script#* }" ||
                fail "${script%% *} failed $where"
            if ((calls)); then
                grep -qx "control --reload-rules" "$dpkgroot/udevadm.calls" 2>/dev/null ||
                    fail "$script did not reload the udev rules $where"
            else
                [ ! -e "$dpkgroot/udevadm.calls" ] || fail "$script ran udevadm $where: $(cat "$dpkgroot/udevadm.calls")"
            fi
        done
        log "maintainer scripts $where: $( ((calls)) && echo "reload udev rules" || echo "leave udev alone")"
    }
    dpkg-deb -e "$deb" "$work/control"
    if [ -S /run/udev/control ]; then
        expect_reload "with udev running" 1
    else
        expect_reload "without udev" 0
    fi
    export -f expect_reload fail log
    export dpkgroot work harness
    if unshare -rm true 2>/dev/null; then
        unshare -rm bash -c '
            mount -t tmpfs none /run
            mkdir -p /run/udev
            perl -MIO::Socket::UNIX -e "IO::Socket::UNIX->new(Local => q(/run/udev/control), Listen => 1) or die"
            expect_reload "with udev running (its socket faked)" 1' || fail "the udev check in a mount namespace"
    else
        log "no mount namespace here: the scripts were tried only as udev stands on this machine"
    fi
}

case $mode in
installed) check_installed ;;
desktop) check_desktop ;;
deb) check_deb ;;
*) fail "unknown mode $mode" ;;
esac
log "passed"
