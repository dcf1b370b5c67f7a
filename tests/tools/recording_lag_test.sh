#!/usr/bin/env bash
# velmo-recording-lag on a recording made up here, where the answer is
# known: 0.18 s of silence, then the demo music from its start with two
# runs of samples lost (1.3 ms at 0.06 s, 10.7 ms at 0.82 s, what a stream
# starting on a busy machine does), looped on past its end.
# The music's first two seconds come back note for note eight seconds in,
# and with the losses inside the second and a half the tool first listens
# to, it once took that repetition for the start and matched only half the
# windows after it.
#   recording_lag_test.sh VELMO_MAKE_SAMPLES VELMO_RECORDING_LAG
set -euo pipefail
export LC_ALL=C
make_samples="$(realpath "$1")" lag_tool="$(realpath "$2")"
command -v sox >/dev/null || { echo "FAIL: sox is not installed (scripts/install-deps)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$make_samples" "$work" >/dev/null
sox "$work/bgm1.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/music.raw"
# FIRST and COUNT in frames of 4 bytes; COUNT left out: to the end.
frames() {
  local count=()
  [ $# -lt 2 ] || count=(count=$(($2 * 4)))
  dd if="$work/music.raw" bs=64K iflag=skip_bytes,count_bytes skip=$(($1 * 4)) "${count[@]}" status=none
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
