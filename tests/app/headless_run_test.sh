#!/usr/bin/env bash
# The whole program without a screen: velmo-sample --headless renders a
# short script into a WAVE file through the real platform and the capture
# output, and prints nothing but the message boxes the situation calls for.
#   headless_run_test.sh VELMO_SAMPLE VELMO_MAKE_SAMPLES
set -euo pipefail
sample="$1" make_samples="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The peak and RMS level of a stretch of a WAVE file, from sox.
level() {  # FILE START LENGTH FIELD
  sox "$1" -n trim "$2" "$3" stat 2>&1 | awk -v f="$4" -F: '$1 ~ f {gsub(/ /, "", $2); print $2}'
}
louder_than() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

mkdir "$work/sounds" "$work/empty"
"$make_samples" "$work/sounds"
cat >"$work/script.txt" <<'SCRIPT'
# music alone, then an effect over it, then silence
press Play BGM (BGM1.WAV)
wait 1000
press Button9
wait 600
press Stop BGM
wait 600
close
SCRIPT

# With the five files: no message at all, and a file with music, then music
# and the chime, then silence.
(cd "$work/sounds" && "$sample" --headless --output "$work/out.wav" --script "$work/script.txt" \
  >"$work/stdout" 2>"$work/stderr") || fail "exit status $?"
[ ! -s "$work/stdout" ] || fail "unexpected output: $(cat "$work/stdout")"
[ ! -s "$work/stderr" ] || fail "unexpected messages: $(cat "$work/stderr")"
[ -s "$work/out.wav" ] || fail "no capture file"
soxi "$work/out.wav" >/dev/null || fail "the capture is not a WAVE file"
music="$(level "$work/out.wav" 0.2 0.6 'RMS +amplitude')"
both="$(level "$work/out.wav" 1.05 0.3 'RMS +amplitude')"
after="$(level "$work/out.wav" 2.0 0.3 'Maximum amplitude')"
echo "music RMS $music, music and chime RMS $both, after the stop peak $after"
louder_than "$music" 0.02 || fail "no music in the first second (RMS $music)"
louder_than "$both" "$music" || fail "the chime added nothing (RMS $both against $music)"
louder_than 0.001 "$after" || fail "sound after Stop BGM and the end of the chime (peak $after)"

# Without the files: each effect's two load failures, in order, and silence.
(cd "$work/empty" && "$sample" --headless --output "$work/empty.wav" --script "$work/script.txt" \
  >"$work/stdout" 2>"$work/stderr") || fail "exit status $?"
expected="$(printf 'Velmo Sound Error!: Wave files must be PCM format!\nCannot load wave: Bad wave file or file too big to fit in memory\n%.0s' 1 2 3)"
[ "$(cat "$work/stderr")" = "$expected" ] || fail "messages were: $(cat "$work/stderr")"
peak="$(level "$work/empty.wav" 0 2.2 'Maximum amplitude')"
louder_than 0.0001 "$peak" || fail "the music buttons were not silent (peak $peak)"

# No sound device: the default output, through SDL's ALSA driver, on a device
# that does not exist.  The start-up box, one line of advice, and nothing
# from the sound libraries themselves.
(cd "$work/sounds" && env -u VELMO_AUDIO_OUTPUT SDL_AUDIODRIVER=alsa AUDIODEV=velmo-no-such-device \
  "$sample" --headless --script "$work/script.txt" >"$work/stdout" 2>"$work/stderr") || fail "no device: exit status $?"
[ "$(sed -n 1p "$work/stderr")" = "Velmo Sound Error!: Failed to create DirectSound COM object" ] &&
  sed -n 2p "$work/stderr" | grep -q "^velmo-sample: no sound device could be opened.*--null-audio.*--output" &&
  [ "$(wc -l <"$work/stderr")" -eq 2 ] || fail "without a device the program said: $(cat "$work/stderr")"

# A bad script line: reported with its number, clean shutdown, status 0.
printf 'press Button2\nwait a bit\n' >"$work/bad.txt"
(cd "$work/sounds" && "$sample" --headless --null-audio --script "$work/bad.txt" 2>"$work/stderr") \
  || fail "a bad script line changed the exit status"
grep -q "bad.txt:2: wait takes a whole number of milliseconds" "$work/stderr" || fail "$(cat "$work/stderr")"

# The script from standard input.
(cd "$work/sounds" && printf 'press Button2\nclose\n' | "$sample" --headless --null-audio --script - 2>"$work/stderr") \
  || fail "stdin script: exit status $?"
[ ! -s "$work/stderr" ] || fail "stdin script printed: $(cat "$work/stderr")"

# Whatever the locale: under the C locale, or with none set at all (a
# container, a service), Qt's note that it switched to UTF-8 is no line of
# the program's.
for locale in LC_ALL=C LC_ALL=; do
  (cd "$work/sounds" && env -u LANG -u LANGUAGE -u LC_CTYPE -u LC_MESSAGES "$locale" \
    "$sample" --headless --null-audio --script "$work/script.txt" >"$work/stdout" 2>"$work/stderr") ||
    fail "$locale: exit status $?"
  [ ! -s "$work/stderr" ] || fail "with $locale the program printed: $(cat "$work/stderr")"
done

# The command line: help and version succeed, nonsense is status 2.
"$sample" --help | grep -q -- "--headless" || fail "--help"
"$sample" --version | grep -q "^velmo-sample " || fail "--version"
set +e
"$sample" --no-such-option 2>/dev/null; status=$?
set -e
[ "$status" -eq 2 ] || fail "an unknown option gave status $status"
echo "headless run: all checks passed"
