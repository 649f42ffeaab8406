#!/usr/bin/env bash
# Makes the training mixes and trains the separation model; writes ../separation.weights.
# Needs Debian's python3-torch with OpenBLAS, espeak-ng, festival with two voices, fluidsynth with
# the General MIDI sound font, sox and ffmpeg:
#   apt-get install python3-torch libopenblas0-pthread espeak-ng festival festvox-kallpc16k \
#       festvox-us-slt-hts fluidsynth fluid-soundfont-gm sox ffmpeg
# Usage: train.sh [clips]   (default 3000 clips of 10 s; about half an hour on 8 cores)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec /usr/bin/python3 "$here/train.py" --clips "${1:-3000}" --out "$here/../separation.weights" --seed 1
