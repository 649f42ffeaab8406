"""Per-stem pools of recordings, decoded once, that clips.py mixes training clips from.

    /usr/bin/python3 pools.py --root DIR [--jobs 4]

Fetches and decodes the packages of sources.py (under DIR, once; it refuses the packages kept out
of training), then writes DIR/pools/: for every pool (voice, music, bed, event, and the
procedural.py recordings in procedural-bed and procedural-event, make_data.py's synthesised speech
and scores in synthetic-voice and synthetic-music) NAME.f32 holds its recordings one
after another as float32 frames (44.1 kHz, stereo interleaved) and NAME.aac.f32 the same
recordings after one trip through the upload's AAC (256 kbit/s stereo) and back, sample-aligned
with the clean ones; NAME.json lists the recordings (role, kind, speaker, where they start, how
long, train or dev). index.json gathers the pools. A pool whose files are complete and whose recipe
is unchanged is kept: running it again costs nothing. Two builds in one folder take turns.

Voices and events are trimmed of what lies 40 dB under their peak at both ends. A small share of
the recordings of every kind is held back as the dev split (never mixed into training clips).
"""

import argparse
import fcntl
import json
import os
import subprocess
import tempfile
import zlib
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import make_data
import procedural
import sources

SR = sources.SR
VERSION = 1          # of the recipe below: a pool made by another version is made again
DEV_SHARE = 0.08     # of each kind's recordings (or speakers), held back for the dev split
AAC_BITRATE = 256000
MAX_EVENT_SECONDS = 8
# Procedural recordings per kind, train and dev: beds of 30 s, events of 0.3-14 s.
PROCEDURAL_COUNTS = {"bed": (40, 6), "event": (200, 24)}
# Synthesised recordings, train and dev: lines of speech (ten by each synthetic speaker) and 10 s
# of a score (General MIDI played by fluidsynth, or synthesised), as narration and library music are.
SYNTH_VERSION = 1
SYNTH_COUNTS = {"voice": (600, 50), "music": (240, 20)}
LINES_PER_SPEAKER = 10
SYNTH_RMS = 0.1


def aac_twin(x):
    """x (samples, 2) float32 through AAC and back, the same length and aligned with x."""
    with tempfile.TemporaryDirectory(prefix="hf-pool-") as tmp:
        coded = os.path.join(tmp, "x.m4a")
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "f32le", "-ac", "2", "-ar", str(SR),
                        "-i", "-", "-c:a", "aac", "-b:a", str(AAC_BITRATE), coded],
                       input=np.ascontiguousarray(x, "<f4").tobytes(), check=True)
        back = sources.decode(coded).T
    out = np.zeros_like(x)
    n = min(len(x), len(back))
    out[:n] = back[:n]
    return out


def trimmed(x, floor_db=-40.0):
    level = np.abs(x).max(axis=1)
    loud = np.nonzero(level > level.max() * 10 ** (floor_db / 20))[0]
    return x[loud[0]:loud[-1] + 1] if loud.size else x[:0]


def prepare(job):
    """(clean, twin) float32 (samples, 2) of one decoded or procedural recording, or None if nothing
    is left."""
    if job[0] == "procedural":
        return prepare_procedural(job)
    if job[0] == "synthetic":
        return prepare_synthetic(job)
    _, path, role = job
    x = np.load(path, mmap_mode="r").T.astype(np.float32) / 32000.0
    if role in ("voice", "event"):
        x = trimmed(x)
    if role == "event":
        x = x[:MAX_EVENT_SECONDS * SR]
    if len(x) < SR // 20:
        return None
    return x, aac_twin(x)


VOICES = {}  # (folder, split): the voice pool's clean frames and that split's recordings, in each worker


def prepare_procedural(job):
    _, kind, split, number, folder = job
    rng = np.random.default_rng([VERSION, procedural.BEDS.index(kind) if kind in procedural.BEDS
                                 else 10 + procedural.EVENTS.index(kind), SPLIT_CODES[split], number])
    if (folder, split) not in VOICES:
        with open(os.path.join(folder, "voice.json")) as f:
            recs = [r for r in json.load(f)["recordings"] if r["split"] == split]
        VOICES[folder, split] = np.memmap(os.path.join(folder, "voice.f32"), dtype="<f4", mode="r").reshape(-1, 2), recs
    frames, recs = VOICES[folder, split]

    def voice(rng):
        r = recs[rng.integers(len(recs))]
        return frames[r["start"]:r["start"] + r["length"]].mean(axis=1, dtype=np.float64)

    x = procedural.render(kind, rng, voice).T.astype(np.float32)
    return x, aac_twin(x)


SPLIT_CODES = {"train": 0, "dev": 1}


def prepare_synthetic(job):
    """A line of a synthetic speaker, or a piece of a score, at an RMS of SYNTH_RMS."""
    _, role, split, number = job
    rng = np.random.default_rng([VERSION, SYNTH_VERSION, 30 if role == "voice" else 31, SPLIT_CODES[split], number])
    with tempfile.TemporaryDirectory(prefix="hf-synth-") as tmp:
        if role == "voice":
            speaker = np.random.default_rng([VERSION, SYNTH_VERSION, 32, SPLIT_CODES[split], number // LINES_PER_SPEAKER])
            text, delivery = make_data.LINES[rng.integers(len(make_data.LINES))]
            spk = make_data.pick_speaker(speaker)
            if spk["engine"] == "festival" and delivery == "w":
                delivery = "n"
            x = trimmed(np.repeat(make_data.speak(rng, spk, text, delivery, tmp, "line")[:, None], 2, axis=1))
        else:
            pre = rng.uniform(0.0, 3.0)
            x = (make_data.make_midi_music(rng, tmp, pre) if rng.random() < 0.6 else make_data.make_synth_music(rng, pre))[0].T
    level = np.sqrt(np.mean(np.square(x))) if len(x) else 0.0
    if level < 1e-6:
        return None
    x = (x * (SYNTH_RMS / level)).astype(np.float32)
    return x, aac_twin(x)


def speaker_of(rel, kind):
    """A voice's speaker: its folder (a language's folder for the letters and syllables)."""
    parts = rel.split("/")
    return "/".join(parts[:-2] if kind == "syllable" else parts[:-1])


def dev_groups(keys):
    """The groups of one kind held back for the dev split: a fixed share, chosen by a hash of their
    names so that it does not depend on the order they were found in."""
    keys = sorted(set(keys), key=lambda k: (zlib.crc32(k.encode()), k))
    return set(keys[:int(round(DEV_SHARE * len(keys)))])


def assign_splits(recordings):
    """Sets each recording's split where it has none: voices by speaker where a kind has five
    speakers or more."""
    by_kind = {}
    for r in recordings:
        if r.get("split"):
            continue
        by_kind.setdefault((r["role"], r["kind"]), []).append(r)
    for (role, _), rs in by_kind.items():
        speakers = {r["speaker"] for r in rs}
        key = (lambda r: r["speaker"]) if role == "voice" and len(speakers) >= 5 else (lambda r: r["name"])
        dev = dev_groups(key(r) for r in rs)
        for r in rs:
            r["split"] = "dev" if key(r) in dev else "train"


def write_pool(folder, name, items, jobs, recipe, prepare=prepare):
    """Writes one pool from items [(role, kind, name, job, split)], where prepare(job) gives the
    audio (clean, twin) or None and split is "train", "dev" or None (chosen here). Returns the pool's
    recordings."""
    meta_path = os.path.join(folder, name + ".json")
    recipe = json.loads(json.dumps(recipe))  # as it reads back
    if os.path.exists(meta_path):
        with open(meta_path) as f:
            meta = json.load(f)
        if meta.get("recipe") == recipe:
            return meta["recordings"]
    recordings, at = [], 0
    clean_path, twin_path = (os.path.join(folder, name + ext) for ext in (".f32", ".aac.f32"))
    with open(clean_path + ".part", "wb") as clean, open(twin_path + ".part", "wb") as twin, \
            ProcessPoolExecutor(jobs) as pool:
        for (role, kind, rec_name, _, split), result in zip(items, pool.map(prepare, [i[3] for i in items], chunksize=1)):
            if result is None:
                continue
            x, y = result
            clean.write(x.astype("<f4").tobytes())
            twin.write(y.astype("<f4").tobytes())
            speaker = speaker_of(rec_name, kind) if role == "voice" else ""
            recordings.append({"pool": name, "role": role, "kind": kind, "name": rec_name, "speaker": speaker,
                               "procedural": split is not None, "split": split, "start": at, "length": len(x),
                               "rms": float(np.sqrt(np.mean(np.square(x)) + 1e-12))})
            at += len(x)
    assign_splits(recordings)
    os.replace(clean_path + ".part", clean_path)
    os.replace(twin_path + ".part", twin_path)
    with open(meta_path + ".part", "w") as f:
        json.dump({"recipe": recipe, "frames": at, "recordings": recordings}, f)
    os.replace(meta_path + ".part", meta_path)
    return recordings


def recorded_items(root, jobs):
    """{role: [(role, kind, name, job)]} of every decoded recording of sources.py."""
    sources.fetch(root)
    decoded = os.path.join(root, "decoded")
    items = {}
    for role, kinds in sources.catalogue(root, jobs).items():
        for kind, paths in sorted(kinds.items()):
            for path in paths:
                name = os.path.basename(path)[:-len(".npy")].replace("__", "/")
                assert os.path.dirname(path) == decoded
                items.setdefault(role, []).append((role, kind, name, ("decoded", path, role), None))
    return items


def procedural_items(folder, role):
    kinds = procedural.BEDS if role == "bed" else procedural.EVENTS
    return [(role, kind, f"procedural/{kind}/{split}/{i}", ("procedural", kind, split, i, folder), split)
            for kind in kinds for split, count in zip(("train", "dev"), PROCEDURAL_COUNTS[role]) for i in range(count)]


def synthetic_items(role):
    kind = "synthetic"
    return [(role, kind, f"{kind}/{split}/" + (f"s{i // LINES_PER_SPEAKER:03d}/" if role == "voice" else "") + str(i),
             ("synthetic", role, split, i), split)
            for split, count in zip(("train", "dev"), SYNTH_COUNTS[role]) for i in range(count)]


def build(root, jobs=4):
    """Makes every pool that is missing or out of date; returns the index."""
    folder = os.path.join(root, "pools")
    os.makedirs(folder, exist_ok=True)
    # One build at a time: two would write the same files.
    lock = open(os.path.join(folder, ".lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    pools = {}
    for role, items in sorted(recorded_items(root, jobs).items()):
        recipe = {"version": VERSION, "files": sorted(i[2] for i in items)}
        pools[role] = write_pool(folder, role, items, jobs, recipe)
    # Crowds are made of the voices: their pool is made again when the voices change.
    voices = [(r["start"], r["length"], r["split"]) for r in pools["voice"]]
    for role in ("bed", "event"):
        recipe = {"version": VERSION, "procedural": procedural.VERSIONS[role], "counts": PROCEDURAL_COUNTS[role],
                  "voices": zlib.crc32(repr(voices).encode())}
        pools["procedural-" + role] = write_pool(folder, "procedural-" + role, procedural_items(folder, role), jobs, recipe)
    for role in ("voice", "music"):
        recipe = {"version": VERSION, "synthetic": SYNTH_VERSION, "counts": SYNTH_COUNTS[role]}
        pools["synthetic-" + role] = write_pool(folder, "synthetic-" + role, synthetic_items(role), jobs, recipe)
    return write_index(folder, pools)


def write_index(folder, pools):
    """index.json of the pools {name: recordings}, written whole or not at all."""
    index = {"version": VERSION, "rate": SR,
             "pools": {name: sum(r["length"] for r in pools[name]) for name in sorted(pools)},
             "recordings": [r for name in sorted(pools) for r in pools[name]]}
    with open(os.path.join(folder, "index.json.part"), "w") as f:
        json.dump(index, f)
    os.replace(os.path.join(folder, "index.json.part"), os.path.join(folder, "index.json"))
    return index


def summary(index):
    """Hours per role and kind, train and dev, as lines of text."""
    totals = {}
    for r in index["recordings"]:
        key = (r["role"], r["kind"])
        t = totals.setdefault(key, [0, 0, 0])
        t[0] += 1
        t[1 if r["split"] == "train" else 2] += r["length"] / SR
    return [f"{role:6} {kind:10} {n:5} recordings  train {tr / 60:7.1f} min  dev {dv / 60:6.1f} min"
            for (role, kind), (n, tr, dv) in sorted(totals.items())]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")),
                                                       "hushframe-training"))
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()
    print("\n".join(summary(build(args.root, args.jobs))))


if __name__ == "__main__":
    main()
