#!/usr/bin/env bash
# Names that are not regular files: a FIFO, a UNIX socket and a directory
# under each of the five names the sample program opens.  velmo-sample
# --headless, velmo-play and velmo-wav info must each report them exactly as
# they report a missing file, with the same words and the same exit status,
# and must not wait on them: every run has two seconds.
#   not_a_file_test.sh VELMO_SAMPLE VELMO_PLAY VELMO_WAV VELMO_MAKE_SAMPLES
set -uo pipefail
sample="$1" player="$2" wav="$3" make_samples="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELMO_AUDIO_OUTPUT=null
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$make_samples" "$work/sounds" >/dev/null || { echo "FAIL: no samples" >&2; exit 1; }
cat >"$work/script.txt" <<'SCRIPT'
press Button7
wait 50
press Button1
wait 50
press Button2
press Button6
press Button9
close
SCRIPT

# run NAME DIR OUT COMMAND...: runs COMMAND in DIR, at most two seconds, with
# standard output and error in OUT.stdout and OUT.stderr; the status in
# $status (137 when it had to be killed).
run() {
  local dir=$2 out=$3
  shift 3
  (cd "$dir" && exec timeout -s KILL 2 "$@" >"$out.stdout" 2>"$out.stderr" </dev/null)
  status=$?
}

# make_kind KIND PATH: puts a KIND where PATH is.
make_kind() {
  rm -rf "$2"
  case "$1" in
    fifo) mkfifo "$2" ;;
    socket) perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$!\n"' "$2" ;;
    directory) mkdir "$2" ;;
    missing) ;;
  esac
}

# check_programs KIND NAME: the three programs with NAME made a KIND, their
# results in $work/KIND.NAME.*.
check_programs() {
  local kind=$1 name=$2 dir="$work/$1.$2"
  rm -rf "$dir"
  cp -r "$work/sounds" "$dir"
  make_kind "$kind" "$dir/$name"
  local good=sfx1.wav
  [ "$name" = sfx1.wav ] && good=sfx2.wav
  run sample "$dir" "$work/$kind.$name.sample" "$sample" --headless --script "$work/script.txt"
  echo "$status" >"$work/$kind.$name.sample.status"
  run music "$dir" "$work/$kind.$name.music" "$player" "$name"
  echo "$status" >"$work/$kind.$name.music.status"
  run effect "$dir" "$work/$kind.$name.effect" "$player" --effect "$name" "$good"
  echo "$status" >"$work/$kind.$name.effect.status"
  run wav "$dir" "$work/$kind.$name.wav" "$wav" info "$name"
  echo "$status" >"$work/$kind.$name.wav.status"
  rm -rf "$dir"
}

same() { cmp -s "$1" "$2"; }

for name in sfx1.wav sfx2.wav sfx3.wav bgm1.wav bgm2.wav; do
  check_programs missing "$name"
  # What a missing file gives is the reference; it must be a failure too.
  [ "$(cat "$work/missing.$name.sample.status")" = 0 ] || fail "velmo-sample without $name: status $(cat "$work/missing.$name.sample.status")"
  [ "$(cat "$work/missing.$name.music.status")" = 1 ] || fail "velmo-play without $name: status $(cat "$work/missing.$name.music.status")"
  [ "$(cat "$work/missing.$name.effect.status")" = 1 ] || fail "velmo-play --effect without $name: status $(cat "$work/missing.$name.effect.status")"
  [ "$(cat "$work/missing.$name.wav.status")" = 1 ] || fail "velmo-wav info without $name: status $(cat "$work/missing.$name.wav.status")"
  grep -q "WaveErrOpenFailed" "$work/missing.$name.music.stderr" || fail "velmo-play without $name said: $(cat "$work/missing.$name.music.stderr")"
  # The effects' load failures are message boxes; the music buttons of a
  # file that does not open are silent, without a word.
  case "$name" in
    sfx*) grep -q "Cannot load wave" "$work/missing.$name.sample.stderr" || fail "velmo-sample without $name said: $(cat "$work/missing.$name.sample.stderr")" ;;
  esac
  for kind in fifo socket directory; do
    check_programs "$kind" "$name"
    for program in sample music effect wav; do
      got="$work/$kind.$name.$program" want="$work/missing.$name.$program"
      if ! same "$got.status" "$want.status"; then
        fail "$program with $name a $kind: status $(cat "$got.status"), a missing file gives $(cat "$want.status")"
      elif ! same "$got.stderr" "$want.stderr" || ! same "$got.stdout" "$want.stdout"; then
        fail "$program with $name a $kind does not report it as a missing file:
$(diff "$want.stdout" "$got.stdout"; diff "$want.stderr" "$got.stderr")"
      fi
    done
  done
done

[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
echo "not a file: every program reported every kind as a missing file"
