#!/usr/bin/env bash
# How the program holds over a long run with its sound server taken away
# once a minute.  A measurement, not a test: it prints what it saw.
#
#   bench/soak.sh SERVER MINUTES [BUILD_DIR]
#       SERVER: pulseaudio (tests/app/sound_server.sh) or pipewire
#       (tests/app/pipewire_server.sh: pipewire, wireplumber and
#       pipewire-pulse); BUILD_DIR: build/default unless told.
#
# A private server of that kind runs, and velmo-sample runs against it as a
# user would start it (its default output: the native PipeWire output on
# PipeWire, SDL on PulseAudio), headless, its presses written to its script
# on standard input: the first music at once, then a random press (an
# effect, now and then the music again) every 1 to 3 s.  Near the end of
# each minute the server is taken away, killed and started again in odd
# minutes, frozen for 1.2 s (SIGSTOP, then SIGCONT) in even ones.  Once it
# is back:
#   - 1 s of the default sink is recorded: the music must be in it (most of
#     its 20 ms windows match the music, as velmo-recording-lag tracks it);
#   - the music is stopped, an effect pressed over the silence and the sink
#     recorded: the effect must be in it; then the music is started again.
# At the end of each minute the program's resident memory, open descriptors
# and threads are read from /proc and printed.
#
# The program runs with VELMO_DEBUG=1, so that the native output says at
# close how many of its cycles came late or after skipped ones; that line
# is counted apart, and every other line on standard error is a fault.
# One line of totals at the end, "soak SERVER: ...".  VELMO_KEEP_WORK=1
# keeps the work folder (recordings, logs).
set -euo pipefail
export LC_ALL=C
[ $# -ge 2 ] || { echo "usage: $0 pulseaudio|pipewire MINUTES [BUILD_DIR]" >&2; exit 2; }
server=$1 minutes=$2
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${3:-$root/build/default}")"
sample="$build/app/velmo-sample" make_samples="$build/tools/velmo-make-samples"
lag_tool="$build/tools/velmo-recording-lag"
for tool in "$sample" "$make_samples" "$lag_tool"; do
  [ -x "$tool" ] || { echo "$tool is not built" >&2; exit 2; }
done
case "$server" in
  pulseaudio) source "$root/tests/app/sound_server.sh" ;;
  pipewire) source "$root/tests/app/pipewire_server.sh" ;;
  *) echo "usage: $0 pulseaudio|pipewire MINUTES [BUILD_DIR]" >&2; exit 2 ;;
esac
[[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "MINUTES must be a whole number above 0" >&2; exit 2; }

work="$(mktemp -d)"
program_pid=""
on_exit() {
  exec 3>&- 2>/dev/null || true
  stop_pid "$program_pid" 5
  sound_server_cleanup
  if [ -n "${VELMO_KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap on_exit EXIT
trap 'exit 1' INT TERM

mkdir "$work/sounds"
"$make_samples" "$work/sounds" >/dev/null
for name in bgm1; do
  sox "$work/sounds/$name.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/$name.raw"
done
effect_level="$(sox "$work/sounds/sfx1.wav" -n stat 2>&1 | sed -n 's/^RMS *amplitude: *//p')"
field() { sed -n "s/.*$1.*/\\1/p" <<<"$2" | head -n 1; }
at_least() { awk -v v="$1" -v min="$2" 'BEGIN { exit !(v != "" && v >= min) }'; }

sound_server_setup "$work/server" >/dev/null
sound_server_start >/dev/null || exit 1

# The script comes through a FIFO held open here (read and write, so that
# neither end waits for the other), line by line as the presses are made.
mkfifo "$work/script"
exec 3<>"$work/script"
press() { echo "press $1" >&3; presses=$((presses + 1)); }
(cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER VELMO_DEBUG=1 \
  "$sample" --headless --script - <"$work/script" >"$work/stdout" 2>"$work/stderr") &
program_pid=$!

presses=0
press "Play BGM (BGM1.WAV)"
random_press() {
  case $((RANDOM % 10)) in
    0) press "Play BGM (BGM1.WAV)" ;;
    1 | 2 | 3) press "SFX 1 (SFX1.WAV)" ;;
    4 | 5 | 6) press "SFX2 (SFX2.WAV)" ;;
    *) press "SFX3 (SFX3.WAV)" ;;
  esac
}
sleep_ms() { sleep "$(awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }')"; }

# What /proc says of the program: resident kB, descriptors, threads.
proc_figures() {
  local rss threads fds
  rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$program_pid/status")
  threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$program_pid/status")
  fds=$(find "/proc/$program_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "$rss $fds $threads"
}

# A recording of the default sink of SECONDS, in FILE.
record_for() {
  record_start "$1" "$SOUND_SINK" >/dev/null 2>&1 || return 1
  sleep "$2"
  record_stop
}

outages=0 kills=0 pauses=0 music_heard=0 effect_heard=0
first_rss="" first_fds="" first_threads="" max_rss=0 last=""
for ((minute = 1; minute <= minutes; minute++)); do
  minute_start=$(now_us)
  until [ $(( $(now_us) - minute_start )) -ge 48000000 ]; do
    alive "$program_pid" || { echo "the program ended in minute $minute: $(cat "$work/stderr")" >&2; exit 1; }
    sleep_ms $((1000 + RANDOM % 2001))
    random_press
  done

  outages=$((outages + 1))
  if ((minute % 2 == 1)); then
    kind="restart"
    kills=$((kills + 1))
    sound_server_kill
    sleep 0.5
    sound_server_start >/dev/null || exit 1
  else
    kind="freeze"
    pauses=$((pauses + 1))
    sound_server_pause 1.2
  fi
  # The music, within a second and a half of the server's return, and 1 s
  # of it analysed from its first sound.
  music="no recording"
  if record_for "$work/music$minute.raw" 2.5; then
    result="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --seconds 1 "$work/music$minute.raw")"
    arrival="$(field 'first sound at \([0-9.]*\) s' "$result")"
    matched="$(field '(\([0-9.]*\) % matched)' "$result")"
    music="first sound at ${arrival:-none} s, ${matched:-0} % matched"
    if at_least "$matched" 50 && at_least 1.5 "$arrival"; then music_heard=$((music_heard + 1)); fi
  fi
  # An effect over the stopped music: the recording must hold it.
  press "Stop BGM"
  sleep 1.5  # effects of the random presses end (each is under a second and a half)
  effect="no recording"
  record_start "$work/effect$minute.raw" "$SOUND_SINK" >/dev/null 2>&1 &&
    {
      press "SFX 1 (SFX1.WAV)"
      sleep 1.5
      record_stop
      # The effect is a third of a second long, too short for the music
      # tracker: heard is the recording's level over the silence, a third
      # of the effect's own level over the 1.5 s recorded.
      level="$(sox -t raw -e signed -b 16 -c 2 -r 48000 "$work/effect$minute.raw" -n stat 2>&1 |
        sed -n 's/^RMS *amplitude: *//p')"
      effect="RMS ${level:-none} (the effect alone: $effect_level)"
      if at_least "$level" "$(awk -v l="$effect_level" 'BEGIN { print l / 3 * sqrt(0.32 / 1.5) }')"; then
        effect_heard=$((effect_heard + 1))
      fi
    }
  press "Play BGM (BGM1.WAV)"

  until [ $(( $(now_us) - minute_start )) -ge 60000000 ]; do sleep 0.1; done
  read -r rss fds threads < <(proc_figures)
  [ -n "$first_rss" ] || { first_rss=$rss first_fds=$fds first_threads=$threads; }
  ((rss > max_rss)) && max_rss=$rss
  last="$rss $fds $threads"
  echo "minute $minute: $kind; music: $music; effect: $effect; RSS $rss kB, $fds descriptors, $threads threads"
done

echo close >&3
wait_until 15 dead "$program_pid" || { echo "the program did not end within 15 s of close" >&2; exit 1; }
set +e
wait "$program_pid"
status=$?
set -e
program_pid=""
read -r last_rss last_fds last_threads <<<"$last"
late="$(sed -n 's/^velmo: pipewire: \([0-9]*\) cycles played, \([0-9]*\) of them late.*/\2 of \1/p' "$work/stderr" | tail -n 1)"
other_lines=$(grep -cv '^velmo: pipewire: [0-9]* cycles played' "$work/stderr" || true)
[ "$other_lines" -eq 0 ] || { echo "standard error:" >&2; grep -v '^velmo: pipewire: [0-9]* cycles played' "$work/stderr" >&2; }
awk -v s="$server" -v m="$minutes" -v o="$outages" -v k="$kills" -v p="$pauses" -v mh="$music_heard" \
  -v eh="$effect_heard" -v n="$presses" -v r1="$first_rss" -v rl="$last_rss" -v rmax="$max_rss" \
  -v f1="$first_fds" -v fl="$last_fds" -v t1="$first_threads" -v tl="$last_threads" \
  -v late="${late:-none counted}" -v e="$other_lines" -v st="$status" 'BEGIN {
  printf "soak %s: %d min, %d outages (%d restarts, %d freezes), music after %d/%d, effect after %d/%d, %d presses; ",
    s, m, o, k, p, mh, o, eh, o, n
  printf "RSS %.1f MB after minute 1, %.1f MB at the end (growth %.1f MB, highest %.1f MB); ",
    r1 / 1024, rl / 1024, (rl - r1) / 1024, rmax / 1024
  printf "descriptors %d -> %d, threads %d -> %d; late cycles %s; %d other lines on stderr; exit status %d\n",
    f1, fl, t1, tl, late, e, st
}'
