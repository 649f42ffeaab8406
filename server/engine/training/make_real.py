"""Film-like 10 s clips mixed from recorded voices, music and effects (sources.py), with their stems.

Dialogue near -23 dBFS: one or two speakers, a line after another with pauses, centred, a little to
one side or in a small room. Music from a random place in a track, ducked under the lines and louder
between them, sometimes starting or stopping within the clip. Effects: steady beds (rain, wind,
water, fire, traffic, crowds, machines, looped) and events (steps, doors, impacts, thunder,
vehicles), each at its own place in the stereo picture; now and then a crowd babbling, made of many
distant voices, which belongs to the effects.
"""

import os

import numpy as np

import make_data as D

SR = D.SR
N = D.N


class Library:
    """The decoded recordings of sources.catalogue, read from their files as they are needed."""

    def __init__(self, cat):
        self.cat = cat
        self.speakers = {}
        for kind, files in cat["voice"].items():
            for f in files:
                # A speaker is a folder (a language's recordings for the letters and syllables).
                name = os.path.basename(f).split("__")
                key = "__".join(name[:-2] if kind == "syllable" else name[:-1])
                self.speakers.setdefault((kind, key), []).append(f)
        self.speaker_keys = sorted(self.speakers)

    # Kinds of speech, by how often a speaker of each is picked: prompts and words are read speech,
    # shouts are game characters' lines, radio is announcers' and commanders' messages.
    SPEAKER_KINDS = {"prompt": 0.4, "syllable": 0.3, "shout": 0.2, "radio": 0.1}

    def speaker(self, rng):
        kinds = [k for k in self.SPEAKER_KINDS if any(s[0] == k for s in self.speaker_keys)]
        p = np.array([self.SPEAKER_KINDS[k] for k in kinds])
        kind = kinds[rng.choice(len(kinds), p=p / p.sum())]
        keys = [s for s in self.speaker_keys if s[0] == kind]
        return keys[rng.integers(len(keys))]

    @staticmethod
    def load(path):
        return np.load(path, mmap_mode="r").astype(np.float64) / 32000.0

    def pick(self, rng, role, kind=None):
        kinds = self.cat[role]
        kind = kind or sorted(kinds)[rng.integers(len(kinds))]
        files = kinds[kind]
        return self.load(files[rng.integers(len(files))]), kind


def trimmed(x, floor_db=-40.0):
    """Cuts what lies under the floor (below the peak) off both ends."""
    level = np.abs(x).max(axis=0)
    loud = np.nonzero(level > level.max() * D.db_to_gain(floor_db))[0]
    return x[:, loud[0]:loud[-1] + 1] if loud.size else x[:, :0]


def speaker_line(rng, lib, speaker):
    """One line of a speaker, mono: a prompt, or a word of two to six syllables or letters."""
    kind, _ = speaker
    files = lib.speakers[speaker]
    if kind != "syllable":
        return trimmed(lib.load(files[rng.integers(len(files))])).mean(0)
    parts = []
    for _ in range(rng.integers(2, 7)):
        parts.append(trimmed(lib.load(files[rng.integers(len(files))])).mean(0)[: int(0.6 * SR)])
        parts.append(np.zeros(int(rng.uniform(0.0, 0.08) * SR)))
    return np.concatenate(parts)


def speech_track(rng, lib, speaker, start, end, pauses=(0.3, 1.5)):
    """A speaker's lines from `start` to `end` samples, mono, each line at its own level."""
    out = np.zeros(N)
    at = start
    while at < end:
        line = speaker_line(rng, lib, speaker)
        if line.size < SR // 10:
            continue
        line = line[: end - at]
        out[at:at + line.size] += line / (D.rms(line) + 1e-9) * D.db_to_gain(rng.uniform(-3, 3))
        at += line.size + int(rng.uniform(*pauses) * SR)
    return out


def place_voice(rng, x):
    mode = rng.random()
    if mode < 0.65:
        return D.centred(x)
    if mode < 0.85:
        return D.panned(x, rng.choice([-1.0, 1.0]) * rng.uniform(0.1, 0.6))
    return D.convolve(x[None, :], D.room_irs(rng))


def make_dialogue(rng, lib):
    if rng.random() < 0.15:
        return None
    speakers = [lib.speaker(rng) for _ in range(1 + (rng.random() < 0.35))]
    out = np.zeros((2, N))
    for k, speaker in enumerate(speakers):
        # Lines start anywhere in the first 4 s (music or effects alone before them) and may stop early.
        start = int(rng.uniform(0, 4) * SR) if rng.random() < 0.6 else 0
        end = N - int(rng.uniform(0, 3) * SR) if rng.random() < 0.3 else N
        voice = speech_track(rng, lib, speaker, start, end)
        if k:
            voice *= D.db_to_gain(rng.uniform(-6, 3))
        out += place_voice(rng, voice)
    return out if D.rms(out) > 0 else None


def one_pole(x, a):
    """y[i] = y[i-1] + a (x[i] - y[i-1]), starting at x[0]."""
    # x is piecewise constant: solve each run in closed form.
    y = np.empty_like(x)
    edges = np.concatenate([[0], np.nonzero(np.diff(x))[0] + 1, [x.size]])
    prev = x[0]
    for s, e in zip(edges[:-1], edges[1:]):
        k = np.arange(1, e - s + 1)
        y[s:e] = x[s] + (prev - x[s]) * (1 - a) ** k
        prev = y[e - 1]
    return y


def make_music(rng, lib, dialogue):
    if rng.random() < 0.25:
        return None
    track, _ = lib.pick(rng, "music")
    if track.shape[1] <= N:
        track = np.tile(track, (1, N // track.shape[1] + 1))
    at = rng.integers(0, track.shape[1] - N + 1)
    x = track[:, at:at + N].copy()
    if rng.random() < 0.15:
        x = D.panned(x.mean(0), rng.uniform(-0.5, 0.5))
    if dialogue is not None and rng.random() < 0.7:
        x *= one_pole(np.where(_near_speech(dialogue), D.db_to_gain(rng.uniform(-14, -6)), 1.0), 1 - np.exp(-1.0 / (0.07 * SR)))
    if rng.random() < 0.2:  # the cue starts or stops within the clip
        edge = int(rng.uniform(1, 9) * SR)
        ramp = np.clip((np.arange(N) - edge) / (0.5 * SR), 0, 1)
        x *= ramp if rng.random() < 0.5 else ramp[::-1]
    return x


def _near_speech(dialogue):
    speaking = np.abs(dialogue).max(axis=0) > 1e-4
    reach = int(0.3 * SR)
    csum = np.concatenate([[0], np.cumsum(speaking)])
    idx = np.arange(speaking.size)
    return csum[np.minimum(idx + reach + 1, speaking.size)] - csum[np.maximum(idx - reach, 0)] > 0


def bed(rng, lib, kind=None):
    x, kind = lib.pick(rng, "bed", kind)
    x = x[:, int(rng.integers(0, max(1, x.shape[1] - SR))):] if x.shape[1] > 2 * SR else x
    x = np.tile(x, (1, N // max(1, x.shape[1]) + 1))[:, :N]
    if rng.random() < 0.3:
        x = D.place(rng, x.mean(0))
    start = int(rng.uniform(0, 6) * SR) if rng.random() < 0.3 else 0
    out = np.zeros((2, N))
    out[:, start:] = x[:, : N - start] * np.clip(np.arange(N - start) / (0.3 * SR), 0, 1)
    return out


def events(rng, lib):
    """One kind of event, one to eight times, at one or several places."""
    out = np.zeros((2, N))
    kind = sorted(lib.cat["event"])[rng.integers(len(lib.cat["event"]))]
    count = rng.integers(1, 9) if kind == "steps" else rng.integers(1, 4)
    at = rng.uniform(0, 9.5)
    step = rng.uniform(0.35, 0.7)
    for _ in range(count):
        x, _ = lib.pick(rng, "event", kind)
        x = trimmed(x)[:, : 4 * SR]
        x = x / (D.rms(x) + 1e-9) * D.db_to_gain(rng.uniform(-4, 2))
        x = D.place(rng, x.mean(0)) if rng.random() < 0.6 else x
        D.add_at(out, x, int(at * SR))
        at = at + step if kind == "steps" else rng.uniform(0, 9.5)
    return out


def crowd(rng, lib):
    """Many voices at once, far off: a crowd, which is an effect."""
    out = np.zeros((2, N))
    for _ in range(rng.integers(6, 12)):
        speaker = lib.speaker(rng)
        voice = speech_track(rng, lib, speaker, int(rng.uniform(0, 1) * SR), N, pauses=(0.1, 0.6))
        out += D.panned(voice, rng.uniform(-1, 1)) * D.db_to_gain(rng.uniform(-6, 0))
    out = D.convolve(out, D.reverb_ir(rng, rng.uniform(0.6, 1.5)))
    return D.filt(out, ("lp2", rng.uniform(2500, 5000), 0.7), tail=2048)


def make_effects(rng, lib, required):
    parts = []
    if rng.random() < 0.7 or required:
        parts += [bed(rng, lib) * D.db_to_gain(rng.uniform(-8, 0)) for _ in range(rng.integers(1, 3))]
    if rng.random() < 0.1:
        parts.append(crowd(rng, lib) * D.db_to_gain(rng.uniform(-6, 0)))
    parts += [events(rng, lib) for _ in range(rng.integers(0, 4))]
    if not parts or (rng.random() < 0.15 and not required):
        return None
    return np.sum(parts, axis=0)


def render_clip(lib, seed, index):
    """Stems float32 (3, 2, N) of clip `index`, levelled like make_data's clips."""
    ss = np.random.SeedSequence([seed, index, 31])
    rng_dlg, rng_mus, rng_fx, rng_lvl = [np.random.Generator(np.random.PCG64(s)) for s in ss.spawn(4)]
    dialogue = make_dialogue(rng_dlg, lib)
    music = make_music(rng_mus, lib, dialogue)
    effects = make_effects(rng_fx, lib, required=dialogue is None and music is None)
    d_db = rng_lvl.uniform(-30.0, -16.0)
    m_rel = rng_lvl.uniform(-15.0, 4.0)
    e_rel = rng_lvl.uniform(-18.0, 2.0)
    stems = np.zeros((3, 2, N))
    for i, x in enumerate((dialogue, music, effects)):
        if x is None or D.rms(x) < 1e-7:
            continue
        ref = d_db if dialogue is not None else -22.0
        stems[i] = x * (D.db_to_gain((d_db, ref + m_rel, ref + e_rel)[i]) / D.rms(x))
    peak = np.max(np.abs(stems.sum(axis=0)))
    if peak > 0.98:
        stems *= 0.98 / peak * (1.0 - 1e-6)
    return stems.astype(np.float32)
