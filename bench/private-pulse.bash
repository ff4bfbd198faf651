# Sourced by bench/measure-sync and bench/web-sync: a private PulseAudio server with a null sink
# (stereo, "qmsink", 44100 Hz unless QM_SINK_RATE says otherwise) as the default, so players and the recorder meet on a sound server
# without a sound card. Everything the server keeps goes to a folder of its own, so it never
# meets a user's session (and root, which PulseAudio only warns about, has no session to meet).
#   start_private_pulse NAME   exports PULSE_SERVER and friends; stop_private_pulse undoes it

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
    pulseaudio --daemonize=no --system=false --exit-idle-time=-1 -n \
        --log-target=file:"$pulse_dir/log" \
        --load="module-null-sink sink_name=qmsink rate=${QM_SINK_RATE:-44100} channels=2" \
        --load="module-native-protocol-unix socket=$pulse_dir/native auth-anonymous=1" &
    pulse_pid=$!
    local _
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "$pulse_pid" 2>/dev/null || break
        sleep 0.1
    done
    pactl set-default-sink qmsink || {
        echo "$1: the private PulseAudio server did not start (log: $pulse_dir/log)" >&2
        exit 1
    }
}

stop_private_pulse() {
    [[ -n ${pulse_pid:-} ]] || return 0
    kill "$pulse_pid" 2>/dev/null || true
    wait "$pulse_pid" 2>/dev/null || true
    rm -rf "$pulse_dir"
    pulse_pid=
}
