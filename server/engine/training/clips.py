"""Film-like training clips mixed afresh from the pools of pools.py.

    maker = ClipMaker(root, seed, seconds=8.0, split="train")
    clip = maker.clip(index)   # {"mix", "dialogue", "music", "effects"}: float32 (2, seconds x 44100)

A clip is a function of (seed, index, split) alone: every choice is drawn from generators seeded by
them, nothing is carried from one call to the next, so any process makes the same clip in any order.
"dev" mixes only the recordings that pools.py held back, "train" only the others.

The recipe: dialogue anchored at -30 to -16 dBFS (one or two speakers, recorded or now and then
synthesised, a line after another with pauses, mostly centred, some to one side or in a room; none
in 15 % of clips), music from a random place in a track (a fifth of the time a synthesised score),
ducked 6-14 dB around the lines in most clips, sometimes starting or stopping within the clip (none
in 25 %), effects from steady beds, events (some in rooms) and now and then a crowd of distant
voices; a random EQ on stems, a limiter on some sums, 12 % mixed to mono. Half of the clips are
heard through AAC: their mix is the sum of the recordings' AAC twins, put through exactly the same
gains, filters and rooms as the clean stems, which stay the targets.
"""

import json
import os

import numpy as np
import scipy.ndimage
import scipy.signal

SR = 44100
AAC_SHARE = 0.5
MONO_SHARE = 0.12
SPLITS = {"train": 0, "dev": 1}
SPEAKER_KINDS = {"prompt": 0.4, "syllable": 0.3, "shout": 0.2, "radio": 0.1, "synthetic": 0.15}
SYNTHETIC_MUSIC_SHARE = 0.2  # of the clips with music, where the pools hold synthesised scores


def db(x):
    return 10.0 ** (x / 20.0)


def rms(x):
    return float(np.sqrt(np.mean(np.square(x[0], dtype=np.float64)))) if x.size else 0.0


def pan(x, p):
    """Mono layers (L, n) to stereo (L, 2, n), constant power, p in [-1, 1] (a scalar or per sample)."""
    theta = (np.clip(p, -1.0, 1.0) + 1.0) * (np.pi / 4)
    return np.stack([x * np.cos(theta).astype(np.float32), x * np.sin(theta).astype(np.float32)], axis=1)


def place(rng, x):
    """A mono sound in the stereo picture: centred, to one side, or moving across."""
    mode = rng.random()
    if mode < 0.35:
        return pan(x, 0.0)
    if mode < 0.8:
        return pan(x, rng.choice([-1.0, 1.0]) * rng.uniform(0.15, 1.0))
    return pan(x, np.linspace(rng.uniform(-1, 1), rng.uniform(-1, 1), x.shape[-1]))


def room_ir(rng, rt60, direct=True):
    """A stereo room (2, n): early reflections and a decaying diffuse tail, with or without the
    direct sound."""
    n = int(rt60 * 0.9 * SR)
    t = np.arange(n) / SR
    tail = rng.standard_normal((2, n)) * np.exp(-6.9 * t / rt60)
    damp = np.exp(-2 * np.pi * rng.uniform(2500, 8000) / SR)  # walls absorb the highs
    tail = scipy.signal.lfilter([1 - damp], [1, -damp], tail)
    tail[:, :int(rng.uniform(0.005, 0.03) * SR)] = 0.0
    early = rng.integers(int(0.002 * SR), int(0.04 * SR), (2, 6))
    for c in range(2):
        tail[c, early[c]] += rng.uniform(-0.6, 0.6, 6)
    tail *= db(rng.uniform(-14, -4)) / np.sqrt(np.sum(tail ** 2) / 2)
    if direct:
        tail[:, 0] += 1.0
    return tail.astype(np.float32)


def in_room(x, ir):
    """Layers (L, 2, n) through a stereo room, cropped to n."""
    return scipy.signal.fftconvolve(x, ir[None], axes=-1)[..., :x.shape[-1]].astype(np.float32)


def random_eq(rng, x):
    """A gentle random tilt and bump: a shelf at either end and a peak, each within +-6 dB."""
    stages = []
    for kind, lo, hi in (("low", 80, 400), ("high", 2000, 9000), ("peak", 200, 5000)):
        if rng.random() < 0.6:
            stages.append(biquad(kind, rng.uniform(lo, hi), rng.uniform(-6, 6)))
    if not stages:
        return x
    return scipy.signal.sosfilt(np.array(stages), x, axis=-1).astype(np.float32)


def biquad(kind, f, gain_db, q=0.7):
    """One second-order section (b0 b1 b2 1 a1 a2) of a shelf or peak."""
    a = db(gain_db / 2)
    w = 2 * np.pi * f / SR
    cw, alpha = np.cos(w), np.sin(w) / (2 * q)
    if kind == "peak":
        b = [1 + alpha * a, -2 * cw, 1 - alpha * a]
        d = [1 + alpha / a, -2 * cw, 1 - alpha / a]
    else:
        s = 1 if kind == "low" else -1
        r = 2 * np.sqrt(a) * alpha
        b = [a * ((a + 1) - s * (a - 1) * cw + r), s * 2 * a * ((a - 1) - s * (a + 1) * cw), a * ((a + 1) - s * (a - 1) * cw - r)]
        d = [(a + 1) + s * (a - 1) * cw + r, -s * 2 * ((a - 1) + s * (a + 1) * cw), (a + 1) + s * (a - 1) * cw - r]
    return [v / d[0] for v in b] + [1.0] + [v / d[0] for v in d[1:]]


def smoothed(gain, seconds):
    """A gain curve smoothed by a one-pole filter of the time constant, run both ways."""
    a = np.exp(-1.0 / (seconds * SR))
    return scipy.signal.filtfilt([1 - a], [1, -a], gain, padtype=None).astype(np.float32)


class ClipMaker:
    def __init__(self, root, seed, seconds=8.0, split="train"):
        folder = os.path.join(root, "pools")
        with open(os.path.join(folder, "index.json")) as f:
            index = json.load(f)
        self.folder = folder
        self.frames = index["pools"]
        self.seed = int(seed)
        self.split = split
        self.n = int(round(seconds * SR))
        self.maps = {}
        self.kinds = {}
        self.speakers = {}
        for r in index["recordings"]:
            if r["split"] != split:
                continue
            self.kinds.setdefault(r["role"], {}).setdefault(r["kind"], []).append(r)
            if r["role"] == "voice":
                self.speakers.setdefault((r["kind"], r["speaker"]), []).append(r)
        self.speaker_keys = sorted(self.speakers)
        for role in ("voice", "music", "bed", "event"):
            if not self.kinds.get(role):
                raise ValueError(f"the {split} split of {folder} has no {role} recordings")

    # --- reading the pools ---

    def _pool(self, name):
        if name not in self.maps:
            maps = tuple(np.memmap(os.path.join(self.folder, name + ext), dtype="<f4", mode="r").reshape(-1, 2)
                         for ext in (".f32", ".aac.f32"))
            if any(len(m) != self.frames[name] for m in maps):
                raise ValueError(f"{self.folder}: the pool {name} is not the one index.json lists (made again?)")
            self.maps[name] = maps
        return self.maps[name]

    def read(self, rec, at, n, layers):
        """n samples of a recording from `at`, looped where it ends: (layers, 2, n) float32."""
        pools = self._pool(rec["pool"])
        out = np.empty((layers, 2, n), np.float32)
        done, length = 0, rec["length"]
        at %= length
        while done < n:
            take = min(n - done, length - at)
            for layer in range(layers):
                out[layer, :, done:done + take] = pools[layer][rec["start"] + at:rec["start"] + at + take].T
            done += take
            at = 0
        return out

    def whole(self, rec, layers, limit=None):
        return self.read(rec, 0, min(rec["length"], limit or rec["length"]), layers)

    # --- dialogue ---

    def speaker(self, rng):
        kinds = [k for k in SPEAKER_KINDS if any(s[0] == k for s in self.speaker_keys)]
        p = np.array([SPEAKER_KINDS[k] for k in kinds])
        kind = kinds[rng.choice(len(kinds), p=p / p.sum())]
        keys = [s for s in self.speaker_keys if s[0] == kind]
        return keys[rng.integers(len(keys))]

    def line(self, rng, speaker, layers):
        """One line of a speaker, mono (layers, n): a recording, or a word of two to six syllables."""
        recs = self.speakers[speaker]
        if speaker[0] != "syllable":
            rec = recs[rng.integers(len(recs))]
            return self.whole(rec, layers).mean(axis=1) / rec["rms"]
        parts = []
        for _ in range(rng.integers(2, 7)):
            rec = recs[rng.integers(len(recs))]
            parts.append(self.whole(rec, layers, int(0.6 * SR)).mean(axis=1) / rec["rms"])
            parts.append(np.zeros((layers, int(rng.uniform(0.0, 0.08) * SR)), np.float32))
        return np.concatenate(parts, axis=1)

    def speech(self, rng, speaker, start, end, layers, pauses=(0.3, 1.5)):
        """A speaker's lines from `start` to `end` samples, mono (layers, n), each at its own level."""
        out = np.zeros((layers, self.n), np.float32)
        at = start
        for _ in range(200):
            if at >= end:
                break
            x = self.line(rng, speaker, layers)[:, :end - at]
            out[:, at:at + x.shape[1]] += x * db(rng.uniform(-3, 3))
            at += x.shape[1] + int(rng.uniform(*pauses) * SR)
        return out

    def dialogue(self, rng, layers):
        if rng.random() < 0.15:
            return None
        out = np.zeros((layers, 2, self.n), np.float32)
        for k in range(1 + (rng.random() < 0.35)):
            speaker = self.speaker(rng)
            # Lines start anywhere in the first 4 s (music or effects alone before them), may stop early.
            start = int(rng.uniform(0, 4) * SR) if rng.random() < 0.6 else 0
            end = self.n - int(rng.uniform(0, 3) * SR) if rng.random() < 0.3 else self.n
            voice = self.speech(rng, speaker, min(start, self.n // 2), max(end, self.n // 2), layers)
            mode = rng.random()
            if mode < 0.65:
                voice = pan(voice, 0.0)
            elif mode < 0.85:
                voice = pan(voice, rng.choice([-1.0, 1.0]) * rng.uniform(0.1, 0.6))
            else:
                voice = in_room(pan(voice, rng.uniform(-0.3, 0.3)), room_ir(rng, rng.uniform(0.2, 0.7)))
            out += voice * (db(rng.uniform(-6, 3)) if k else 1.0)
        return out

    # --- music ---

    def music(self, rng, layers, dialogue):
        if rng.random() < 0.25:
            return None
        kinds = self.kinds["music"]
        synthetic = "synthetic" in kinds and len(kinds) > 1 and rng.random() < SYNTHETIC_MUSIC_SHARE
        tracks = [r for kind, rs in sorted(kinds.items()) if (kind == "synthetic") == synthetic for r in rs]
        rec = tracks[rng.integers(len(tracks))]
        x = self.read(rec, int(rng.integers(0, max(1, rec["length"] - self.n))), self.n, layers)
        if rng.random() < 0.15:
            x = pan(x.mean(axis=1), rng.uniform(-0.5, 0.5))
        if dialogue is not None and rng.random() < 0.7:
            x *= smoothed(np.where(self.near_speech(dialogue), db(rng.uniform(-14, -6)), 1.0), 0.07)
        if rng.random() < 0.2:  # the cue starts or stops within the clip
            ramp = np.clip((np.arange(self.n) - rng.uniform(1, self.n / SR - 1) * SR) / (0.5 * SR), 0, 1)
            x *= (ramp if rng.random() < 0.5 else ramp[::-1]).astype(np.float32)
        return x

    @staticmethod
    def near_speech(dialogue):
        """Where a line is spoken, 0.3 s either side."""
        speaking = np.abs(dialogue[0]).max(axis=0) > 1e-4
        return scipy.ndimage.maximum_filter1d(speaking.astype(np.uint8), int(0.6 * SR) + 1) > 0

    # --- effects ---

    def pick(self, rng, role, kind=None):
        """A recording of the kind (or of a kind picked at random): recorded or procedural alike
        often where the kind has both."""
        kinds = self.kinds[role]
        kind = kind or sorted(kinds)[rng.integers(len(kinds))]
        recs = kinds[kind]
        made = [r for r in recs if r.get("procedural")]
        if made and len(made) < len(recs) and rng.random() < 0.5:
            recs = made
        elif made and len(made) < len(recs):
            recs = [r for r in recs if not r.get("procedural")]
        return recs[rng.integers(len(recs))], kind

    def bed(self, rng, layers):
        rec, _ = self.pick(rng, "bed")
        x = self.read(rec, int(rng.integers(0, rec["length"])), self.n, layers)
        if rng.random() < 0.3:
            x = place(rng, x.mean(axis=1))
        if rng.random() < 0.3:  # fades in within the clip
            x *= np.clip((np.arange(self.n) - rng.uniform(0, 0.75) * self.n) / (0.3 * SR), 0, 1).astype(np.float32)
        return x

    def events(self, rng, layers):
        """One kind of event, one to eight times, each at its own place, some in a room."""
        out = np.zeros((layers, 2, self.n), np.float32)
        _, kind = self.pick(rng, "event")
        count = rng.integers(1, 9) if kind == "steps" else rng.integers(1, 4)
        step = rng.uniform(0.35, 0.7) * SR
        room = room_ir(rng, rng.uniform(0.3, 1.5)) if rng.random() < 0.4 else None
        at = None
        for _ in range(count):
            rec, _ = self.pick(rng, "event", kind)
            x = self.whole(rec, layers, self.n) * (db(rng.uniform(-4, 2)) / rec["rms"])
            if rng.random() < 0.6:
                x = place(rng, x.mean(axis=1))
            if room is not None and x.shape[-1] < 3 * SR:
                x = in_room(np.pad(x, ((0, 0), (0, 0), (0, room.shape[1]))), room)
            # A long event (a vehicle passing) may be heard from its middle on.
            at = at + step if kind == "steps" and at is not None else rng.uniform(-0.3 * x.shape[-1], self.n - 0.5 * SR)
            a = int(at)
            lo, hi = max(a, 0), min(a + x.shape[-1], self.n)
            if hi > lo:
                out[:, :, lo:hi] += x[:, :, lo - a:hi - a]
        return out

    def crowd(self, rng, layers):
        """Many voices at once, far off: a crowd, which is an effect."""
        out = np.zeros((layers, 2, self.n), np.float32)
        for _ in range(rng.integers(6, 12)):
            voice = self.speech(rng, self.speaker(rng), int(rng.uniform(0, 1) * SR), self.n, layers, (0.1, 0.6))
            out += pan(voice, rng.uniform(-1, 1)) * db(rng.uniform(-6, 0))
        out = in_room(out, room_ir(rng, rng.uniform(0.6, 1.5), direct=False))
        return scipy.signal.sosfilt([biquad("high", rng.uniform(2500, 5000), -12)], out, axis=-1).astype(np.float32)

    def effects(self, rng, layers, required):
        parts = []
        if rng.random() < 0.7 or required:
            parts += [self.bed(rng, layers) * db(rng.uniform(-8, 0)) for _ in range(rng.integers(1, 3))]
        if rng.random() < 0.1:
            parts.append(self.crowd(rng, layers) * db(rng.uniform(-6, 0)))
        parts += [self.events(rng, layers) for _ in range(rng.integers(0, 4))]
        if not parts or (rng.random() < 0.15 and not required):
            return None
        return np.sum(parts, axis=0)

    # --- the clip ---

    def clip(self, index):
        ss = np.random.SeedSequence([self.seed, int(index), SPLITS[self.split]])
        rng_form, rng_d, rng_m, rng_e, rng_mix = (np.random.default_rng(s) for s in ss.spawn(5))
        coded = rng_form.random() < AAC_SHARE
        mono = rng_form.random() < MONO_SHARE
        layers = 2 if coded else 1
        dialogue = self.dialogue(rng_d, layers)
        music = self.music(rng_m, layers, dialogue)
        effects = self.effects(rng_e, layers, required=dialogue is None and music is None)

        stems = np.zeros((3, layers, 2, self.n), np.float32)
        anchor = rng_mix.uniform(-30.0, -16.0)
        ref = anchor if dialogue is not None else -22.0
        levels = (anchor, ref + rng_mix.uniform(-15.0, 4.0), ref + rng_mix.uniform(-18.0, 2.0))
        for i, x in enumerate((dialogue, music, effects)):
            if x is None:
                continue
            if i and rng_mix.random() < 0.5:
                x = random_eq(rng_mix, x)
            level = rms(x)
            if level > 1e-7:
                stems[i] = x * (db(levels[i]) / level)
        if rng_mix.random() < 0.25:
            stems *= self.limiter(rng_mix, stems[:, 0].sum(axis=0))
        if mono:
            stems[:] = stems.mean(axis=2, keepdims=True)
        peak = np.abs(stems.sum(axis=0)).max()
        if peak > 0.98:
            stems *= 0.98 / peak
        return {"mix": stems[:, -1].sum(axis=0), "dialogue": stems[0, 0], "music": stems[1, 0], "effects": stems[2, 0]}

    @staticmethod
    def limiter(rng, mix):
        """A gain curve (n,) that holds the sum's peaks 1-8 dB lower: 5 ms ahead, released in 50-300 ms."""
        peak = scipy.ndimage.maximum_filter1d(np.abs(mix).max(axis=0), int(0.01 * SR) + 1)
        ceiling = peak.max() * db(-rng.uniform(1, 8))
        gain = np.minimum(1.0, ceiling / np.maximum(peak, 1e-9))
        gain = scipy.ndimage.minimum_filter1d(gain, int(rng.uniform(0.05, 0.3) * SR) + 1)
        return smoothed(gain, 0.005)


def main():
    """Makes clips one after another and prints what each costs in CPU time."""
    import argparse
    import time
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--clips", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--split", default="train")
    args = parser.parse_args()
    maker = ClipMaker(args.root, seed=1, seconds=args.seconds, split=args.split)
    maker.clip(0)
    start = time.process_time()
    for i in range(1, args.clips + 1):
        maker.clip(i)
    cost = (time.process_time() - start) / args.clips
    print(f"{args.clips} clips of {args.seconds:g} s ({args.split}): {cost:.3f} CPU s each")


if __name__ == "__main__":
    main()
