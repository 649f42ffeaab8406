#!/usr/bin/env bash
# Makes the training mixes and trains the separation model; writes ../separation.weights.
# Installs what is missing of what it needs first: Debian's python3-torch with OpenBLAS, espeak-ng,
# festival with two voices, fluidsynth with the General MIDI sound font, sox and ffmpeg.
# The recordings come from Debian packages that sources.py downloads (about 1.7 GB) and unpacks
# into the folder given (default ~/.cache/hushframe-training); those are not installed.
# Usage: train.sh [clips] [folder]   (default 2400 clips of 10 s)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../../scripts/install-deps" --packages python3-torch libopenblas0-pthread python3-numpy espeak-ng \
    festival festvox-kallpc16k festvox-us-slt-hts fluidsynth fluid-soundfont-gm sox ffmpeg
folder=${2:-${XDG_CACHE_HOME:-$HOME/.cache}/hushframe-training}
mkdir -p "$folder"
start=$(date +%s)
/usr/bin/python3 "$here/train.py" --clips "${1:-2400}" --epochs 10 --out "$here/../separation.weights" --seed 1 \
    --sources "$folder"
echo "trained in $(( $(date +%s) - start )) s"
