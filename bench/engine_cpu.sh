#!/usr/bin/env bash
# What a whole engine costs while it plays: our library beside OpenAL Soft,
# FAudio and SDL_mixer as Debian ships them, each playing N looping 16-bit
# mono voices in real time into its own paced null output at 48000 Hz
# stereo.  A measurement, not a test: it asserts nothing and prints one table.
#
# Two cases: every voice plays one shared sound (each engine holds it once;
# ours as one buffer and its duplicates), and every voice plays a different
# sound of its own ("distinct": N sounds in memory, N times the reading).
#
#   bench/engine_cpu.sh [BUILD_DIR] [SECONDS] [RUNS]     (build/default, 10 s, 3 runs)
#
# BUILD_DIR must hold a built tree (`make build`); it is installed into a
# temporary prefix and our program builds against the installed headers and
# library, as a user's would.  The peers' programs are in bench/engine_peers/.
#
# Outputs: OpenAL Soft on its null backend (ALSOFT_DRIVERS=null), FAudio and
# SDL_mixer on SDL's disk driver writing to /dev/null (it sleeps one period
# per period written, so it runs in real time), ours on VELMO_AUDIO_OUTPUT=null.
# Sources at 44100 Hz are converted to the output's rate, at 48000 Hz not.
#
# Each program reports its process CPU time (getrusage, all threads) over
# the play alone.  Per run, the same engine's 0-voice run of that round is
# subtracted, so that what is left is the cost of the voices:
#   ns per voice-frame = (cpu(N) - cpu(0)) / (N * 48000 * seconds)
# and the table gives the median of the runs (each run's figure beside it).
# The rounds alternate the engines, so that a burst of load elsewhere on the
# machine falls on all of them.  VELMO_ENGINE_KEEP=1 keeps the work folder.
set -euo pipefail
export LC_ALL=C
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-$repo/build/default}")"
seconds="${2:-10}"
runs="${3:-3}"
peers="$repo/bench/engine_peers"

# The peers, from Debian (as scripts/install-deps installs the rest).
# shellcheck source=peer_packages.sh
source "$repo/bench/peer_packages.sh"
install_peer_packages engine_cpu libopenal-dev libfaudio-dev libsdl2-mixer-dev libsdl2-dev pkg-config g++

work="$(mktemp -d "${TMPDIR:-/tmp}/velmo-engine-cpu.XXXXXX")"
cleanup() { if [ -n "${VELMO_ENGINE_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi; }
trap cleanup EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" \
  || { cat "$work/install.log" >&2; echo "engine_cpu: $build does not install (build it first)" >&2; exit 1; }

cxx=(c++ -std=c++20 -O2 -DNDEBUG -Wall -Wextra -I "$peers")
"${cxx[@]}" "$peers/openal_voices.cpp" -o "$work/openal" $(pkg-config --cflags --libs openal)
"${cxx[@]}" "$peers/openal_quality.cpp" -o "$work/openal_quality" $(pkg-config --cflags --libs openal)
"${cxx[@]}" "$peers/faudio_voices.cpp" -o "$work/faudio" -lFAudio
"${cxx[@]}" "$peers/sdl_mixer_voices.cpp" -o "$work/sdl_mixer" $(pkg-config --cflags --libs SDL2_mixer)
"${cxx[@]}" "$peers/velmo_voices.cpp" -o "$work/velmo" -I "$prefix/include" \
  -L "$prefix/lib" -Wl,-rpath,"$prefix/lib" -lvelmo-sound

# OpenAL Soft's settings: the output's rate, 512-frame periods as ours, and
# one of its band-limited sinc resamplers: bsinc12 (its default) and bsinc24
# (the one that reaches 60 dB at 15 kHz; openal_quality measures both).
for taps in 12 24; do
  printf '[general]\nfrequency = 48000\nperiod_size = 512\nresampler = bsinc%s\n' "$taps" >"$work/alsoft-$taps.conf"
done

run_engine() {  # ENGINE VOICES SOURCE_HZ [SOUNDS] -> one report line
  local engine=$1 voices=$2 hz=$3 sounds=${4:-shared}
  case "$engine" in
    openal | openal24)
      ALSOFT_CONF="$work/alsoft-$([ "$engine" = openal ] && echo 12 || echo 24).conf" ALSOFT_DRIVERS=null \
        "$work/openal" "$voices" "$hz" "$seconds" "$sounds" ;;
    faudio | sdl_mixer)
      SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null "$work/$engine" "$voices" "$hz" "$seconds" "$sounds" ;;
    velmo) VELMO_AUDIO_OUTPUT=null VELMO_OUTPUT_RATE=48000 "$work/velmo" "$voices" "$hz" "$seconds" "$sounds" ;;
  esac 2>>"$work/stderr-$engine"
}

engines=(velmo openal openal24 faudio sdl_mixer)
counts=(1 64 256)
echo "engine_cpu: $runs rounds of $seconds s a run; load before: $(uptime | sed 's/.*load average/load average/')" >&2
: >"$work/results"
for round in $(seq 1 "$runs"); do
  # Each round starts with a different engine.
  order=("${engines[@]:$(((round - 1) % 5))}" "${engines[@]:0:$(((round - 1) % 5))}")
  for engine in "${order[@]}"; do
    line="$(run_engine "$engine" 0 48000)" || { echo "engine_cpu: $engine did not start" >&2; cat "$work/stderr-$engine" >&2; exit 1; }
    echo "round=$round run=$engine $line" >>"$work/results"
    for sounds in shared distinct; do
      for hz in 44100 48000; do
        for n in "${counts[@]}"; do
          # One voice plays one sound either way.
          [ "$sounds" = distinct ] && [ "$n" -lt 2 ] && continue
          line="$(run_engine "$engine" "$n" "$hz" "$sounds")" \
            || { echo "engine_cpu: $engine failed at $n $sounds voices, $hz Hz" >&2; exit 1; }
          echo "round=$round run=$engine hz=$hz $line" >>"$work/results"
        done
      done
    done
    echo "engine_cpu: round $round, $engine done" >&2
  done
done
echo "engine_cpu: load after: $(uptime | sed 's/.*load average/load average/')" >&2
cp "$work/results" "${VELMO_ENGINE_RESULTS:-/dev/null}" 2>/dev/null || true

# The resamplers' figures at 15 kHz: ours from resampler_quality (its
# line: from -> to, tone, signal to error in dB, pitch error), OpenAL Soft's
# from openal_quality, measured the same way.
quality="?"
if [ -x "$build/bench/resampler_quality" ]; then
  quality="$(VELMO_AUDIO_OUTPUT=null "$build/bench/resampler_quality" 2>/dev/null | awk '$0 ~ /44100 -> 48000/ && $0 ~ /15000/ { print; exit }')"
fi
al12="$(ALSOFT_CONF="$work/alsoft-12.conf" "$work/openal_quality" 2>/dev/null || echo '?')"
al24="$(ALSOFT_CONF="$work/alsoft-24.conf" "$work/openal_quality" 2>/dev/null || echo '?')"

awk -v rate=48000 -v quality="$quality" -v al12="$al12" -v al24="$al24" '
  function field(name,   i, kv) {
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  function median(list,   n, v, i, j, t) {
    n = split(list, v, " ")
    for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  {
    e = field("run"); r = field("round"); n = field("voices") + 0
    if (n == 0) { base[e, r] = field("cpu_s"); next }
    rows[NR] = $0
  }
  END {
    for (k = 1; k <= NR; ++k) {
      if (!(k in rows)) continue
      $0 = rows[k]
      e = field("run"); r = field("round"); n = field("voices") + 0; hz = field("hz"); snd = field("sounds")
      key = e SUBSEP n SUBSEP hz SUBSEP snd
      ns = (field("cpu_s") - base[e, r]) * 1e9 / (n * rate * field("wall_s"))
      list[key] = list[key] (list[key] == "" ? "" : " ") sprintf("%.2f", ns)
      p = field("playing") + 0
      if (!(key in held) || p < held[key]) held[key] = p
      resampler[e] = field("resampler")
      if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
    }
    printf "%-12s %-22s %-9s %5s %-11s %14s   %-22s %s\n", "engine", "resampler", "sounds", "N", "converted", "ns/voice-frame", "runs", "voices playing at the end"
    for (k = 1; k <= keys; ++k) {
      split(order[k], part, SUBSEP)
      e = part[1]; n = part[2]; hz = part[3]; snd = part[4]
      m = median(list[order[k]])
      figure[e, n, hz, snd] = m
      conv = hz == 48000 ? "no" : "yes"
      res = resampler[e]
      if (e == "sdl_mixer") { res = "none while mixing"; conv = conv == "yes" ? "at load" : "no" }
      name = e == "openal" || e == "openal24" ? "openal-soft" : e
      printf "%-12s %-22s %-9s %5d %-11s %14.2f   %-22s %d of %d\n", name, res, snd, n, conv, m, list[order[k]], held[order[k]], n
    }
    print ""
    print "Resamplers at 15 kHz, 44100 -> 48000 Hz (signal to error):"
    print "  velmo: its mixer'"'"'s 24-tap sinc (resampler_quality: " quality ")"
    print "  " al12 "   (bsinc12, its default)"
    print "  " al24 "   (bsinc24)"
    print "  faudio: linear interpolation (OpenAL Soft'"'"'s linear measures about 11 dB the same way; not measured in FAudio)"
    print "  sdl_mixer: none while it plays; SDL_AudioCVT converts each chunk once, when it is loaded"
    print ""
    split("shared distinct", cases, " ")
    for (c = 1; c <= 2; ++c) for (i = 1; i <= 2; ++i) {
      snd = cases[c]; n = i == 1 ? 64 : 256
      if (figure["openal24", n, 44100, snd] > 0)
        printf "%-8s converted,   %3d voices: velmo / openal-soft bsinc24 (the peer at 60 dB or better) = %.2f\n", snd, n, figure["velmo", n, 44100, snd] / figure["openal24", n, 44100, snd]
      if (figure["openal", n, 44100, snd] > 0)
        printf "%-8s converted,   %3d voices: velmo / openal-soft bsinc12 = %.2f\n", snd, n, figure["velmo", n, 44100, snd] / figure["openal", n, 44100, snd]
      best = ""; bestv = 0
      split("openal openal24 faudio sdl_mixer", peer, " ")
      for (j = 1; j <= 4; ++j) if (figure[peer[j], n, 48000, snd] > 0 && (best == "" || figure[peer[j], n, 48000, snd] < bestv)) { best = peer[j]; bestv = figure[peer[j], n, 48000, snd] }
      if (best != "") printf "%-8s unconverted, %3d voices: velmo / cheapest peer (%s) = %.2f\n", snd, n, best, figure["velmo", n, 48000, snd] / bestv
    }
  }' "$work/results"
