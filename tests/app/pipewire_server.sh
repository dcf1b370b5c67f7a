# A PipeWire server of our own, as a Debian 12 desktop runs it: pipewire,
# the wireplumber session manager and pipewire-pulse for clients of the
# PulseAudio protocol.  Source this file; it defines functions only.
#
# It offers the functions of sound_server.sh under the same names, so a test
# written against those runs on either server:
#
#   sound_server_setup WORK   runtime folder, home and configuration under
#                             WORK; exports the environment the clients need
#   sound_server_start [SINK] starts the three, waits until the session
#                             manager has made SINK (the first sink unless
#                             told) the default
#   sound_server_kill         kills pipewire and pipewire-pulse at once
#                             (SIGKILL), as a crash would; the session manager
#                             leaves with them
#   sound_server_pause SECS   stops all three (SIGSTOP) for SECS seconds,
#                             then lets them go on (SIGCONT)
#   sound_server_stop         stops all three (SIGTERM, then SIGKILL)
#   sound_server_cleanup      stops everything still running, the private
#                             D-Bus daemon included: call it from an EXIT trap
#
# and keeps sound_server.sh's record_start, record_stop, set_default_sink,
# default_sink, stop_pid, wait_until and now_us (parec and pactl talk to
# pipewire-pulse).
#
# The configuration lives in a private XDG_CONFIG_HOME and adds to Debian's:
# two null sinks at 48000 Hz for pipewire, and a session manager that leaves
# the machine's sound cards, cameras and Bluetooth alone, so that a test run
# on a desktop never takes the desktop's devices.  wireplumber 0.4 (Debian
# 12) reads that from Lua files under main.lua.d/ and bluetooth.lua.d/;
# 0.5 (Debian 13) ignores Lua and reads SPA-JSON fragments under
# wireplumber.conf.d/, where the same is said by turning the profile's
# hardware features off.  Each version ignores the other's files.
#
# All three run on sound_server.sh's private D-Bus session bus:
# wireplumber 0.4 exits without a session bus, 0.5 runs on without one, and
# on a desktop either would otherwise reach the desktop's (device
# reservation, portals).

here_pipewire="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=sound_server.sh
source "$here_pipewire/sound_server.sh"

pipewire_pid=""
session_manager_pid=""
pulse_server_pid=""
pipewire_work=""

sound_server_setup() {
  local work=$1
  for tool in pipewire wireplumber pipewire-pulse pw-cli pw-metadata pactl parec dbus-daemon; do
    command -v "$tool" >/dev/null || {
      echo "FAIL: $tool is not installed (scripts/install-deps installs pipewire, pipewire-bin, pipewire-pulse, wireplumber, dbus and pulseaudio-utils)" >&2
      return 1
    }
  done
  pipewire_work=$work
  mkdir -p "$work/runtime" "$work/home" "$work/config/pipewire/pipewire.conf.d" \
    "$work/config/wireplumber/main.lua.d" "$work/config/wireplumber/bluetooth.lua.d" \
    "$work/config/wireplumber/wireplumber.conf.d" "$work/state"
  chmod 700 "$work/runtime"
  export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
  unset PULSE_SERVER PULSE_SINK PULSE_SOURCE PULSE_RUNTIME_PATH PULSE_STATE_PATH PULSE_COOKIE PULSE_LATENCY_MSEC
  unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_CONFIG_DIR PIPEWIRE_NODE
  unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY
  sound_server_log="$work/pipewire.log"

  local sink
  {
    echo "context.objects = ["
    for sink in "$SOUND_SINK" "$SOUND_SINK2"; do
      cat <<EOF
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = $sink node.description = "$sink"
             media.class = Audio/Sink audio.rate = 48000 audio.channels = 2 audio.position = [ FL FR ]
             monitor.channel-volumes = true object.linger = true } }
EOF
    done
    echo "]"
  } >"$work/config/pipewire/pipewire.conf.d/velmo-test-sinks.conf"
  cat >"$work/config/wireplumber/main.lua.d/51-velmo-test.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
  echo "bluez_monitor.enabled = false" >"$work/config/wireplumber/bluetooth.lua.d/51-velmo-test.lua"
  cat >"$work/config/wireplumber/wireplumber.conf.d/51-velmo-test.conf" <<'EOF'
wireplumber.profiles = {
  main = {
    hardware.audio = disabled
    hardware.bluetooth = disabled
    hardware.video-capture = disabled
    monitor.alsa = disabled
    monitor.alsa-midi = disabled
    monitor.bluez = disabled
    monitor.bluez-midi = disabled
    monitor.v4l2 = disabled
    monitor.libcamera = disabled
  }
}
EOF
}

pipewire_answers() { [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && timeout 2 pw-cli info 0 >/dev/null 2>&1; }
wanted_default=""
default_is_wanted() { [ "$(default_sink)" = "$wanted_default" ]; }
# The session manager runs once it has chosen a default sink, which it
# writes in the "default" metadata as {"name":"SINK"}.
default_is_chosen() {
  timeout 3 pw-metadata -n default 0 default.audio.sink 2>/dev/null | grep -q "value:'{\"name\":\"[^\"]"
}
session_manager_settled() { dead "$session_manager_pid" || default_is_chosen; }

start_session_manager() {
  wireplumber >>"$pipewire_work/wireplumber.log" 2>&1 &
  session_manager_pid=$!
  wait_until 10 session_manager_settled
}

sound_server_start() {
  wanted_default=${1:-$SOUND_SINK}
  make_runtime_folders
  start_private_bus || return 1
  pipewire >>"$sound_server_log" 2>&1 &
  pipewire_pid=$!
  if ! wait_until 10 pipewire_answers; then
    echo "FAIL: pipewire did not answer within 10 s; its log:" >&2
    cat "$sound_server_log" >&2
    return 1
  fi
  # pipewire-pulse comes last.  A program playing through it the moment it
  # answers, before the session manager had taken up the sinks, once held
  # the session manager for 20 s on a busy machine ("2 pending linkable(s)
  # not activated in 20sec"), with no default sink all that time.
  start_session_manager
  pipewire-pulse >>"$pipewire_work/pipewire-pulse.log" 2>&1 &
  pulse_server_pid=$!
  if ! wait_until 10 server_answers; then
    echo "FAIL: pipewire-pulse did not answer within 10 s; its log:" >&2
    cat "$pipewire_work/pipewire-pulse.log" >&2
    return 1
  fi
  # The default lives in the session manager's metadata, so it can be set
  # only once the session manager runs.
  if alive "$session_manager_pid" && default_is_chosen; then
    set_default_sink "$wanted_default"
    wait_until 5 default_is_wanted || true
  fi
  if ! default_is_wanted; then
    echo "FAIL: the session manager did not make $wanted_default the default; its log:" >&2
    cat "$pipewire_work/wireplumber.log" >&2
    return 1
  fi
}

sound_server_kill() {
  local pid
  for pid in "$pulse_server_pid" "$pipewire_pid"; do
    alive "$pid" || continue
    {
      kill -KILL "$pid"
      wait_until 3 dead "$pid"
      wait "$pid"
    } 2>/dev/null || true
  done
  pulse_server_pid="" pipewire_pid=""
  # wireplumber leaves when its server goes; stopped here if it lingers.
  wait_until 3 dead "$session_manager_pid" || true
  stop_pid "$session_manager_pid" 3
  session_manager_pid=""
}

sound_server_pause() { pause_pids "$1" "$pipewire_pid" "$pulse_server_pid" "$session_manager_pid"; }

sound_server_stop() {
  stop_pid "$session_manager_pid" 3
  stop_pid "$pulse_server_pid" 3
  stop_pid "$pipewire_pid" 3
  session_manager_pid="" pulse_server_pid="" pipewire_pid=""
}

# PipeWire's null sink runs on the graph's clock and records at once; it
# cannot be suspended through pipewire-pulse ("Not supported").
wake_sink() { :; }

# A recording asks for a queue no shorter than the program's 512-frame
# period: PipeWire runs the whole graph at the shortest latency any stream
# asks for (rounded down to a power of two), and parec's usual 10 ms would
# run it in 256-frame cycles, shorter than the period SDL's PipeWire driver
# delivers at a time.
record_latency_ms=40

sound_server_cleanup() {
  record_stop
  sound_server_stop
  stop_private_bus
}
