#!/usr/bin/env bash
# How well the default output holds on a busy desktop, at each latency a
# user can choose: velmo-sample's music through SDL2 into a PulseAudio
# server of our own, beside `paplay --latency-msec=MS` of the same music,
# both while two busy loops keep both cores loaded.  A measurement, not a
# test: it asserts nothing and prints, per latency and run, each player's
# lag jumps (samples lost or repeated, with where and how large each was)
# and silent windows (underruns) in 20 s of music, and the depth of its
# output queue as the server reports it; then how soon an effect pressed in
# velmo-sample is heard, measured end to end; and at the end one table.
#
#   bench/output_depth.sh [BUILD_DIR] [RUNS] [LATENCIES]
#       (build/default, 3 runs, "10 20 40": ms, velmo-sample's --latency-ms
#        and paplay's --latency-msec)
#   bench/output_depth.sh BUILD_DIR PRESSES LATENCIES pipewire
#       press latency only, on a PipeWire server of our own
#       (tests/app/pipewire_server.sh): for each latency ("default" for no
#       --latency-ms), PRESSES presses through each of velmo-sample's paths
#       there (the native PipeWire output, SDL's pulseaudio driver through
#       pipewire-pulse, SDL's pipewire driver) and through SDL_mixer, first
#       quiet and then with both cores kept busy.  VELMO_DEPTH_RUNS=N first plays the music N
#       times at each latency through the native output beside
#       `pw-play --latency=FRAMES` at the same quantum, both cores loaded,
#       and prints each one's lag jumps and silent windows.
#       VELMO_DEPTH_SECONDS sets the music's length (20 s).
#   bench/output_depth.sh BUILD_DIR RUNS LATENCIES pulse
#       the native PulseAudio output on the PulseAudio server: first, both
#       cores loaded, RUNS runs of the music at each latency through it
#       (VELMO_AUDIO_OUTPUT=pulseaudio --latency-ms MS) beside
#       `paplay --latency-msec=MS`, and RUNS runs of SDL_mixer (chunks of
#       VELMO_DEPTH_MIXER_CHUNK frames, 512 unless told) playing the same
#       music looping (bench/effect_latency/sdl_mixer_loop.cpp); each one's
#       lag jumps and silent windows, and their sums.  Then press latency,
#       quiet and with both cores loaded, VELMO_DEPTH_PRESSES presses (30)
#       through the native output at each latency, the sdl output at its
#       default and SDL_mixer.
#   bench/output_depth.sh BUILD_DIR PRESSES LATENCIES presses
#       press latency only, on the PulseAudio server: PRESSES presses at each
#       latency through velmo-sample (SDL's pulseaudio driver) and through
#       SDL_mixer, first quiet and then with both cores kept busy.
#
# The effect latency: velmo-sample runs a script read from a pipe, and the
# script presses SFX 1 twenty times, 0.5 to 0.8 s apart, each press's time
# of day taken just before its line is written; parec (--latency-msec=5)
# records the sink's monitor through press_latency, which notes when each
# piece of the recording arrived.  press_latency places the recording in
# time by the piece that came soonest after its samples (so parec's own
# latency is taken out) and finds each effect's first sound after its
# press: the median and the largest of the twenty.  The null sink hands its
# monitor blocks of about 5 ms at once, so a figure can come out early by up
# to that much.  "~Q" beside a run is the older estimate from the queue.
# The same presses go to SDL_mixer (bench/effect_latency/sdl_mixer_press.cpp,
# chunks of VELMO_DEPTH_MIXER_CHUNK frames, 512 unless told, through SDL's
# pulseaudio driver as on a Debian desktop), in the same run, as the peer a
# game would otherwise use.
# VELMO_DEPTH_ENV adds environment to velmo-sample's runs, to try another
# set-up.  VELMO_KEEP_WORK=1 keeps the recordings.
set -euo pipefail
export LC_ALL=C
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$repo/build/default}")"
runs="${2:-3}"
latencies="${3:-10 20 40}"
sample="$build/app/velmo-sample" make_samples="$build/tools/velmo-make-samples"
lag_tool="$build/tools/velmo-recording-lag"
presses=20
server="${4:-pulseaudio}"
case "$server" in
  pipewire) presses="${2:-30}" latencies="${3:-default}" ;;
  presses) presses="${2:-30}" latencies="${3:-20 40}" ;;
  pulse) presses="${VELMO_DEPTH_PRESSES:-30}" ;;
esac
for tool in "$sample" "$make_samples" "$lag_tool"; do
  [ -x "$tool" ] || { echo "output_depth: $tool is not built" >&2; exit 1; }
done
command -v paplay >/dev/null || { echo "output_depth: paplay is missing (scripts/install-deps)" >&2; exit 1; }
if [ "$server" = pipewire ]; then
  # shellcheck source=../tests/app/pipewire_server.sh
  source "$repo/tests/app/pipewire_server.sh"
else
  # shellcheck source=../tests/app/sound_server.sh
  source "$repo/tests/app/sound_server.sh"
fi

seconds=${VELMO_DEPTH_SECONDS:-20}
work="$(mktemp -d)"
load_pids=()
player_pid=""
cleanup() {
  stop_pid "$player_pid" 3
  for pid in "${load_pids[@]}"; do stop_pid "$pid" 2; done
  sound_server_cleanup
  if [ -n "${VELMO_KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# shellcheck source=peer_packages.sh
source "$repo/bench/peer_packages.sh"
install_peer_packages output_depth libsdl2-mixer-dev libsdl2-dev pkg-config g++
probe="$work/press_latency" mixer_peer="$work/sdl_mixer_press" mixer_loop="$work/sdl_mixer_loop"
mixer_chunk=${VELMO_DEPTH_MIXER_CHUNK:-512}
c++ -std=c++20 -O2 -Wall -Wextra "$repo/bench/effect_latency/press_latency.cpp" -o "$probe"
# shellcheck disable=SC2046
c++ -std=c++20 -O2 -Wall -Wextra "$repo/bench/effect_latency/sdl_mixer_press.cpp" -o "$mixer_peer" \
  $(pkg-config --cflags --libs SDL2_mixer)
# shellcheck disable=SC2046
c++ -std=c++20 -O2 -Wall -Wextra "$repo/bench/effect_latency/sdl_mixer_loop.cpp" -o "$mixer_loop" \
  $(pkg-config --cflags --libs SDL2_mixer)
sound_server_setup "$work"
mkdir "$work/sounds"
"$make_samples" "$work/sounds" >/dev/null
sox "$work/sounds/bgm1.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/bgm1.raw"
# paplay gets the same music, looped to a little over the measured length,
# at the file's own rate: the server converts it as our mixer does.
sox "$work/sounds/bgm1.wav" "$work/loop.wav" repeat $((seconds / 16 + 1)) trim 0 $((seconds + 1))
printf 'press Play BGM (BGM1.WAV)\nwait %d\nclose\n' $(((seconds + 1) * 1000)) >"$work/script.txt"
sox "$work/sounds/sfx1.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/sfx1.raw"
sound_server_start

# The server's queue for the one playing stream, in ms: its buffer plus the
# sink's latency, sampled every two seconds while it plays; the median.
sample_queue() {
  local out=$1
  : >"$out"
  while alive "$player_pid"; do
    pactl_bounded list sink-inputs 2>/dev/null |
      awk '/Buffer Latency:/ { b = $3 } /Sink Latency:/ { s = $3 } END { if (b != "") printf "%.1f\n", (b + s) / 1000 }' >>"$out"
    sleep 2
  done
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "?" }'; }

# Plays with PLAYER (ours: velmo-sample through SDL; native: velmo-sample
# through the native PulseAudio output; paplay; sdl_mixer, whose chunk MS
# does not set) and prints one line of figures.
measure() {
  local player=$1 run=$2 ms=$3
  local recording="$work/$player-$ms-$run.raw"
  record_start "$recording"
  case "$player" in
    ours)
      # shellcheck disable=SC2086
      (cd "$work/sounds" && exec env VELMO_AUDIO_OUTPUT=sdl SDL_AUDIODRIVER=pulseaudio ${VELMO_DEPTH_ENV:-} \
        "$sample" --headless --latency-ms "$ms" --script "$work/script.txt" 2>"$work/stderr-$run") & ;;
    native)
      # shellcheck disable=SC2086
      (cd "$work/sounds" && exec env VELMO_AUDIO_OUTPUT=pulseaudio ${VELMO_DEPTH_ENV:-} \
        "$sample" --headless --latency-ms "$ms" --script "$work/script.txt" 2>"$work/stderr-$run") & ;;
    sdl_mixer)
      SDL_AUDIODRIVER=pulseaudio "$mixer_loop" "$work/sounds/bgm1.wav" "$mixer_chunk" $((seconds + 1)) \
        2>"$work/stderr-$run" & ;;
    *) paplay --latency-msec="$ms" "$work/loop.wav" & ;;
  esac
  player_pid=$!
  sleep 1
  sample_queue "$work/queue" &
  local sampler=$!
  wait_until $((seconds + 10)) dead "$player_pid" || stop_pid "$player_pid" 3
  wait "$player_pid" 2>/dev/null || true
  player_pid=""
  wait "$sampler" 2>/dev/null || true
  record_stop
  local figures queue
  local report
  local channel=mix
  [ "$player" != ours ] && [ "$player" != native ] || channel=right
  report="$("$lag_tool" --channel "$channel" --music "$work/bgm1.raw" --loop --seconds "$seconds" "$recording")"
  figures="$(head -n 1 <<<"$report")"
  queue="$(median "$work/queue")"
  awk -v who="$player" -v run="$run" -v f="$figures" -v q="$queue" -v period="$(period_ms "$ms")" -v ms="$ms" \
    -v runs="$work/runs" '
    function grab(re, skip, tail) { if (!match(f, re)) return "?"; return substr(f, RSTART + skip, RLENGTH - skip - tail) }
    BEGIN {
      line = sprintf("%3d ms run %d %-6s jumps %2s (largest %5s ms)  silent windows %3s  matched %5s %%  queue %5s ms", ms, run, who,
                     grab("[0-9]+ jumps", 0, 6), grab("largest [0-9.]+", 8, 0), grab("[0-9]+ silent", 0, 7),
                     grab("[(][0-9.]+ %", 1, 2), q)
      if (who == "ours" && q != "?") line = line sprintf("  ~Q %.0f ms (at most ~%.0f)", q, q + period / 2)
      print line
      print ms, who, grab("[0-9]+ jumps", 0, 6), grab("[0-9]+ silent", 0, 7) >>runs
    }'
  # Anything the program said (it should say nothing).
  [ "$player" = paplay ] || sed "s/^/      $player: /" "$work/stderr-$run"
  # Where each jump was, and by how much (+: samples gained, as after an
  # underrun; -: samples lost).
  grep '^jump:' <<<"$report" | sed 's/^/      /' || true
}

start_load() {
  for _ in 1 2; do
    sh -c 'while :; do :; done' &
    load_pids+=($!)
  done
}

# The device period at a latency, in ms, as the SDL output chooses it
# (SdlPeriodFor: the power of two of frames nearest a quarter of it).
period_ms() {
  awk -v ms="$1" 'BEGIN { q = int(48000 * ms / 4000); p = 64; while (p < 4096 && p * p * 2 < q * q) p *= 2; printf "%.1f", p * 1000 / 48000 }'
}

# Presses SFX 1 in velmo-sample, as a person would, and prints
# press_latency's summary line (the per-press figures go to the log).
# PATH (pulseaudio unless told) is the SDL driver, or "native" for the
# program's default output with a PipeWire server (the native output), or
# "sdl_mixer" for the peer in its place (MS is then not used).  MS
# "default" passes no --latency-ms.
press_latency() {
  local ms=$1 path=${2:-pulseaudio}
  local recording="$work/presses-$ms-$path.raw" stamps="$work/stamps-$ms-$path" times="$work/press-times-$ms-$path"
  local output_env=(VELMO_AUDIO_OUTPUT=sdl SDL_AUDIODRIVER="$path") latency_arg=(--latency-ms "$ms")
  [ "$path" != native ] || output_env=(-u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER)
  [ "$path" != native-pulse ] || output_env=(VELMO_AUDIO_OUTPUT=pulseaudio)
  [ "$ms" != default ] || latency_arg=()
  rm -f "$work/fifo" "$work/script-fifo"
  mkfifo "$work/fifo" "$work/script-fifo"
  "$probe" record "$stamps" "$recording" <"$work/fifo" &
  local probe_pid=$!
  parec --latency-msec=5 -d "$SOUND_SINK.monitor" --raw --format=s16le --rate=48000 --channels=2 \
    >"$work/fifo" 2>>"$sound_server_log" &
  record_pids+=($!)
  wait_until 5 recording_connected || { echo "output_depth: parec did not connect" >&2; return 1; }
  wake_sink "$SOUND_SINK"
  if [ "$path" = sdl_mixer ]; then
    SDL_AUDIODRIVER=pulseaudio "$mixer_peer" "$work/sounds/sfx1.wav" "$mixer_chunk" \
      <"$work/script-fifo" 2>"$work/stderr-presses-$ms-$path" &
  else
    # shellcheck disable=SC2086
    (cd "$work/sounds" && exec env "${output_env[@]}" ${VELMO_DEPTH_ENV:-} \
      "$sample" --headless "${latency_arg[@]}" --script - <"$work/script-fifo" 2>"$work/stderr-presses-$ms-$path") &
  fi
  player_pid=$!
  exec 3>"$work/script-fifo"
  sleep 1.5  # the window is up and the device open
  : >"$times"
  for _ in $(seq 1 "$presses"); do
    echo "$(now_us)" >>"$times"
    printf 'press SFX 1 (SFX1.WAV)\n' >&3
    sleep "0.$((500 + RANDOM % 300))"
  done
  printf 'close\n' >&3
  exec 3>&-
  wait_until 10 dead "$player_pid" || stop_pid "$player_pid" 3
  wait "$player_pid" 2>/dev/null || true
  player_pid=""
  sleep 0.3
  record_stop
  wait "$probe_pid" 2>/dev/null || true
  "$probe" analyse "$stamps" "$recording" "$times" "$work/sfx1.raw" >"$work/press-report-$ms-$path"
  sed 's/^/      /' "$work/press-report-$ms-$path" | grep -v '^      presses' | paste -sd' ' | fold -w 110 -s
  tail -n 1 "$work/press-report-$ms-$path"
}

# The native output's quantum at a latency, in frames (PipeWireQuantumFor).
quantum_frames() {
  [ "$1" != default ] || { echo 256; return; }
  awk -v ms="$1" 'BEGIN { f = int(48000 * ms / 1000); q = 64; while (q < 8192 && q * q * 2 < f * f) q *= 2; print q }'
}

# Plays with PLAYER (native or pw-play) at latency MS, both cores loaded,
# and prints one line of figures.
measure_pipewire() {
  local player=$1 run=$2 ms=$3 frames latency_arg=()
  frames=$(quantum_frames "$ms")
  [ "$ms" = default ] || latency_arg=(--latency-ms "$ms")
  local recording="$work/$player-$ms-$run.raw"
  record_start "$recording"
  if [ "$player" = native ]; then
    (cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER \
      "$sample" --headless "${latency_arg[@]}" --script "$work/script.txt" 2>"$work/stderr-$run") &
  else
    pw-play --latency="$frames" "$work/loop.wav" &
  fi
  player_pid=$!
  wait_until $((seconds + 10)) dead "$player_pid" || stop_pid "$player_pid" 3
  wait "$player_pid" 2>/dev/null || true
  player_pid=""
  record_stop
  local figures
  figures="$("$lag_tool" --channel "$([ "$player" = native ] && echo right || echo mix)" --music "$work/bgm1.raw" \
    --loop --seconds "$seconds" "$recording" | head -n 1)"
  awk -v who="$player" -v run="$run" -v f="$figures" -v ms="$ms" -v frames="$frames" -v runs="$work/runs" '
    function grab(re, skip, tail) { if (!match(f, re)) return "?"; return substr(f, RSTART + skip, RLENGTH - skip - tail) }
    BEGIN {
      printf "  %s (%d frames) run %d %-7s jumps %2s (largest %5s ms)  silent windows %3s  matched %5s %%\n", ms, frames, run, who,
        grab("[0-9]+ jumps", 0, 6), grab("largest [0-9.]+", 8, 0), grab("[0-9]+ silent", 0, 7), grab("[(][0-9.]+ %", 1, 2)
      print ms, who, grab("[0-9]+ jumps", 0, 6), grab("[0-9]+ silent", 0, 7) >>runs
    }'
  [ "$player" != native ] || sed 's/^/      velmo-sample: /' "$work/stderr-$run"
}

# The native PulseAudio output: continuity beside paplay and SDL_mixer, both
# cores loaded, then press latency beside the sdl output and SDL_mixer.
if [ "$server" = pulse ]; then
  : >"$work/runs"
  start_load
  echo "output_depth: pulse, continuity, $runs runs of $seconds s, both cores loaded; load: $(uptime | sed 's/.*load average/load average/')"
  for ms in $latencies; do
    for run in $(seq 1 "$runs"); do
      if [ $((run % 2)) -eq 1 ]; then
        measure native "$run" "$ms"; measure paplay "$run" "$ms"
      else
        measure paplay "$run" "$ms"; measure native "$run" "$ms"
      fi
    done
  done
  for run in $(seq 1 "$runs"); do measure sdl_mixer "$run" "chunk$mixer_chunk"; done
  echo "output_depth: load after: $(uptime | sed 's/.*load average/load average/')"
  for ms in $latencies; do
    awk -v ms="$ms" '$1 == ms { j[$2] += $3; s[$2] += $4 }
      END { printf "  %s ms: native jumps %d silent %d; paplay jumps %d silent %d (sums)\n", ms, j["native"], s["native"], j["paplay"], s["paplay"] }' "$work/runs"
  done
  awk '$2 == "sdl_mixer" { j += $3; s += $4 } END { printf "  SDL_mixer, chunk %s: jumps %d silent %d (sums)\n", "'"$mixer_chunk"'", j, s }' "$work/runs"
  for pid in "${load_pids[@]}"; do stop_pid "$pid" 2; done
  load_pids=()
  for state in quiet loaded; do
    [ "$state" = quiet ] || start_load
    echo "output_depth: pulse, $state, $presses presses; load: $(uptime | sed 's/.*load average/load average/')"
    for what in $(for ms in $latencies; do echo "native-pulse:$ms"; done) pulseaudio:default sdl_mixer:default; do
      path=${what%%:*} ms=${what#*:}
      press_latency "$ms" "$path" >"$work/press-summary"
      echo "  $state  latency $ms  $(printf '%-12s' "$path")  $(tail -n 1 "$work/press-summary")"
      sed 's/^/      /' "$work/stderr-presses-$ms-$path"
    done
  done
  exit 0
fi

# The PipeWire server: with VELMO_DEPTH_RUNS set, that many runs of music
# through the native output beside pw-play at the same quantum, both cores
# loaded; then press latency through each path, quiet, then loaded.  The
# PulseAudio server's press latency alone ("presses") is measured the same
# way, through its one path and SDL_mixer.
if [ "$server" != pulseaudio ]; then
  : >"$work/runs"
  paths="native pulseaudio pipewire sdl_mixer"
  [ "$server" = pipewire ] || paths="pulseaudio sdl_mixer"
  if [ "$server" = pipewire ] && [ -n "${VELMO_DEPTH_RUNS:-}" ]; then
    start_load
    echo "output_depth: pipewire, continuity, $VELMO_DEPTH_RUNS runs of $seconds s, both cores loaded; load: $(uptime | sed 's/.*load average/load average/')"
    for ms in $latencies; do
      for run in $(seq 1 "$VELMO_DEPTH_RUNS"); do
        if [ $((run % 2)) -eq 1 ]; then
          measure_pipewire native "$run" "$ms"; measure_pipewire pw-play "$run" "$ms"
        else
          measure_pipewire pw-play "$run" "$ms"; measure_pipewire native "$run" "$ms"
        fi
      done
      awk -v ms="$ms" '$1 == ms { j[$2] += $3; s[$2] += $4 }
        END { printf "  %s: native jumps %d silent %d; pw-play jumps %d silent %d (sums)\n", ms, j["native"], s["native"], j["pw-play"], s["pw-play"] }' "$work/runs"
    done
    for pid in "${load_pids[@]}"; do stop_pid "$pid" 2; done
    load_pids=()
  fi
  for state in quiet loaded; do
    [ "$state" = quiet ] || start_load
    echo "output_depth: $server, $state, $presses presses; load: $(uptime | sed 's/.*load average/load average/')"
    for ms in $latencies; do
      for path in $paths; do
        press_latency "$ms" "$path" >"$work/press-summary"
        echo "  $state  latency $ms  $(printf '%-10s' "$path")  $(tail -n 1 "$work/press-summary")"
        sed 's/^/      /' "$work/stderr-presses-$ms-$path"
      done
    done
  done
  exit 0
fi

echo "output_depth: $runs runs of $seconds s a latency, both cores loaded${VELMO_DEPTH_ENV:+ ($VELMO_DEPTH_ENV)}"
echo "output_depth: load before: $(uptime | sed 's/.*load average/load average/')"
: >"$work/runs"
: >"$work/latency"
start_load
for ms in $latencies; do
  echo "--- $ms ms (velmo-sample period $(period_ms "$ms") ms)"
  for run in $(seq 1 "$runs"); do
    # Alternate who goes first, so that neither always meets the load fresh.
    if [ $((run % 2)) -eq 1 ]; then
      measure ours "$run" "$ms"
      measure paplay "$run" "$ms"
    else
      measure paplay "$run" "$ms"
      measure ours "$run" "$ms"
    fi
  done
  press_latency "$ms" pulseaudio >"$work/press-summary-$ms"
  cat "$work/press-summary-$ms"
  echo "$ms $(tail -n 1 "$work/press-summary-$ms")" >>"$work/latency"
done
press_latency default sdl_mixer >"$work/press-summary-mixer"
echo "--- SDL_mixer, chunk $mixer_chunk"
cat "$work/press-summary-mixer"
echo "output_depth: load after: $(uptime | sed 's/.*load average/load average/')"

# One line a latency: jumps and silent windows summed over the runs, and
# the effect latency.
echo
echo "latency  ours: jumps  silent   paplay: jumps  silent   (sums of $runs runs)   effect heard after: median / max"
for ms in $latencies; do
  awk -v ms="$ms" -v lat="$(awk -v ms="$ms" '$1 == ms { print $7 " / " $9 " ms (" $5 " of " $3 " found)" }' "$work/latency")" '
    $1 == ms { j[$2] += $3; s[$2] += $4 }
    END { printf "%4d ms  %11d %7d   %13d %7d   %s\n", ms, j["ours"], s["ours"], j["paplay"], s["paplay"], lat }' "$work/runs"
done
awk -v chunk="$mixer_chunk" '{ printf "SDL_mixer, chunk %d: effect heard after %s / %s ms (%s of %s found)\n", chunk, $6, $8, $4, $2 }' \
  <<<"$(tail -n 1 "$work/press-summary-mixer")"
