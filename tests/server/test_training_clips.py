#!/usr/bin/python3
"""A training clip is a function of (seed, index): the same in another process and in any order of
calls, and another index gives another clip. Runs on a tiny pool made here from noise and tones.

Exits 77 (skipped) where numpy or scipy is missing."""

import os
import pickle
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import scipy  # noqa: F401
except ImportError:
    print("SKIP: the training scripts need numpy and scipy")
    sys.exit(77)

TRAINING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "engine", "training")
sys.path.insert(0, TRAINING)
import clips  # noqa: E402
import pools  # noqa: E402

SECONDS = 3.0
INDICES = (0, 1, 2, 3, 4, 5, 6, 7)


def synthetic(job):
    """A second or two of tones in noise, and a twin a little off it, from the job's number."""
    rng = np.random.default_rng(job)
    n = int(rng.uniform(0.5, 2.0) * pools.SR)
    t = np.arange(n) / pools.SR
    x = 0.1 * rng.standard_normal((n, 2)) + 0.3 * np.sin(2 * np.pi * rng.uniform(100, 2000) * t)[:, None]
    x = x.astype(np.float32)
    return x, x + 0.01 * rng.standard_normal(x.shape).astype(np.float32)


def make_pools(root):
    folder = os.path.join(root, "pools")
    os.makedirs(folder)
    kinds = {"voice": ("prompt", "syllable"), "music": ("track",), "bed": ("rain", "wind", "sea", "fire"),
             "event": ("door", "steps", "impact", "vehicle")}
    made, job = {}, 0
    for role, names in kinds.items():
        items = []
        for kind in names:
            for i in range(6):
                job += 1
                items.append((role, kind, f"{kind}/speaker{i % 3}/x/{i}.ogg", job, None))
        made[role] = pools.write_pool(folder, role, items, 2, {"test": 1}, prepare=synthetic)
    pools.write_index(folder, made)


def clips_of(root, indices):
    maker = clips.ClipMaker(root, seed=11, seconds=SECONDS)
    return {i: maker.clip(i) for i in indices}


def main():
    if len(sys.argv) == 3:  # the second process: its clips, pickled to stdout
        sys.stdout.buffer.write(pickle.dumps(clips_of(sys.argv[1], [int(i) for i in sys.argv[2].split(",")])))
        return 0
    failures = []
    with tempfile.TemporaryDirectory(prefix="hf-clips-") as root:
        make_pools(root)
        forward = clips_of(root, INDICES)
        backward = clips_of(root, INDICES[::-1])
        maker = clips.ClipMaker(root, seed=11, seconds=SECONDS)
        repeated = {i: maker.clip(i) for i in (3, 3, 5, 3)}
        # Other processes hash strings differently: an order taken from a set would show.
        others = [pickle.loads(subprocess.run([sys.executable, __file__, root, "5,3,0"], capture_output=True, check=True,
                                              env=dict(os.environ, PYTHONHASHSEED=seed)).stdout) for seed in ("1", "2")]
        n = int(SECONDS * pools.SR)
        for i, clip in forward.items():
            if sorted(clip) != ["dialogue", "effects", "mix", "music"]:
                failures.append(f"clip {i} holds {sorted(clip)}")
            for key, x in clip.items():
                if x.shape != (2, n) or x.dtype != np.float32:
                    failures.append(f"clip {i} {key}: {x.shape} {x.dtype}, not (2, {n}) float32")
                cases = (("called in reverse order", backward), ("called again", repeated),
                         ("in another process", others[0]), ("in a third process", others[1]))
                for case, clips_there in cases:
                    if i in clips_there and not np.array_equal(x, clips_there[i][key]):
                        failures.append(f"clip {i} {key} differs {case}")
        mixes = [forward[i]["mix"] for i in INDICES]
        same = [(a, b) for a in range(len(mixes)) for b in range(a) if np.array_equal(mixes[a], mixes[b])]
        if same:
            failures.append(f"clips of different indices are the same: {same}")
    for f in failures:
        print("FAIL:", f)
    print("FAIL" if failures else f"PASS: {len(INDICES)} clips the same in another process and any order, all different")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
