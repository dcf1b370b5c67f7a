# The native outputs' checks, for sound_server_test.sh on its PipeWire or
# PulseAudio server.  Sourced by it; uses its variables and functions (work,
# sample, lag_tool, problem, fail, music_arrival, program_runs_until, ...).
#
# native_stream_check      while the program runs: its stream is the native
#                          output's (the PipeWire node, or the PulseAudio
#                          sink-input), so the default chose that output
# run_native_restarts      driver "native-restarts": the server is killed
#                          and started again 5 times in a row while the
#                          music plays; each time the music must be back
#                          within a second and the effect pressed after the
#                          restart heard where it was started; then the
#                          server is stopped for 10 s, and the same once it
#                          goes on
# run_native_quantum       driver "native-quantum": the graph's quantum is
#                          forced to 1024 frames, then 256, then given back,
#                          while the music plays; the recording may have no
#                          more lag jumps than pw-play's of the same music
#                          through the same changes (the recording chain
#                          itself jumps at a change), and must match the
#                          music as well as the plain run's

# Prints the name of every node the server has.  Only the native output
# names its node velmo-sound; a stream made through pipewire-pulse is named
# after the program (velmo-sample), one of SDL's PipeWire driver after the
# program too.
pipewire_nodes() {
  timeout 3 pw-cli ls Node 2>/dev/null | sed -n 's/^[[:space:]]*node.name = "\(.*\)"$/\1/p'
}
native_node_present() { pipewire_nodes | grep -qx 'velmo-sound'; }

# The properties of every sink-input of the PulseAudio server.  Only the
# native PulseAudio output names its stream's software "Velmo Sound"; SDL's
# stream of the same program carries the program's name only.
pulse_stream_properties() { pactl_bounded list sink-inputs 2>/dev/null | grep -E 'media\.software|application\.name'; }
native_pulse_stream_present() {
  pulse_stream_properties | grep -q 'media.software = "Velmo Sound"' &&
    pulse_stream_properties | grep -q "application.name = \"$(basename "$sample")\""
}

native_stream_check() {
  if [ "$server" = pulseaudio ]; then
    wait_until 5 native_pulse_stream_present ||
      problem "no native PulseAudio stream of the program's (sink-inputs: $(pulse_stream_properties | paste -sd' '))"
    return 0
  fi
  if ! wait_until 5 native_node_present; then
    problem "no native PipeWire stream of the program's (nodes: $(pipewire_nodes | paste -sd' '))"
  fi
}

run_native_restarts() {
  min_matched_percent=80
  local run_work="$work/$driver" restarts=5 cycle=5 long_pause=10
  mkdir "$run_work"
  sound_server_setup "$run_work" || exit 1
  sound_server_start || exit 1

  # The server is killed half a second into each 5 s cycle and an effect is
  # pressed 4 s into it: SFX 1, 2, 3, 1, 2.  Then, a second after the last
  # cycle's effect, the server is stopped for long_pause seconds.  Its null
  # sink, when it goes on, races through the cycles it missed (tens of
  # milliseconds for ten seconds of them): an output that mixed them would
  # play the music that far ahead of the time the device kept meanwhile.
  # SFX3 is pressed 2.5 s after the server goes on.
  local names=(sfx1 sfx2 sfx3 sfx1 sfx2) buttons=("SFX 1 (SFX1.WAV)" "SFX2 (SFX2.WAV)" "SFX3 (SFX3.WAV)")
  {
    echo "press Play BGM (BGM1.WAV)"
    echo "wait 4000"
    local k
    for k in $(seq 0 $((restarts - 1))); do
      echo "press ${buttons[$((k % 3))]}"
      echo "wait $((cycle * 1000))"
    done
    # The cycles end 4 + restarts * cycle seconds in, 3 s before the server
    # goes on again.
    echo "wait $(((long_pause - 3) * 1000 + 2500))"
    echo "press SFX3 (SFX3.WAV)"
    echo "wait 2500"
    echo "close"
  } >"$run_work/script.txt"

  local started
  started=$(now_us)
  (cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER \
    "$sample" --headless --script "$run_work/script.txt" >"$run_work/stdout" 2>"$run_work/stderr") &
  program_pid=$!

  local ready=() anchor=() anchor_bytes=()
  for k in $(seq 0 $((restarts - 1))); do
    program_runs_until "$(awk -v k="$k" -v c="$cycle" 'BEGIN { print k * c + 0.5 }')" "$started" ||
      fail "the program ended before restart $((k + 1)): $(cat "$run_work/stderr")"
    sound_server_kill
    record_stop
    sleep 0.5
    sound_server_start || exit 1
    ready[k]=$(now_us)
    record_start "$run_work/after-$k.raw" "$SOUND_SINK" || exit 1
    anchor[k]=$(now_us)
    anchor_bytes[k]=$(stat -c %s "$run_work/after-$k.raw")
  done
  local pause_at=$((restarts * cycle + 1)) resumed pause_anchor pause_anchor_bytes
  program_runs_until "$pause_at" "$started" || fail "the program ended before the server was stopped: $(cat "$run_work/stderr")"
  sound_server_pause "$long_pause"
  resumed=$(now_us)
  record_start "$run_work/after-pause.raw" "$SOUND_SINK" || exit 1
  pause_anchor=$(now_us)
  pause_anchor_bytes=$(stat -c %s "$run_work/after-pause.raw")
  program_ends_cleanly problem

  # Each effect was started 4 + 5k s into the music, which runs on through
  # the outages.
  for k in $(seq 0 $((restarts - 1))); do
    comes_back "after restart $((k + 1))" "$run_work/after-$k.raw" "${ready[k]}" "${anchor[k]}" "${anchor_bytes[k]}" \
      --effect "${names[k]}=$work/${names[k]}.raw@$((4 + cycle * k))"
  done
  comes_back "after a ${long_pause} s stop" "$run_work/after-pause.raw" "$resumed" "$pause_anchor" "$pause_anchor_bytes" \
    --effect "sfx3=$work/sfx3.raw@$(awk -v t="$pause_at" -v p="$long_pause" 'BEGIN { print t + p + 2.5 }')"
}

# Plays with PLAYER (ours or pw-play) for 16 s, forcing the quantum 4, 8 and
# 12 s in, and sets jumps and matched from the recording.
jumps="" matched=""
quantum_run() {
  local player=$1 run_work=$2 started pid
  record_start "$run_work/$player.raw" "$SOUND_SINK" || exit 1
  started=$(now_us)
  if [ "$player" = ours ]; then
    printf 'press Play BGM (BGM1.WAV)\nwait 16000\nclose\n' >"$run_work/script.txt"
    (cd "$work/sounds" && exec env -u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER \
      "$sample" --headless --script "$run_work/script.txt" >"$run_work/stdout" 2>"$run_work/stderr") &
  else
    pw-play "$work/sounds/bgm1.wav" 2>"$run_work/pw-play.stderr" &
  fi
  pid=$!
  program_pid=$pid
  local at quantum
  for at in 4:1024 8:256 12:0; do
    program_runs_until "${at%%:*}" "$started" || fail "$player ended before the quantum change at ${at%%:*} s"
    quantum=${at#*:}
    timeout 3 pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
  done
  wait_until 20 dead "$pid" || fail "$player did not end"
  set +e
  wait "$pid"
  local status=$?
  set -e
  program_pid=""
  record_stop
  [ "$status" -eq 0 ] || problem "$player: exit status $status"
  local report
  report="$("$lag_tool" --channel "$([ "$player" = ours ] && echo right || echo mix)" --music "$work/bgm1.raw" \
    --loop --seconds 15 "$run_work/$player.raw")"
  echo "$player through the quantum changes: $(head -n 1 <<<"$report")"
  grep '^jump:' <<<"$report" | sed 's/^/  /' || true
  jumps="$(field '; \([0-9]*\) jumps' "$report")"
  matched="$(field '(\([0-9.]*\) % matched)' "$report")"
}

run_native_quantum() {
  min_matched_percent=80
  local run_work="$work/$driver"
  mkdir "$run_work"
  sound_server_setup "$run_work" || exit 1
  sound_server_start || exit 1
  local ours_jumps reference_jumps
  quantum_run pw-play "$run_work"
  reference_jumps=$jumps
  quantum_run ours "$run_work"
  ours_jumps=$jumps
  [ ! -s "$run_work/stderr" ] || problem "unexpected messages: $(cat "$run_work/stderr")"
  cleanup
  if [ -z "$ours_jumps" ] || [ -z "$reference_jumps" ]; then
    problem "no music in a recording through the quantum changes (ours: '$ours_jumps' jumps, pw-play: '$reference_jumps')"
    return 0
  fi
  at_least "$matched" "$min_matched_percent" || problem "only $matched % of the windows through the quantum changes match the music"
  # The chain's own jumps vary a little from run to run on this machine: two
  # more than pw-play's is allowed, a stream that misses cycles makes many.
  [ "$ours_jumps" -le $((reference_jumps + 2)) ] ||
    problem "$ours_jumps lag jumps through the quantum changes, pw-play $reference_jumps"
}
