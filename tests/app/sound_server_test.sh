#!/usr/bin/env bash
# The program through a real sound server: velmo-sample --headless with the
# default output (SDL2, here on its PulseAudio driver) plays into a PulseAudio
# server of the test's own, whose sink's monitor parec records.
#   sound_server_test.sh VELMO_SAMPLE VELMO_MAKE_SAMPLES VELMO_RECORDING_LAG
#
# 1. Twenty seconds of music with three effects over it: the music must be
#    in the recording (most short windows line up with the file) and each
#    effect must be found where it was started.
# 2. The server is killed while the music plays and started again: the music
#    must be back within a second of the server answering, and the program
#    must end with status 0.
# Continuity (lag jumps, silent windows) is printed, not asserted: this
# machine's scheduling is too noisy for that.  bench/output_depth.sh measures
# it against paplay.
set -euo pipefail
export LC_ALL=C
sample="$(realpath "$1")" make_samples="$(realpath "$2")" lag_tool="$(realpath "$3")"
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=sound_server.sh
source "$here/sound_server.sh"

work="$(mktemp -d)"
program_pid=""
cleanup() {
  stop_pid "$program_pid" 3
  sound_server_cleanup
  if [ -n "${VELMO_KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

# Thresholds.  A window is 20 ms; "most windows" is four in five, which
# leaves room for the windows the effects cover and for the odd dropout.
min_matched_percent=80
min_effect_correlation=0.8
max_effect_offset=0.25   # seconds between where an effect was started (in the music's time) and where it sounds
max_recovery=1.0         # seconds from the restarted server to the music

sound_server_setup "$work"
mkdir "$work/sounds"
"$make_samples" "$work/sounds" >/dev/null
for name in bgm1 sfx1 sfx2 sfx3; do
  sox "$work/sounds/$name.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/$name.raw"
done

# Music from the start; an effect 4, 9 and 14 s in; the server is killed at
# about 22 s and the script closes the window at 26 s.
cat >"$work/script.txt" <<'SCRIPT'
press Play BGM (BGM1.WAV)
wait 4000
press SFX 1 (SFX1.WAV)
wait 5000
press SFX2 (SFX2.WAV)
wait 5000
press SFX3 (SFX3.WAV)
wait 12000
close
SCRIPT
effects=(--effect "sfx1=$work/sfx1.raw@4" --effect "sfx2=$work/sfx2.raw@9" --effect "sfx3=$work/sfx3.raw@14")

sound_server_start || exit 1
record_start "$work/before.raw" || exit 1

started=$(now_us)
(cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT SDL_AUDIODRIVER=pulseaudio \
  "$sample" --headless --script "$work/script.txt" >"$work/stdout" 2>"$work/stderr") &
program_pid=$!

# Kill the server 22 s after the start, while the music plays.
if wait_until "$(awk -v s="$started" -v now="$(now_us)" 'BEGIN { print 22 - (now - s) / 1e6 }')" dead "$program_pid"; then
  fail "the program ended before the server was killed: $(cat "$work/stderr")"
fi
sound_server_kill
wait_until 3 dead "$record_pid" || true
record_stop
sleep 0.5  # the server stays away long enough for the program to notice

sound_server_start || exit 1
ready=$(now_us)
record_start "$work/after.raw" || exit 1
# The recording holds samples up to about now.
anchor=$(now_us)
anchor_bytes=$(stat -c %s "$work/after.raw")

wait_until 15 dead "$program_pid" || fail "the program did not end within 15 s of its script's end"
set +e
wait "$program_pid"
status=$?
set -e
program_pid=""
record_stop
sound_server_stop

[ "$status" -eq 0 ] || fail "exit status $status; stderr: $(cat "$work/stderr")"
[ ! -s "$work/stderr" ] || fail "unexpected messages: $(cat "$work/stderr")"

# The stream plays 40 dB down on the left (its pan), so the music is followed
# on the right channel, where it plays at full level.
before="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --seconds 20 "${effects[@]}" "$work/before.raw")"
echo "before the restart: $before"
field() { sed -n "s/.*$1.*/\\1/p" <<<"$2" | head -n 1; }
windows="$(field '; \([0-9]*\) windows of' "$before")"
matched="$(field '(\([0-9.]*\) % matched)' "$before")"
[ -n "$windows" ] || fail "no music in the recording before the restart"
[ "$windows" -ge 990 ] || fail "only $windows windows of music before the restart (20 s is 1000)"
awk -v m="$matched" -v min="$min_matched_percent" 'BEGIN { exit !(m >= min) }' ||
  fail "only $matched % of the windows before the restart match the music"
for name in sfx1 sfx2 sfx3; do
  line="$(grep "^effect $name:" <<<"$before")"
  expected="$(field 'expected at \([0-9.]*\) s' "$line")"
  found="$(field 'found at \([0-9.]*\) s' "$line")"
  correlation="$(field 'correlation \([-0-9.]*\)' "$line")"
  awk -v c="$correlation" -v min="$min_effect_correlation" -v e="$expected" -v f="$found" -v d="$max_effect_offset" \
    'BEGIN { exit !(c >= min && f - e <= d && e - f <= d) }' || fail "$name is not in the recording: $line"
done

after="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --seconds 2 "$work/after.raw")"
echo "after the restart: $after"
first="$(field 'first sound at \([0-9.]*\) s' "$after")"
[ -n "$first" ] || fail "no music after the restart"
matched="$(field '(\([0-9.]*\) % matched)' "$after")"
awk -v m="$matched" -v min="$min_matched_percent" 'BEGIN { exit !(m >= min) }' ||
  fail "only $matched % of the windows after the restart match the music"
recovery="$(awk -v a="$anchor" -v b="$anchor_bytes" -v r="$ready" -v f="$first" \
  'BEGIN { printf "%.3f", (a - r) / 1e6 - b / 192000 + f }')"
echo "the music came back $recovery s after the restarted server answered"
awk -v t="$recovery" -v max="$max_recovery" 'BEGIN { exit !(t <= max) }' ||
  fail "the music took $recovery s to come back after the restart (at most $max_recovery s)"
echo "sound server: all checks passed"
