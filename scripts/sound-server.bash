#!/bin/bash
# A private sound server with a null sink "qmsink" as the default, for the tests and the benches:
# PulseAudio, or PipeWire with WirePlumber and pipewire-pulse (the sound server of current GNOME
# and KDE desktops). Everything it keeps goes to one short folder of its own (a socket path must
# fit 108 bytes), so it never meets a user's session; it needs no sound card, no systemd and no
# D-Bus, and runs as root. Each daemon is noted in the folder and stopped by its own pid, so a
# server started from another process (a test, a bench's restart job) is stopped all the same.
# Sourced (bench/measure-sync, scripts/test-web):
#   sound_server_start KIND NAME  KIND pulseaudio, pipewire, or pipewire-unlinked (no session
#                                 manager, so nothing is played); a folder /tmp/NAME.XXXXXX, and
#                                 the variables that lead clients to the server exported
#   sound_server_restart GAP      stops it and starts it again GAP seconds later
#   sound_server_stop             stops it and removes the folder
# Run (tests/e2e/sound_server_test.cpp), on a folder it made with `new`:
#   scripts/sound-server.bash new NAME       prints the folder
#   scripts/sound-server.bash DIR start KIND | stop | env | run COMMAND...
# `env` prints the variables as NAME=value lines; `run` runs a client of it. The sink runs at
# 44100 Hz on PulseAudio (QM_SINK_RATE changes it) and at 48000 Hz on PipeWire, as on a desktop.

sound_server_env() {
    local dir=$1
    echo "HOME=$dir"
    echo "XDG_RUNTIME_DIR=$dir"
    echo "PIPEWIRE_RUNTIME_DIR=$dir"
    echo "XDG_CONFIG_HOME=$dir/config"
    echo "XDG_STATE_HOME=$dir/state"
    echo "PULSE_RUNTIME_PATH=$dir/pulse"
    echo "PULSE_STATE_PATH=$dir/state"
    echo "PULSE_SERVER=unix:$dir/pulse/native"
    # A client must never start a server of its own when this one is gone.
    echo "PULSE_CLIENTCONFIG=$dir/client.conf"
}

# A process that ended is gone even where nobody reaps it (a daemon whose starter has exited).
sound_server_alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) && [[ $state != Z ]]
}

# Runs a daemon in the background, noted in the folder's pid list.
sound_server_launch() {
    local dir=$1 name=$2
    shift 2
    env -u DBUS_SESSION_BUS_ADDRESS "$@" >>"$dir/$name.log" 2>&1 </dev/null &
    echo "$!" >>"$dir/pids"
}

# Waits up to 10 s for a command to succeed, while the daemon noted last still runs.
sound_server_wait() {
    local dir=$1 pid _
    shift
    pid=$(tail -1 "$dir/pids")
    for _ in $(seq 100); do
        "$@" >/dev/null 2>&1 && return 0
        sound_server_alive "$pid" || return 1
        sleep 0.1
    done
    return 1
}

sound_server_configure() {
    local dir=$1 conf=$1/config
    mkdir -p "$conf/pipewire/pipewire.conf.d" "$conf/wireplumber/main.lua.d" \
        "$conf/wireplumber/bluetooth.lua.d" "$conf/wireplumber/wireplumber.conf.d" "$dir/state"
    chmod 700 "$dir"
    echo "autospawn = no" >"$dir/client.conf"
    cat >"$conf/pipewire/pipewire.conf.d/qmsink.conf" <<'EOF'
context.objects = [
    { factory = adapter args = { factory.name = support.null-audio-sink node.name = qmsink
      media.class = Audio/Sink audio.rate = 48000 audio.channels = 2 audio.position = [ FL FR ]
      priority.session = 2000 priority.driver = 2000 } }
]
EOF
    # WirePlumber exits at once without a session bus unless everything that wants one is off:
    # Lua drop-ins for 0.4 (Debian 12), read after the defaults they change and before the
    # monitors start, and a profile for 0.5 (Debian 13).
    cat >"$conf/wireplumber/main.lua.d/51-qm.lua" <<'EOF'
alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
libcamera_monitor.enabled = false
v4l2_monitor.enabled = false
EOF
    echo 'bluez_monitor.enabled = false' >"$conf/wireplumber/bluetooth.lua.d/51-qm.lua"
    cat >"$conf/wireplumber/wireplumber.conf.d/90-qm.conf" <<'EOF'
wireplumber.profiles = {
    main = { monitor.bluez = disabled monitor.libcamera = disabled monitor.v4l2 = disabled
             support.reserve-device = disabled support.portal-permissionstore = disabled }
}
EOF
}

# Starts the server in the folder; false with the reason on stderr.
sound_server_export() {
    local variables
    mapfile -t variables < <(sound_server_env "$1")
    export "${variables[@]}"
}

sound_server_up() {
    local dir=$1 kind=$2
    sound_server_export "$dir"
    echo "$kind" >"$dir/kind"
    : >"$dir/pids"
    case $kind in
    pulseaudio)
        sound_server_launch "$dir" server pulseaudio --daemonize=no --exit-idle-time=-1 -n \
            --log-target=stderr \
            --load="module-null-sink sink_name=qmsink rate=${QM_SINK_RATE:-44100} channels=2" \
            --load="module-native-protocol-unix socket=$dir/pulse/native auth-anonymous=1"
        sound_server_wait "$dir" pactl info && pactl set-default-sink qmsink
        ;;
    pipewire)
        # In this order, each once the one before answers: WirePlumber started before the graph
        # answers, or a stream that reaches pipewire-pulse before WirePlumber has chosen the
        # default sink, is left unlinked for 20 s or more. A killed daemon leaves its socket
        # file, so the graph is asked, not the file.
        sound_server_launch "$dir" pipewire pipewire
        sound_server_wait "$dir" timeout 2 pw-cli info 0 &&
            sound_server_launch "$dir" wireplumber wireplumber &&
            sound_server_wait "$dir" sound_server_default_chosen &&
            sound_server_launch "$dir" pipewire-pulse pipewire-pulse &&
            sound_server_wait "$dir" sound_server_default_is_qmsink
        ;;
    pipewire-unlinked)
        # No session manager: pipewire-pulse answers, but no stream is ever linked to a sink, so
        # a player's open waits for ever (SDL's PulseAudio open gives up after 30 s).
        sound_server_launch "$dir" pipewire pipewire
        sound_server_wait "$dir" timeout 2 pw-cli info 0 &&
            sound_server_launch "$dir" pipewire-pulse pipewire-pulse &&
            sound_server_wait "$dir" pactl info
        ;;
    *) return 1 ;;
    esac || {
        echo "the private $kind server would not start: $(tail -n 3 "$dir"/*.log 2>/dev/null)" >&2
        return 1
    }
}

sound_server_default_chosen() {
    timeout 2 pw-metadata -n default 0 default.audio.sink | grep -q '"qmsink"'
}

sound_server_default_is_qmsink() {
    [[ $(pactl get-default-sink 2>/dev/null) == qmsink ]]
}

sound_server_down() {
    local dir=$1 pid pids
    [[ -f $dir/pids ]] || return 0
    # The last started first: pipewire-pulse and WirePlumber before the graph they use.
    mapfile -t pids < <(tac "$dir/pids")
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        while sound_server_alive "$pid"; do sleep 0.02; done
        wait "$pid" 2>/dev/null || true
    done
    : >"$dir/pids"
}

sound_server_start() {
    sound_server_dir=$(mktemp -d "/tmp/$2.XXXXXX")
    sound_server_configure "$sound_server_dir"
    sound_server_up "$sound_server_dir" "$1" || exit 1
}

sound_server_restart() {
    sound_server_down "$sound_server_dir"
    sleep "$1"
    sound_server_up "$sound_server_dir" "$(cat "$sound_server_dir/kind")"
}

sound_server_stop() {
    [[ -n ${sound_server_dir:-} ]] || return 0
    sound_server_down "$sound_server_dir"
    rm -rf "$sound_server_dir"
    sound_server_dir=
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    case ${2:-} in
    start) sound_server_up "$1" "$3" ;;
    stop) sound_server_down "$1" ;;
    env) sound_server_env "$1" ;;
    run)
        sound_server_export "$1"
        "${@:3}"
        ;;
    *)
        [[ $1 == new ]] || { echo "usage: see the head of $0" >&2; exit 2; }
        dir=$(mktemp -d "/tmp/$2.XXXXXX")
        sound_server_configure "$dir"
        echo "$dir"
        ;;
    esac
fi
