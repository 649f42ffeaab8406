#!/usr/bin/env bash
# One run of the band network's training (train_net.py), resuming from the checkpoint when there is
# one. Runs on OpenBLAS (about seven times the reference BLAS's speed here) with one thread per
# process, eight worker processes by default.
# Usage: train_net.sh MINUTES [train_net.py options]   (the run ends within MINUTES)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
minutes=${1:?"the run's budget in minutes"}
shift
openblas=/usr/lib/x86_64-linux-gnu/openblas-pthread
if [ -e "$openblas/libblas.so.3" ]; then
    export LD_LIBRARY_PATH="$openblas${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1
exec /usr/bin/python3 "$here/train_net.py" --checkpoint "$here/checkpoint/band_net.pt" \
    --budget-minutes "$minutes" "$@"
