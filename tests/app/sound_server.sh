# A PulseAudio server of our own, for the sound-server test and the output
# depth measurement.  Source this file; it defines functions only.
#
# The server runs in user mode in a private runtime folder, with two null
# sinks at 48000 Hz whose monitors parec records; the first is the default
# output, the second is there for a test to switch the default output to.  Every process is started in
# the background, remembered by its process id and stopped by it; every wait
# is bounded.  sound_server_cleanup stops whatever is still running: call it
# from an EXIT trap.
#
#   sound_server_setup WORK   runtime folder and home under WORK; exports the
#                             environment the clients need
#   sound_server_start [SINK] starts the server, waits until it answers and
#                             makes SINK (the first sink unless told) the default
#   sound_server_kill         kills it at once (SIGKILL), as a crash would
#   sound_server_pause SECS   stops it (SIGSTOP) for SECS seconds, then lets
#                             it go on (SIGCONT), as a machine too busy to
#                             run it would
#   sound_server_stop         stops it (SIGTERM, then SIGKILL)
#   record_start FILE [SINK]  starts parec on the monitor of SINK (the first
#                             sink unless told) into FILE and waits until
#                             samples arrive; several may record at once
#   record_stop               stops every parec
#   set_default_sink SINK     makes SINK the default output
#   default_sink              prints the server's default output
#   stop_pid PID [SECONDS]    SIGTERM, a bounded wait, then SIGKILL
#   wait_until SECONDS CMD... runs CMD every 20 ms until it succeeds; false
#                             when SECONDS pass first
#   now_us                    the time of day in microseconds
#
# Each server runs on a private D-Bus session bus in the runtime folder
# (start_private_bus, at the first start; kept across restarts), never on
# the environment's: PulseAudio registers itself on the session bus, and on
# a desktop it would otherwise do so on the desktop's.  DISPLAY is unset
# too, so that no client finds a desktop's bus or server through X11.

SOUND_SINK=velmo_test
SOUND_SINK2=velmo_test2
server_pid=""
record_pids=()
dbus_pid=""
session_bus=""
sound_server_log=""

# The time now, in microseconds.
now_us() { echo "${EPOCHREALTIME/[.,]/}"; }

wait_until() {
  local deadline
  deadline=$(( $(now_us) + $(awk -v s="$1" 'BEGIN { printf "%d", s * 1000000 }') ))
  shift
  until "$@"; do
    [ "$(now_us)" -lt "$deadline" ] || return 1
    sleep 0.02
  done
}

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
dead() { ! alive "$1"; }

# The shell reports a background job that a signal ended ("Killed") on its
# standard error once it has reaped it; the stop is ours, so that report is
# left out.
stop_pid() {
  local pid=$1 limit=${2:-3}
  alive "$pid" || return 0
  {
    kill -TERM "$pid"
    if ! wait_until "$limit" dead "$pid"; then
      kill -KILL "$pid"
      wait_until 2 dead "$pid"
    fi
    wait "$pid"
  } 2>/dev/null || true
}

sound_server_setup() {
  local work=$1
  for tool in pulseaudio pactl parec dbus-daemon; do
    command -v "$tool" >/dev/null || {
      echo "FAIL: $tool is not installed (scripts/install-deps installs pulseaudio, pulseaudio-utils and dbus)" >&2
      return 1
    }
  done
  mkdir -p "$work/runtime" "$work/home"
  chmod 700 "$work/runtime"
  # The clients find the server through these and nothing else; a desktop's
  # own server or configuration is never touched.
  export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home"
  unset PULSE_SERVER PULSE_SINK PULSE_SOURCE PULSE_RUNTIME_PATH PULSE_STATE_PATH PULSE_COOKIE PULSE_LATENCY_MSEC
  unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY
  sound_server_log="$work/pulseaudio.log"
}

# Started once, at the first start, and exported: the server and every
# client of the test share it.
start_private_bus() {
  alive "$dbus_pid" && return 0
  local lines
  lines="$(timeout 10 dbus-daemon --session --fork --print-address=1 --print-pid=1 \
    --address="unix:path=$XDG_RUNTIME_DIR/bus")" || { echo "FAIL: dbus-daemon did not start" >&2; return 1; }
  session_bus="$(sed -n 1p <<<"$lines")"
  dbus_pid="$(sed -n 2p <<<"$lines")"
  export DBUS_SESSION_BUS_ADDRESS="$session_bus"
  echo "sound_server: a private D-Bus session at $session_bus" >>"$sound_server_log"
}

# The bus was started with --fork, so it is no child of this shell: it is
# stopped by its process id, and waited for by polling.
stop_private_bus() {
  alive "$dbus_pid" || { dbus_pid="" session_bus=""; return 0; }
  kill -TERM "$dbus_pid" 2>/dev/null || true
  wait_until 3 dead "$dbus_pid" || kill -KILL "$dbus_pid" 2>/dev/null || true
  dbus_pid=""
  session_bus=""
  unset DBUS_SESSION_BUS_ADDRESS
}

# Every call of a client is bounded: a server that has just started may take
# a client in and not answer it for half a minute (pipewire-pulse on a busy
# machine, while its session manager starts), and a poll must go on polling
# instead of waiting on one call.
pactl_bounded() { timeout 3 pactl "$@"; }
server_answers() { pactl_bounded info >/dev/null 2>&1; }

# The folders a server makes for itself, made before it starts.  Every
# libpulse client (pactl, parec, the program) makes $XDG_RUNTIME_DIR/pulse
# too when it is missing, and a server that finds it appear between its own
# look and its mkdir gives up ("File exists"): pipewire-pulse does, and a
# poll for the server with pactl is exactly such a client.  Made at every
# start, since a test may clear the folder between a kill and a restart.
make_runtime_folders() {
  mkdir -p -m 700 "$XDG_RUNTIME_DIR/pulse"
}

sound_server_start() {
  # The server is set up by a startup script, the default sink (and the
  # default source, which keeps the recordings where they are when the
  # default sink changes) before the protocol module lets clients in: a
  # client that connected between the server's start and a later
  # set-default-sink would land on the other sink and be moved, as no
  # desktop's server (which restores its default at start) would do.
  local script="${sound_server_log%/*}/startup.pa"
  make_runtime_folders
  start_private_bus || return 1
  cat >"$script" <<EOF
load-module module-null-sink sink_name=$SOUND_SINK rate=48000 sink_properties=device.description=$SOUND_SINK
load-module module-null-sink sink_name=$SOUND_SINK2 rate=48000 sink_properties=device.description=$SOUND_SINK2
set-default-sink ${1:-$SOUND_SINK}
set-default-source $SOUND_SINK.monitor
load-module module-native-protocol-unix
EOF
  # In the foreground of its own background job, so that $! is the server.
  # It warns that it runs as root, which is harmless here.
  pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --file="$script" \
    >>"$sound_server_log" 2>&1 &
  server_pid=$!
  if ! wait_until 10 server_answers; then
    echo "FAIL: the sound server did not answer within 10 s; its log:" >&2
    cat "$sound_server_log" >&2
    return 1
  fi
}

sound_server_kill() {
  alive "$server_pid" || return 0
  {
    kill -KILL "$server_pid"
    wait_until 3 dead "$server_pid"
    wait "$server_pid"
  } 2>/dev/null || true
  server_pid=""
}

sound_server_stop() {
  stop_pid "$server_pid" 3
  server_pid=""
}

# pause_pids SECONDS PID...: SIGSTOP, a wait, SIGCONT.
pause_pids() {
  local seconds=$1
  shift
  kill -STOP "$@"
  sleep "$seconds"
  kill -CONT "$@"
}

sound_server_pause() { pause_pids "$1" "$server_pid"; }

# One source output per running parec.
recording_connected() { [ "$(pactl_bounded list source-outputs short 2>/dev/null | grep -c .)" -ge "${#record_pids[@]}" ]; }
recording_flows() { [ -s "$record_file" ]; }

# parec asks for a short latency.  The null sink, idle since it was loaded,
# sleeps in blocks of up to two seconds and takes a new latency only when
# it wakes, so a freshly started server would neither record nor play for
# up to two seconds: suspending and resuming it makes it take the
# recording's latency at once.
wake_sink() { pactl_bounded suspend-sink "$1" 1 && pactl_bounded suspend-sink "$1" 0; }

# Every recording stays on the monitor it was given.  A recording that names
# the default source would otherwise be taken for one that wants whatever
# the default is, and moved along when the default sink changes: PulseAudio
# is kept from that by a default source set explicitly (sound_server_start),
# PipeWire's session manager by node.dont-reconnect, a stream property that
# pipewire-pulse hands on and PulseAudio ignores.  Returns when samples
# arrive.
record_latency_ms=10
record_file=""
record_start() {
  record_file=$1
  local sink=${2:-$SOUND_SINK}
  parec --latency-msec="$record_latency_ms" --property=node.dont-reconnect=true -d "$sink.monitor" --raw --format=s16le --rate=48000 --channels=2 \
    >"$record_file" 2>>"$sound_server_log" &
  record_pids+=($!)
  wait_until 5 recording_connected || { echo "FAIL: parec did not connect to the sound server" >&2; return 1; }
  wake_sink "$sink"
  wait_until 3 recording_flows || { echo "FAIL: the monitor of $sink delivers nothing" >&2; return 1; }
}

record_stop() {
  local pid
  for pid in "${record_pids[@]}"; do stop_pid "$pid" 3; done
  record_pids=()
}

set_default_sink() { pactl_bounded set-default-sink "$1"; }
default_sink() { pactl_bounded get-default-sink 2>/dev/null; }

sound_server_cleanup() {
  record_stop
  sound_server_stop
  stop_private_bus
}
