#!/usr/bin/env bash
# velmo-recording-lag on a recording made up here, where the answer is
# known: 0.18 s of silence, then the demo music from its start with two
# runs of samples lost (1.3 ms at 0.06 s, 10.7 ms at 0.82 s, what a stream
# starting on a busy machine does), looped on past its end.
# The music's first two seconds come back note for note eight seconds in,
# and with the losses inside the second and a half the tool first listens
# to, it once took that repetition for the start and matched only half the
# windows after it.
# Then the chime (sfx3) over the music 2 s in, with a hiccup inside it: a
# cycle of 256 frames lost 0.25 s into it and one repeated 0.2 s later.  The
# tool once placed it 0.44 s late, where the chime's partials come back
# almost in phase.
#   recording_lag_test.sh VELMO_MAKE_SAMPLES VELMO_RECORDING_LAG
set -euo pipefail
export LC_ALL=C
make_samples="$(realpath "$1")" lag_tool="$(realpath "$2")"
command -v sox >/dev/null || { echo "FAIL: sox is not installed (scripts/install-deps)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$make_samples" "$work" >/dev/null
sox "$work/bgm1.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/music.raw"
# frames FIRST [COUNT] of $from, in frames of 4 bytes; COUNT left out: to the end.
from="$work/music.raw"
frames() {
  local count=()
  [ $# -lt 2 ] || count=(count=$(($2 * 4)))
  dd if="$from" bs=64K iflag=skip_bytes,count_bytes skip=$(($1 * 4)) "${count[@]}" status=none
}
{
  head -c $((8640 * 4)) /dev/zero   # 0.18 s of silence
  frames 0 2880                     # up to 0.06 s
  frames 2942 $((39360 - 2942))     # 62 frames lost, on to 0.82 s
  frames 39872                      # 512 frames lost, on to the end
  frames 0 $((8 * 48000))           # and round again
} >"$work/recording.raw"

report="$("$lag_tool" --channel right --music "$work/music.raw" --loop --seconds 15 "$work/recording.raw")"
report="$(sed -n 1p <<<"$report")"
echo "$report"
start="$(sed -n 's/.*its start at \([-0-9.]*\) s.*/\1/p' <<<"$report")"
matched="$(sed -n 's/.*(\([0-9.]*\) % matched).*/\1/p' <<<"$report")"
jumps="$(sed -n 's/.*; \([0-9]*\) jumps.*/\1/p' <<<"$report")"
awk -v s="$start" 'BEGIN { exit !(s != "" && s > 0.17 && s < 0.19) }' ||
  { echo "FAIL: the music's start was placed at ${start:-nothing} s, not 0.18 s" >&2; exit 1; }
awk -v m="$matched" 'BEGIN { exit !(m != "" && m >= 95) }' ||
  { echo "FAIL: only ${matched:-no} % of the windows match" >&2; exit 1; }
[ "$jumps" = 2 ] || { echo "FAIL: ${jumps:-no} jumps found, 2 made" >&2; exit 1; }
echo "recording_lag_test: the music placed and followed through both losses"

raw=(-t raw -e signed -b 16 -c 2 -r 48000)
sox "$work/sfx3.wav" "${raw[@]}" "$work/sfx3.raw"
sox "${raw[@]}" "$work/sfx3.raw" "${raw[@]}" "$work/effect.raw" pad 2 1
sox -m -v 1 "${raw[@]}" "$work/music.raw" -v 1 "${raw[@]}" "$work/effect.raw" "${raw[@]}" "$work/mixed.raw" trim 0 4
from="$work/mixed.raw"
{ frames 0 108000; frames 108256 9344; frames 117344; } >"$work/chime.raw"
report="$("$lag_tool" --channel right --music "$work/music.raw" --effect "sfx3=$work/sfx3.raw@2" "$work/chime.raw")"
line="$(grep '^effect sfx3:' <<<"$report")"
echo "$line"
found="$(sed -n 's/.*found at \([0-9.]*\) s.*/\1/p' <<<"$line")"
awk -v f="$found" 'BEGIN { exit !(f != "" && f > 1.99 && f < 2.01) }' ||
  { echo "FAIL: the chime was placed at ${found:-nothing} s, not 2 s" >&2; exit 1; }
echo "recording_lag_test: the chime placed through the hiccup inside it"
