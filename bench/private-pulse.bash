# Sourced by bench/measure-sync and bench/web-sync: a private PulseAudio server with a null sink
# (stereo, "qmsink", 44100 Hz unless QM_SINK_RATE says otherwise) as the default, so players and the recorder meet on a sound server
# without a sound card. Everything the server keeps goes to a folder of its own, so it never
# meets a user's session (and root, which PulseAudio only warns about, has no session to meet).
#   start_private_pulse NAME   exports PULSE_SERVER and friends; stop_private_pulse undoes it
#   restart_private_pulse GAP  ends the server and starts it again GAP seconds later

# Installs PulseAudio when missing and root may; says what to install otherwise.
need_pulse() {
    command -v pulseaudio >/dev/null && command -v pactl >/dev/null && return
    if [[ $(id -u) -ne 0 ]]; then
        echo "$1: install pulseaudio and pulseaudio-utils" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pulseaudio pulseaudio-utils >/dev/null
}

start_private_pulse() {
    need_pulse "$1"
    pulse_dir=$(mktemp -d "/tmp/$1.XXXXXX")
    export HOME=$pulse_dir XDG_RUNTIME_DIR=$pulse_dir PULSE_RUNTIME_PATH=$pulse_dir/run
    export PULSE_STATE_PATH=$pulse_dir/state PULSE_SERVER=unix:$pulse_dir/native
    launch_private_pulse || {
        echo "$1: the private PulseAudio server did not start (log: $pulse_dir/log)" >&2
        exit 1
    }
}

# Starts the server in $pulse_dir and notes its process in $pulse_dir/pid, so that a server
# started again from a background job (restart_private_pulse) is stopped at the end too.
launch_private_pulse() {
    pulseaudio --daemonize=no --system=false --exit-idle-time=-1 -n \
        --log-target=file:"$pulse_dir/log" \
        --load="module-null-sink sink_name=qmsink rate=${QM_SINK_RATE:-44100} channels=2" \
        --load="module-native-protocol-unix socket=$pulse_dir/native auth-anonymous=1" &
    local pid=$! _
    echo "$pid" >"$pulse_dir/pid"
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    pactl set-default-sink qmsink
}

# Ends the server, and after $1 seconds starts it again at the same socket, as a desktop's
# sound service is restarted.
restart_private_pulse() {
    local pid _
    pid=$(cat "$pulse_dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    sleep "$1"
    launch_private_pulse
}

stop_private_pulse() {
    [[ -n ${pulse_dir:-} ]] || return 0
    local pid
    pid=$(cat "$pulse_dir/pid" 2>/dev/null) || true
    if [[ -n $pid ]]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    fi
    rm -rf "$pulse_dir"
    pulse_dir=
}
