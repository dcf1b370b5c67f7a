#!/usr/bin/env bash
# The directions the tree's includes may take, checked on the sources:
#   the audio engine's mixing room knows the output seam and nothing of the
#   outputs or the device; the outputs know nothing of mixing or the device;
#   the platform layer knows nothing of the library; only app/ knows Qt;
#   the public headers include only public headers.
#   layout_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0

# forbid ROOM PATTERN WHY: no file under ROOM may include a header matching PATTERN.
forbid() {
  local room=$1 pattern=$2 why=$3 hits
  hits=$(grep -rnE "^#include [<\"]($pattern)" $room --include='*.h' --include='*.cpp' --include='*.inc' || true)
  if [ -n "$hits" ]; then
    echo "layout: $why:"
    echo "$hits"
    status=1
  fi
}

forbid platform/audio/mixing 'platform/audio/(device|outputs)/|platform/testing/' "the mixer includes the device or an output"
forbid platform/audio/outputs 'platform/audio/(device|mixing)/|platform/testing/' "an output includes the mixer or the device"
forbid "platform include/velmo/platform" 'sound/|velmo/sound/|app/|tools/|tests/' "the platform layer includes the library or a program"
forbid "platform sound include tools" 'Q[A-Za-z]+|ui_' "the library or the platform layer includes Qt"
forbid "sound include/velmo/sound" 'app/|tools/|tests/|platform/testing/' "the library includes a program or a test double"
forbid include/velmo '(platform|sound)/' "a public header includes a header other than as velmo/..."

[ $status -eq 0 ] && echo "layout: every include points the way the rooms allow"
exit $status
