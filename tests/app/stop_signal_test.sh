#!/usr/bin/env bash
# SIGTERM while a program waits in a file read: velmo-sample --headless
# reading its script from a FIFO whose writer never writes, and, through
# the preloaded library that makes such a FIFO pass for a file whose reads
# block, velmo-play reading its music and velmo-sample loading an effect.
# Each must end within a second of the signal, with its status for a stop.
#   stop_signal_test.sh VELMO_SAMPLE VELMO_PLAY VELMO_MAKE_SAMPLES STALLED_READ_PRELOAD
set -uo pipefail
sample="$1" player="$2" make_samples="$3" preload="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELMO_AUDIO_OUTPUT=null
# The programs of the AddressSanitizer build load its runtime first; the
# preloaded library comes before it here, which is harmless.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$make_samples" "$work/sounds" >/dev/null || { echo "FAIL: no samples" >&2; exit 1; }
printf 'press Button2\nclose\n' >"$work/script.txt"

# A FIFO with a writer that never writes: this shell holds it open for
# reading and writing (which on Linux does not wait for another end), so a
# reader's open succeeds at once and its read waits for ever.  Descriptor 3
# is the writer; the programs are started without it, so that a descriptor
# of theirs on the FIFO is one they opened.
hold_open() { exec 3<>"$1"; }
let_go() { exec 3>&-; }

# until_true TRIES COMMAND...: runs COMMAND every 20 ms until it succeeds,
# at most TRIES times.
until_true() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}
has_open() { ls -l "/proc/$1/fd" 2>/dev/null | grep -q -- "$2"; }
ended() { ! kill -0 "$1" 2>/dev/null; }

# stop_and_check NAME PID STATUS: SIGTERM to PID, which must end within a
# second with STATUS.
stop_and_check() {
  local name=$1 pid=$2 want=$3
  kill -TERM "$pid"
  if until_true 50 ended "$pid"; then
    wait "$pid"
    local status=$?
    [ "$status" -eq "$want" ] || fail "$name: status $status after SIGTERM, not $want: $(cat "$work/stderr")"
  else
    fail "$name: still running a second after SIGTERM"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
  fi
}

# 1. The script from a FIFO: a real blocking read of the program's own.
mkfifo "$work/script.fifo"
hold_open "$work/script.fifo"
(cd "$work/sounds" && exec "$sample" --headless --script "$work/script.fifo" >"$work/stdout" 2>"$work/stderr" 3>&-) &
pid=$!
if until_true 250 has_open "$pid" "$work/script.fifo"; then
  stop_and_check "velmo-sample reading its script" "$pid" 0
  [ ! -s "$work/stderr" ] || fail "velmo-sample reading its script said: $(cat "$work/stderr")"
else
  fail "velmo-sample never opened its script"
  kill -KILL "$pid"
fi
let_go

# run_stalled NAME FILE STATUS DIR COMMAND...: COMMAND in DIR, with FILE a
# FIFO whose reads block; SIGTERM once the program waits in one.
mkdir "$work/stalled"
export VELMO_TEST_STALLED_FOLDER="$(cd "$work/stalled" && pwd -P)"
export VELMO_TEST_STALLED_MARK="$work/waiting"
run_stalled() {
  local name=$1 file=$2 want=$3 dir=$4
  shift 4
  rm -f "$VELMO_TEST_STALLED_MARK" "$file"
  mkfifo "$file"
  hold_open "$file"
  (cd "$dir" && LD_PRELOAD="$preload" exec "$@" >"$work/stdout" 2>"$work/stderr" 3>&-) &
  local pid=$!
  if until_true 250 test -e "$VELMO_TEST_STALLED_MARK"; then
    stop_and_check "$name" "$pid" "$want"
  else
    fail "$name: never began the read that blocks: $(cat "$work/stderr")"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
  fi
  let_go
}

# 2. velmo-play reading its music, before any device starts: a stop is
# status 0, as after playing.
run_stalled "velmo-play reading its music" "$work/stalled/music.wav" 0 "$work/stalled" \
  "$player" music.wav
grep -q "^Stopped before playing$" "$work/stdout" || fail "velmo-play said: $(cat "$work/stdout" "$work/stderr")"

# 3. velmo-sample loading its first effect, with the device started.
cp "$work/sounds/"*.wav "$work/stalled/"
run_stalled "velmo-sample loading an effect" "$work/stalled/sfx1.wav" 0 "$work/stalled" \
  "$sample" --headless --script "$work/script.txt"

[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
echo "stop signals: every program ended within a second of SIGTERM"
