#!/bin/bash
# A private headless Wayland compositor with one 1280x720 output, for the tests: mutter (GNOME's,
# in a D-Bus session of its own) or sway (run as nobody, since it refuses root; wlroots' headless
# backend with the pixman renderer), each with its Xwayland unless --no-x11 is given (mutter
# only). Everything it keeps goes to one folder of its own; it needs no GPU, no seat and no
# systemd. The compositor runs in a process group of its own, noted in the folder, and is stopped
# by it, so one started from another process (a test) is stopped all the same.
# Sourced (scripts/test-linux):
#   compositor_start KIND NAME [--no-x11]  a folder /tmp/NAME.XXXXXX with KIND running in it
#   compositor_env DIR native|x11          as `env` below
#   compositor_stop                        stops it and removes the folder
# Run (tests/test_support.cpp), on a folder it made with `new`:
#   scripts/compositor.bash new NAME                 prints the folder
#   scripts/compositor.bash DIR start KIND [--no-x11] | stop | env native|x11 | window PID
# `start` says why on stderr when the compositor cannot start. `env` prints NAME=value lines that
# lead a native Wayland client, or an X11 client of the Xwayland, to it (XDG_SESSION_TYPE as a
# Wayland desktop sets it for either); a native client must also be kept from any other X server.
# `window` prints WIDTHxHEIGHT of PID's window while it is shown full screen, else nothing: sway's
# own view for either kind of client, mutter's for an X11 one (WM_STATE Normal, _NET_WM_STATE
# full screen; mutter offers no view of a native client without its screen-cast service).
# The waits below end as soon as what they wait for holds; their bounds allow a sanitizer
# build's slower start.

compositor_as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

# A process that ended is gone even where nobody reaps it (a compositor whose starter has exited).
compositor_alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) && [[ $state != Z ]]
}

# Waits up to SECONDS for a command to succeed, while the compositor still runs.
compositor_wait() {
    local dir=$1 seconds=$2 pid _
    shift 2
    pid=$(cat "$dir/pid")
    for _ in $(seq $((seconds * 10))); do
        "$@" >/dev/null 2>&1 && return 0
        compositor_alive "$pid" || return 1
        sleep 0.1
    done
    return 1
}

compositor_configure() {
    local dir=$1
    # sway, as nobody, reads its configuration and writes its sockets in runtime/.
    chmod 711 "$dir"
    mkdir -m 700 "$dir/runtime"
}

compositor_env() {
    local dir=$1 kind=$2 name value
    [[ $kind == x11 ]] && echo "XDG_SESSION_TYPE=x11" || echo "XDG_SESSION_TYPE=wayland"
    while IFS='=' read -r name value; do
        case $name in
        WAYLAND_DISPLAY | SWAYSOCK | XDG_RUNTIME_DIR) echo "$name=$value" ;;
        DISPLAY | XAUTHORITY) [[ $kind != x11 ]] || echo "$name=$value" ;;
        esac
    done <"$dir/runtime/env"
}

# Runs an X11 client of the Xwayland, as the user the compositor runs as.
compositor_x11() {
    local dir=$1 variables
    shift
    mapfile -t variables < <(compositor_env "$dir" x11)
    if [[ $(cat "$dir/kind") == sway ]]; then
        env "${variables[@]}" "${compositor_as_nobody[@]}" "$@"
    else
        env "${variables[@]}" "$@"
    fi
}

compositor_picture_taken() {
    [[ $(compositor_screenshot "$1" - | wc -c) == $((16 + 1280 * 720 * 3)) ]] # "P6\n1280 720\n255\n"
}

compositor_up() {
    local dir=$1 kind=$2 x11=yes runtime=$1/runtime tool no_x11=()
    [[ ${3:-} != --no-x11 ]] || { x11= && no_x11=(--no-x11); }
    for tool in "$kind" dbus-run-session setpriv; do
        command -v "$tool" >/dev/null || {
            echo "no $kind, dbus-run-session or setpriv (scripts/install-deps --test)" >&2
            return 1
        }
    done
    echo "$kind" >"$dir/kind"
    # Its first client writes the environment it was given. Relative to the compositor's folder.
    local write_env="env > runtime/env.part && mv runtime/env.part runtime/env"
    local start=(env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS
        XDG_RUNTIME_DIR="$runtime" HOME="$runtime" setsid)
    case $kind in
    mutter)
        start+=(dbus-run-session -- mutter --headless --wayland "${no_x11[@]}"
            --virtual-monitor 1280x720 --wayland-display=qm-wayland
            -- sh -c "$write_env; exec sleep infinity")
        ;;
    sway)
        [[ -n $x11 ]] || { echo "sway runs here only with its Xwayland" >&2 && return 1; }
        ((EUID == 0)) || { echo "sway is started as nobody: root only" >&2 && return 1; }
        printf 'output HEADLESS-1 mode 1280x720\nxwayland force\nexec sh -c '\''%s'\''\n' \
            "$write_env" >"$runtime/config"
        chown -R nobody:nogroup "$runtime"
        start+=("${compositor_as_nobody[@]}" env WLR_BACKENDS=headless WLR_RENDERER=pixman
            WLR_LIBINPUT_NO_DEVICES=1 sway -c "$runtime/config")
        ;;
    *)
        echo "no compositor named $kind: mutter or sway" >&2
        return 1
        ;;
    esac
    # setsid runs it as the leader of a new process group: a background job of a script is no
    # group leader, so setsid needs no fork and the pid noted is the group's.
    (cd "$dir" && exec "${start[@]}" >"$dir/compositor.log" 2>&1 </dev/null) &
    echo "$!" >"$dir/pid"
    # Root's X11 clients are let in by the Xwayland's own user, once it answers.
    if ! compositor_wait "$dir" 120 test -f "$runtime/env" ||
        ! grep -q '^WAYLAND_DISPLAY=' "$runtime/env" ||
        { [[ -n $x11 ]] && ! compositor_wait "$dir" 80 compositor_x11 "$dir" xhost \
            +SI:localuser:root; }; then
        echo "$kind did not start${x11:+ with its Xwayland}: $(compositor_alive "$(cat "$dir/pid")" ||
            cat "$dir/compositor.log")" >&2
        return 1
    fi
    # Debian 13's sway (wlroots 0.18) finds no buffer for a headless pixman output here.
    if [[ $kind == sway ]] && ! compositor_wait "$dir" 40 compositor_picture_taken "$dir"; then
        echo "sway has no picture of its output to take: $(tail -c 300 "$dir/compositor.log")" >&2
        return 1
    fi
}

compositor_down() {
    local dir=$1 pid _
    [[ -s $dir/pid ]] || return 0
    pid=$(cat "$dir/pid")
    kill -TERM -- "-$pid" 2>/dev/null || true
    for _ in $(seq 400); do
        compositor_alive "$pid" || break
        sleep 0.1
    done
    # What the leader leaves behind goes too: sway's helper that waits on a starting Xwayland
    # (wlroots) outlives a TERM, and the Xwayland with it.
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    : >"$dir/pid"
}

compositor_window() {
    local dir=$1 pid=$2
    if [[ $(cat "$dir/kind") == sway ]]; then
        # shellcheck disable=SC2016 # python's own syntax
        env "$(grep '^SWAYSOCK=' "$dir/runtime/env")" swaymsg -t get_tree | python3 -c '
import json, sys
def walk(n):
    if n.get("pid") == int(sys.argv[1]) and n.get("fullscreen_mode") == 1 and n.get("visible"):
        print("%dx%d" % (n["rect"]["width"], n["rect"]["height"]))
    for c in n["nodes"] + n["floating_nodes"]: walk(c)
walk(json.load(sys.stdin))' "$pid"
    else
        # shellcheck disable=SC2016 # expanded by the inner shell
        compositor_x11 "$dir" sh -c 'w=$(xdotool search --pid "$1" | head -1) &&
            xprop -id "$w" WM_STATE | grep -q Normal &&
            xprop -id "$w" _NET_WM_STATE | grep -q FULLSCREEN &&
            xdotool getwindowgeometry "$w" | sed -n "s/.*Geometry: //p"' _ "$pid" 2>/dev/null
    fi
}

compositor_screenshot() {
    local variables
    mapfile -t variables < <(compositor_env "$1" native)
    env "${variables[@]}" grim -t ppm "$2"
}

compositor_start() {
    compositor_dir=$(mktemp -d "/tmp/$2.XXXXXX")
    compositor_configure "$compositor_dir"
    compositor_up "$compositor_dir" "$1" "${3:-}"
}

compositor_stop() {
    [[ -n ${compositor_dir:-} ]] || return 0
    compositor_down "$compositor_dir"
    rm -rf "$compositor_dir"
    compositor_dir=
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    case ${2:-} in
    start) compositor_up "$1" "$3" "${4:-}" ;;
    stop) compositor_down "$1" ;;
    env) compositor_env "$1" "$3" ;;
    window) compositor_window "$1" "$3" ;;
    *)
        [[ $1 == new ]] || { echo "usage: see the head of $0" >&2; exit 2; }
        dir=$(mktemp -d "/tmp/$2.XXXXXX")
        compositor_configure "$dir"
        echo "$dir"
        ;;
    esac
fi
