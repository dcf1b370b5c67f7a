#!/usr/bin/env bash
# How well the default output holds on a busy desktop: velmo-sample's music
# through SDL2 into a PulseAudio server of our own, beside `paplay
# --latency-msec=40` of the same music, both while two busy loops keep both
# cores loaded.  A measurement, not a test: it asserts nothing and prints,
# per run, each player's lag jumps (samples lost or repeated, with where and
# how large each was) and silent windows (underruns) in 20 s of music, and
# the depth of its output queue as the server reports it.
#
#   bench/output_depth.sh [BUILD_DIR] [RUNS]     (build/default, 3 runs)
#
# The effect latency printed for velmo-sample is an estimate from that
# queue: an effect is mixed within one period of its start, then plays behind
# what the server holds.  "~Q" takes the median queue for both together;
# "at most" adds half a period for an effect that just missed a mix.
# VELMO_DEPTH_ENV adds environment to velmo-sample's runs, to try another
# set-up, e.g. VELMO_DEPTH_ENV="PULSE_LATENCY_MSEC=60" for a deeper server
# queue.  VELMO_KEEP_WORK=1 keeps the recordings.
set -euo pipefail
export LC_ALL=C
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$repo/build/default}")"
runs="${2:-3}"
sample="$build/app/velmo-sample" make_samples="$build/tools/velmo-make-samples"
lag_tool="$build/tools/velmo-recording-lag"
for tool in "$sample" "$make_samples" "$lag_tool"; do
  [ -x "$tool" ] || { echo "output_depth: $tool is not built" >&2; exit 1; }
done
command -v paplay >/dev/null || { echo "output_depth: paplay is missing (scripts/install-deps)" >&2; exit 1; }
# shellcheck source=../tests/app/sound_server.sh
source "$repo/tests/app/sound_server.sh"

seconds=20
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

sound_server_setup "$work"
mkdir "$work/sounds"
"$make_samples" "$work/sounds" >/dev/null
sox "$work/sounds/bgm1.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/bgm1.raw"
# paplay gets the same music, looped to a little over the measured length,
# at the file's own rate: the server converts it as our mixer does.
sox "$work/sounds/bgm1.wav" "$work/loop.wav" repeat 1 trim 0 $((seconds + 1))
printf 'press Play BGM (BGM1.WAV)\nwait %d\nclose\n' $(((seconds + 1) * 1000)) >"$work/script.txt"
sound_server_start

# The server's queue for the one playing stream, in ms: its buffer plus the
# sink's latency, sampled every two seconds while it plays; the median.
sample_queue() {
  local out=$1
  : >"$out"
  while alive "$player_pid"; do
    pactl list sink-inputs 2>/dev/null |
      awk '/Buffer Latency:/ { b = $3 } /Sink Latency:/ { s = $3 } END { if (b != "") printf "%.1f\n", (b + s) / 1000 }' >>"$out"
    sleep 2
  done
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "?" }'; }

# Plays with PLAYER (ours or paplay) and prints one line of figures.
measure() {
  local player=$1 run=$2
  local recording="$work/$player-$run.raw"
  record_start "$recording"
  if [ "$player" = ours ]; then
    # shellcheck disable=SC2086
    (cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT SDL_AUDIODRIVER=pulseaudio ${VELMO_DEPTH_ENV:-} \
      "$sample" --headless --script "$work/script.txt" 2>"$work/stderr-$run") &
  else
    paplay --latency-msec=40 "$work/loop.wav" &
  fi
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
  report="$("$lag_tool" --channel "$([ "$player" = ours ] && echo right || echo mix)" --music "$work/bgm1.raw" \
    --loop --seconds "$seconds" "$recording")"
  figures="$(head -n 1 <<<"$report")"
  queue="$(median "$work/queue")"
  awk -v who="$player" -v run="$run" -v f="$figures" -v q="$queue" -v period="$period_ms" '
    function grab(re, skip, tail) { if (!match(f, re)) return "?"; return substr(f, RSTART + skip, RLENGTH - skip - tail) }
    BEGIN {
      line = sprintf("run %d %-6s jumps %2s (largest %5s ms)  silent windows %3s  matched %5s %%  queue %5s ms", run, who,
                     grab("[0-9]+ jumps", 0, 6), grab("largest [0-9.]+", 8, 0), grab("[0-9]+ silent", 0, 7),
                     grab("[(][0-9.]+ %", 1, 2), q)
      if (who == "ours" && q != "?") line = line sprintf("  effect latency ~%.0f ms (at most ~%.0f)", q, q + period / 2)
      print line
    }'
  # Anything the program said (it should say nothing).
  [ "$player" != ours ] || sed 's/^/      velmo-sample: /' "$work/stderr-$run"
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

# The device period, as the SDL output asks for it.
period_frames="$(sed -n 's/.*kPeriod = \([0-9]*\);.*/\1/p' "$repo/platform/audio/outputs/sdl_output.h")"
period_ms="$(awk -v n="$period_frames" 'BEGIN { printf "%.1f", n * 1000 / 48000 }')"
echo "output_depth: $runs runs of $seconds s, both cores loaded; velmo-sample period $period_ms ms${VELMO_DEPTH_ENV:+ ($VELMO_DEPTH_ENV)}"
start_load
for run in $(seq 1 "$runs"); do
  # Alternate who goes first, so that neither always meets the load fresh.
  if [ $((run % 2)) -eq 1 ]; then
    measure ours "$run"
    measure paplay "$run"
  else
    measure paplay "$run"
    measure ours "$run"
  fi
done
