#!/usr/bin/python3
"""Render training mixes for the dialogue / music / effects mask network.

    /usr/bin/python3 server/engine/training/make_data.py --out DIR --clips N --seed S --jobs J

Writes DIR/clip-00000.npy ...: float32 arrays of shape (3, 2, 441000), the
dialogue, music and effects stems of a 10 s stereo excerpt at 44.1 kHz. The
mix a network sees is the sum of the three.

A clip depends only on (seed, index): it draws everything from generators
spawned from SeedSequence([seed, index]), so the files are the same whatever
--jobs is. Speech comes from espeak-ng and festival, part of the music from
fluidsynth playing MIDI files written here, everything else is synthesised
with numpy. Intermediate wav and MIDI files live in a temporary directory that
is removed at the end.

Runs on Debian's python3 with numpy only (no scipy): the filters below are
applied through their frequency responses with zero-padded FFTs.
"""

import os

# One thread per worker process: the pool already uses every core.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import multiprocessing
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

SR = 44100
CLIP_SECONDS = 10
N = SR * CLIP_SECONDS
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
TWO_PI = 2.0 * np.pi


# ---------------------------------------------------------------------------
# Small signal helpers
# ---------------------------------------------------------------------------

def db_to_gain(db):
    return 10.0 ** (db / 20.0)


def rms(x):
    return float(np.sqrt(np.mean(np.square(x)))) if x.size else 0.0


def normalise_rms(x, target=1.0):
    r = rms(x)
    return x * (target / r) if r > 1e-12 else x


def fast_len(n):
    """Smallest 2^a 3^b 5^c >= n, a size numpy's FFT handles quickly."""
    if n <= 16:
        return max(n, 1)
    best = 1 << (n - 1).bit_length()
    p5 = 1
    while p5 < best:
        p35 = p5
        while p35 < best:
            q = -(-n // p35)
            cand = (1 << (q - 1).bit_length()) * p35
            if cand < best:
                best = cand
            p35 *= 3
        p5 *= 5
    return best


def seconds(n):
    return np.arange(n) / SR


def add_at(buf, sig, start):
    """Add sig (mono or stereo) into buf (same rank) at sample offset start, cropping."""
    n = buf.shape[-1]
    m = sig.shape[-1]
    a = max(start, 0)
    b = min(start + m, n)
    if b <= a:
        return
    buf[..., a:b] += sig[..., a - start:b - start]


def fade(x, fade_in, fade_out):
    """Raised-cosine fades of the given lengths in seconds (in place, returns x)."""
    n = x.shape[-1]
    for length, rising in ((fade_in, True), (fade_out, False)):
        k = min(int(length * SR), n)
        if k > 1:
            ramp = 0.5 - 0.5 * np.cos(np.linspace(0.0, np.pi, k))
            if rising:
                x[..., :k] *= ramp
            else:
                x[..., n - k:] *= ramp[::-1]
    return x


def exp_env(n, tau, attack=0.0):
    t = seconds(n)
    env = np.exp(-t / max(tau, 1e-4))
    if attack > 0:
        k = min(int(attack * SR), n)
        if k > 1:
            env[:k] *= np.linspace(0.0, 1.0, k)
    return env


def adsr(n, a, d, s, r, hold_n):
    """Envelope of n samples: attack, decay to sustain level s, release after hold_n samples."""
    env = np.empty(n)
    t = seconds(n)
    a = max(a, 1e-3)
    d = max(d, 1e-3)
    env[:] = s + (1.0 - s) * np.exp(-(t - a) / d)
    att = t < a
    env[att] = t[att] / a
    hold_n = min(hold_n, n)
    level = env[hold_n - 1] if hold_n > 0 else 0.0
    if hold_n < n:
        tr = t[hold_n:] - t[hold_n]
        env[hold_n:] = level * np.exp(-tr / max(r, 1e-3))
    return env


def smooth_noise(rng, n, rate_hz, lo=0.0, hi=1.0):
    """Slowly varying random curve between lo and hi, cosine-interpolated control points."""
    step = max(int(SR / max(rate_hz, 1e-3)), 1)
    k = n // step + 3
    pts = rng.uniform(lo, hi, k)
    pos = np.arange(n) / step
    i = pos.astype(np.int64)
    u = pos - i
    w = 0.5 - 0.5 * np.cos(np.pi * u)
    return pts[i] * (1.0 - w) + pts[i + 1] * w


def smooth_gate(mask, hz=250.0):
    """On/off pattern with the edges rounded off so switching does not click."""
    return filt(mask.astype(np.float64), ("lp1", hz), ("lp1", hz), tail=2048)


def soft_clip(x, drive):
    return np.tanh(drive * x) / np.tanh(drive)


# ---------------------------------------------------------------------------
# Filters applied through their frequency responses (causal IIR responses,
# evaluated on the unit circle; the zero padding holds the decaying tails).
# ---------------------------------------------------------------------------

def _one_pole_a(fc):
    return float(np.exp(-TWO_PI * min(max(fc, 1.0), SR * 0.49) / SR))


def _biquad(kind, fc, q, gain_db=0.0):
    w0 = TWO_PI * min(max(fc, 5.0), SR * 0.45) / SR
    cw, sw = np.cos(w0), np.sin(w0)
    alpha = sw / (2.0 * q)
    if kind == "lp2":
        b = ((1 - cw) / 2, 1 - cw, (1 - cw) / 2)
    elif kind == "hp2":
        b = ((1 + cw) / 2, -(1 + cw), (1 + cw) / 2)
    elif kind == "bp":
        b = (alpha, 0.0, -alpha)
    elif kind == "peak":
        amp = 10 ** (gain_db / 40.0)
        b = (1 + alpha * amp, -2 * cw, 1 - alpha * amp)
        a = (1 + alpha / amp, -2 * cw, 1 - alpha / amp)
        return b, a
    else:
        raise ValueError(kind)
    a = (1 + alpha, -2 * cw, 1 - alpha)
    return b, a


def response(stages, nfft):
    """Product of the responses of filter stages on an rfft grid of size nfft.

    A stage is (kind, fc) or (kind, fc, q) or ("peak", fc, q, gain_db), with kind
    lp1 / hp1 (one-pole), lp2 / hp2 / bp / peak (biquads).
    """
    z1 = np.exp(-1j * TWO_PI * np.fft.rfftfreq(nfft))
    h = np.ones(z1.shape, dtype=np.complex128)
    for stage in stages:
        kind, fc = stage[0], stage[1]
        if kind == "lp1":
            a = _one_pole_a(fc)
            h *= (1 - a) / (1 - a * z1)
        elif kind == "hp1":
            a = _one_pole_a(fc)
            h *= (1 + a) / 2 * (1 - z1) / (1 - a * z1)
        else:
            q = stage[2] if len(stage) > 2 else 0.7071
            gain_db = stage[3] if len(stage) > 3 else 0.0
            (b0, b1, b2), (a0, a1, a2) = _biquad(kind, fc, q, gain_db)
            h *= (b0 + b1 * z1 + b2 * z1 * z1) / (a0 + a1 * z1 + a2 * z1 * z1)
    return h


def filt(x, *stages, tail=8192):
    """Filter x (last axis is time) through the cascade of stages."""
    if not stages:
        return x
    n = x.shape[-1]
    nfft = fast_len(n + tail)
    bins = np.fft.rfft(x, nfft, axis=-1)
    bins *= response(stages, nfft)
    return np.fft.irfft(bins, nfft, axis=-1)[..., :n]


def convolve(x, ir):
    """Linear convolution along the last axis, cropped to len(x). x and ir broadcast."""
    n = x.shape[-1]
    nfft = fast_len(n + ir.shape[-1])
    y = np.fft.irfft(np.fft.rfft(x, nfft, axis=-1) * np.fft.rfft(ir, nfft, axis=-1), nfft, axis=-1)
    return y[..., :n]


def coloured_noise(rng, n, slope_db_per_oct):
    """Gaussian noise with a spectral tilt (-3 dB/oct: pink, -6: brown), unit RMS."""
    nfft = fast_len(n)
    bins = np.fft.rfft(rng.standard_normal(nfft))
    f = np.maximum(np.fft.rfftfreq(nfft, 1.0 / SR), 20.0)
    bins *= (f / 1000.0) ** (slope_db_per_oct / (20.0 * np.log10(2.0)))
    return normalise_rms(np.fft.irfft(bins, nfft)[:n])


# ---------------------------------------------------------------------------
# Oscillators and instruments
# ---------------------------------------------------------------------------

def _polyblep(phase, dt):
    out = np.zeros_like(phase)
    m = phase < dt
    x = phase[m] / dt[m]
    out[m] = x + x - x * x - 1.0
    m = phase > 1.0 - dt
    x = (phase[m] - 1.0) / dt[m]
    out[m] = x * x + x + x + 1.0
    return out


def osc(shape, freq, n, phase0=0.0):
    """Band-limited-ish oscillator; freq is a scalar or a per-sample array in Hz."""
    inc = np.broadcast_to(np.asarray(freq, dtype=np.float64) / SR, (n,))
    phase = (phase0 + np.cumsum(inc) - inc[0]) % 1.0
    if shape == "sine":
        return np.sin(TWO_PI * phase)
    if shape == "tri":
        return 1.0 - 4.0 * np.abs(phase - 0.5)
    dt = np.minimum(np.abs(inc), 0.5) + 1e-9
    saw = 2.0 * phase - 1.0 - _polyblep(phase, dt)
    if shape == "saw":
        return saw
    p2 = (phase + 0.5) % 1.0
    saw2 = 2.0 * p2 - 1.0 - _polyblep(p2, dt)
    return saw - saw2 if shape == "square" else saw


def midi_hz(p):
    return 440.0 * 2.0 ** ((np.asarray(p, dtype=np.float64) - 69.0) / 12.0)


def karplus_strong(rng, freq, dur, decay_s=1.5, bright=0.6):
    """Plucked string: a noise burst recirculating through an averaging delay line."""
    n = max(int(dur * SR), 64)
    period = max(2, int(round(SR / freq - 0.5)))
    g = float(np.exp(-period / (decay_s * SR) * 6.9))      # -60 dB after decay_s
    length = n + period + 1
    y = np.zeros(length)
    exc = filt(rng.uniform(-1.0, 1.0, period), ("lp1", 800.0 + 6000.0 * bright), tail=256)
    y[1:period + 1] = exc - exc.mean()
    s = period + 1
    while s < length:
        e = min(s + period, length)
        y[s:e] = 0.5 * g * (y[s - period:e - period] + y[s - period - 1:e - period - 1])
        s = e
    out = y[1:n + 1]
    return fade(out, 0.0, min(0.05, dur / 4))


def fm_tone(freq, n, ratio, index, index_tau, amp_tau, attack=0.002):
    t = seconds(n)
    mod = index * np.exp(-t / index_tau) * np.sin(TWO_PI * freq * ratio * t)
    return np.sin(TWO_PI * freq * t + mod) * exp_env(n, amp_tau, attack)


def partials(freqs, amps, decays, n, attack=0.001):
    t = seconds(n)
    out = np.zeros(n)
    for f, a, d in zip(freqs, amps, decays):
        if f < SR * 0.45:
            out += a * np.sin(TWO_PI * f * t + 0.0) * np.exp(-t / d)
    k = min(int(attack * SR), n)
    if k > 1:
        out[:k] *= np.linspace(0.0, 1.0, k)
    return out


# ---------------------------------------------------------------------------
# Stereo placement
# ---------------------------------------------------------------------------

def pan_gains(p):
    """Constant-power gains for pan p in [-1, 1] (-1 hard left)."""
    theta = (np.clip(p, -1.0, 1.0) + 1.0) * np.pi / 4.0
    return np.cos(theta), np.sin(theta)


def panned(x, p):
    gl, gr = pan_gains(p)
    return np.stack([x * gl, x * gr])


def centred(x):
    return np.stack([x, x])


def decorrelated(rng, x):
    """Two versions of a mono signal through different sparse early-reflection patterns."""
    out = []
    for _ in range(2):
        ir = np.zeros(int(0.03 * SR))
        ir[0] = 1.0
        taps = rng.integers(int(0.0008 * SR), ir.size, rng.integers(3, 7))
        ir[taps] += rng.uniform(0.2, 0.55, taps.size) * rng.choice([-1.0, 1.0], taps.size)
        out.append(convolve(x, ir / np.sqrt(np.sum(ir ** 2))))
    return np.stack(out)


def place(rng, x, weights=(0.3, 0.35, 0.15, 0.2)):
    """Place a mono effect: centred, to one side, moving across, or decorrelated."""
    mode = rng.choice(4, p=np.asarray(weights) / np.sum(weights))
    if mode == 0:
        return centred(x)
    if mode == 1:
        return panned(x, rng.choice([-1.0, 1.0]) * rng.uniform(0.2, 1.0))
    if mode == 2:
        p = np.linspace(rng.uniform(-1, 1), rng.uniform(-1, 1), x.size)
        gl, gr = pan_gains(p)
        return np.stack([x * gl, x * gr])
    return decorrelated(rng, x)


def reverb_ir(rng, rt60, predelay=0.01, damp_hz=5000.0, width=1.0):
    """Stereo diffuse tail: exponentially decaying filtered noise, unit energy per channel."""
    n = int((rt60 * 1.1 + predelay) * SR)
    t = seconds(n)
    env = np.exp(-6.9 * t / rt60)
    common = rng.standard_normal(n)
    irs = []
    for _ in range(2):
        noise = width * rng.standard_normal(n) + (1.0 - width) * common
        irs.append(noise * env)
    irs = filt(np.stack(irs), ("lp2", damp_hz, 0.7), tail=2048)
    k = int(predelay * SR)
    irs = np.concatenate([np.zeros((2, k)), irs], axis=1)
    return irs / np.sqrt(np.sum(irs ** 2, axis=1, keepdims=True))


# ---------------------------------------------------------------------------
# External tools and wav files
# ---------------------------------------------------------------------------

def run(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), proc.returncode,
                                                   proc.stderr.decode(errors="replace").strip()[-2000:]))


def read_wav(path):
    """Read a PCM wav into a float64 array (channels, samples) and its rate."""
    with wave.open(path, "rb") as w:
        ch, width, rate, frames = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
        raw = w.readframes(frames)
    if width == 1:
        data = (np.frombuffer(raw, np.uint8).astype(np.float64) - 128.0) / 128.0
    elif width == 2:
        data = np.frombuffer(raw, "<i2").astype(np.float64) / 32768.0
    elif width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        data = np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / float(1 << 23)
    else:
        data = np.frombuffer(raw, "<i4").astype(np.float64) / float(1 << 31)
    return data.reshape(-1, ch).T.copy(), rate


# ---------------------------------------------------------------------------
# Dialogue
# ---------------------------------------------------------------------------

# The American and Scottish espeak-ng voices are held out of training on
# purpose (an evaluation set is built from them), as is the New York voice,
# which shares the American one's phonemes and rules.
ESPEAK_BASES = ("en-gb", "en-gb-x-rp", "en-gb-x-gbclan", "en-gb-x-gbcwmd", "en-029")
HELD_OUT_ESPEAK = ("en-us", "en-gb-scotland", "en-us-nyc")
assert not set(ESPEAK_BASES) & set(HELD_OUT_ESPEAK)

ESPEAK_MALE = ("m1", "m2", "m3", "m4", "m5", "m6", "m7", "m8", "klatt", "klatt2", "klatt3",
               "klatt4", "klatt6", "adam", "Andy", "boris", "caleb", "david", "ed", "edward",
               "grandpa", "john", "max", "michel", "norbert", "paul", "quincy", "rob",
               "robert", "travis", "victor", "zac", "Lee", "Mike", "Michael", "Gene", "Denis",
               "Jacky", "benjamin", "Marco", "Hugo", "antonio", "pablo", "gustave", "iven",
               "iven2", "iven3", "sandro")
ESPEAK_FEMALE = ("f1", "f2", "f3", "f4", "f5", "klatt5", "Alicia", "Andrea", "Annie", "aunty",
                 "belinda", "grandma", "linda", "steph", "steph2", "steph3", "shelby", "anika")
FESTIVAL_VOICES = ("kal_diphone", "cmu_us_slt_arctic_hts")

# (text, delivery): n plain, q question, r short reply, s shouted, w whispered.
LINES = (
    ("We should have left an hour ago.", "n"),
    ("I never said it would be easy.", "n"),
    ("She kept the letters in a box under the bed.", "n"),
    ("Listen to me, this is important.", "n"),
    ("The money was gone before anyone noticed.", "n"),
    ("He walked in like he owned the place.", "n"),
    ("I think we took a wrong turn somewhere back there.", "n"),
    ("You can sleep on the couch tonight.", "n"),
    ("My father built this house with his own hands.", "n"),
    ("It has been raining for three days straight.", "n"),
    ("They found the boat drifting ten miles out.", "n"),
    ("I need you to trust me on this one.", "n"),
    ("The last train leaves at midnight.", "n"),
    ("Nobody has lived up there for years.", "n"),
    ("We have maybe twenty minutes before they come back.", "n"),
    ("Take the north road and do not stop until morning.", "n"),
    ("I remember the smell of bread in that kitchen.", "n"),
    ("This is the third time this week.", "n"),
    ("She said she would write, but she never did.", "n"),
    ("The doctor will see you in a minute.", "n"),
    ("Let me explain how this works.", "n"),
    ("Everything in this room is evidence.", "n"),
    ("I have been looking for you since noon.", "n"),
    ("Put the bags in the back and get in.", "n"),
    ("Honestly, I thought you would be taller.", "n"),
    ("The bridge is out, we will have to go around.", "n"),
    ("Your brother asked about you yesterday.", "n"),
    ("It was the coldest winter anyone could remember.", "n"),
    ("I gave them everything I knew.", "n"),
    ("We are not going anywhere until this is settled.", "n"),
    ("He left the lights on and the window wide open.", "n"),
    ("Ladies and gentlemen, thank you for coming tonight.", "n"),
    ("The package arrived this morning, no return address.", "n"),
    ("You look like you have seen a ghost.", "n"),
    ("When I was a boy, we used to swim in that river every summer, and nobody ever worried.", "n"),
    ("The plan is simple: we go in, we find the ledger, and we are out before sunrise.", "n"),
    ("If you had told me sooner, none of this would have happened.", "n"),
    ("Forty years I worked at that mill, and not once did they say thank you.", "n"),
    ("The soup is cold again, but I suppose that is my fault.", "n"),
    ("Grandmother never trusted banks, so the savings went into the garden.", "n"),
    ("Where were you last night?", "q"),
    ("Are you sure about this?", "q"),
    ("What time is it?", "q"),
    ("Did anyone see you come in?", "q"),
    ("Why would she lie about something like that?", "q"),
    ("How long have you known?", "q"),
    ("Can you hear me?", "q"),
    ("Who else knows about the map?", "q"),
    ("Do you want some coffee?", "q"),
    ("What happened to your hand?", "q"),
    ("Is this seat taken?", "q"),
    ("You really think they will believe that?", "q"),
    ("How far is the next town?", "q"),
    ("Have you ever been to the coast in winter?", "q"),
    ("What did the letter say?", "q"),
    ("Are we there yet?", "q"),
    ("Yes.", "r"),
    ("No, not really.", "r"),
    ("Fine.", "r"),
    ("I know.", "r"),
    ("Of course.", "r"),
    ("Maybe later.", "r"),
    ("Thank you.", "r"),
    ("Right, okay.", "r"),
    ("Never.", "r"),
    ("Not now.", "r"),
    ("Sorry.", "r"),
    ("Good night.", "r"),
    ("Hmm, I see.", "r"),
    ("Absolutely not.", "r"),
    ("Get down!", "s"),
    ("Run! Go, go, go!", "s"),
    ("Stop right there!", "s"),
    ("Look out!", "s"),
    ("Everybody out of the building, now!", "s"),
    ("Help! Somebody help me!", "s"),
    ("Leave her alone!", "s"),
    ("Over here! Quickly!", "s"),
    ("I said drop it!", "s"),
    ("Get back in the truck!", "s"),
    ("Keep your voice down.", "w"),
    ("They are right outside.", "w"),
    ("Don't move, don't make a sound.", "w"),
    ("I think he is asleep.", "w"),
    ("Follow me, and stay close.", "w"),
    ("Did you hear that?", "w"),
    ("It's under the floorboards.", "w"),
    ("We leave at dawn, tell no one.", "w"),
)


def pick_speaker(rng):
    if rng.random() < 0.18:
        return {"engine": "festival",
                "voice": FESTIVAL_VOICES[rng.integers(len(FESTIVAL_VOICES))],
                "speed": rng.uniform(0.9, 1.1),          # sox speed: pitch and rate together
                "tempo": rng.uniform(0.85, 1.15),
                "female": None,
                "hp": rng.uniform(60, 150),
                "lp": rng.uniform(5000, 10000) if rng.random() < 0.3 else None}
    female = rng.random() < 0.45
    pool = ESPEAK_FEMALE if female else ESPEAK_MALE
    return {"engine": "espeak",
            "base": ESPEAK_BASES[rng.integers(len(ESPEAK_BASES))],
            "variant": pool[rng.integers(len(pool))],
            "speed": int(rng.integers(120, 191)),
            "pitch": int(rng.integers(20, 81)),
            "female": female,
            "hp": rng.uniform(60, 150),
            "lp": rng.uniform(5000, 10000) if rng.random() < 0.3 else None}


def speak(rng, spk, text, delivery, tmp, tag):
    """Render one line to a mono float array at SR."""
    raw = os.path.join(tmp, tag + "-raw.wav")
    out = os.path.join(tmp, tag + ".wav")
    sox_fx = ["vol", "0.5"]
    if spk["engine"] == "espeak":
        variant = spk["variant"]
        speed = spk["speed"] + int(rng.integers(-8, 9))
        pitch = spk["pitch"] + int(rng.integers(-5, 6))
        if delivery == "w":
            variant = "whisperf" if spk["female"] else "whisper"
        elif delivery == "s":
            speed += int(rng.integers(5, 25))
            pitch += int(rng.integers(8, 20))
        elif delivery == "q":
            pitch += int(rng.integers(0, 8))
        cmd = ["espeak-ng", "-v", spk["base"] + "+" + variant, "-s", str(int(np.clip(speed, 120, 190))),
               "-p", str(int(np.clip(pitch, 20, 80))), "-w", raw, text]
        assert spk["base"] not in HELD_OUT_ESPEAK
        run(cmd)
    else:
        txt = os.path.join(tmp, tag + ".txt")
        with open(txt, "w") as f:
            f.write(text + "\n")
        run(["text2wave", "-eval", "(voice_%s)" % spk["voice"], txt, "-o", raw])
        sox_fx += ["speed", "%.4f" % spk["speed"], "tempo", "-s", "%.4f" % spk["tempo"]]
    run(["sox", "-R", "-D", "-V1", raw, "-b", "16", "-c", "1", out]
        + sox_fx + ["rate", "-h", str(SR)])
    x = read_wav(out)[0][0]
    # Trim the silence the synthesisers leave around the line.
    active = np.flatnonzero(np.abs(x) > 0.01 * (np.max(np.abs(x)) + 1e-9))
    if active.size:
        x = x[max(active[0] - 400, 0):active[-1] + 2000]
    stages = [("hp2", spk["hp"], 0.7)]
    if spk["lp"]:
        stages.append(("lp2", spk["lp"], 0.7))
    x = filt(x, *stages, tail=4096)
    x = normalise_rms(x)
    if delivery == "s":
        x = soft_clip(x * 0.35, rng.uniform(1.5, 3.5))
        x = filt(x, ("lp2", rng.uniform(8000, 11000), 0.7), tail=2048)   # drop what the clipping added up top
        x = normalise_rms(x) * db_to_gain(rng.uniform(3, 8))
    elif delivery == "w":
        x *= db_to_gain(rng.uniform(-11, -4))
    else:
        x *= db_to_gain(rng.uniform(-3, 3))
    return fade(x, 0.005, 0.02)


def room_irs(rng):
    """Small-room response per channel: direct sound, a few low-passed early echoes, short tail."""
    rt60 = rng.uniform(0.2, 0.6)
    n = int(rt60 * SR)
    irs = np.zeros((2, n))
    irs[:, 0] = 1.0
    for c in range(2):
        echoes = np.zeros(n)
        for _ in range(rng.integers(3, 8)):
            d = int(rng.uniform(0.003, 0.05) * SR)
            echoes[d] += rng.uniform(0.15, 0.5) * rng.choice([-1.0, 1.0]) * np.exp(-d / (0.04 * SR))
        echoes = filt(echoes, ("lp1", rng.uniform(1500, 6000)), tail=1024)
        t = seconds(n)
        tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60) * (t > 0.015)
        tail = filt(tail, ("lp1", rng.uniform(2000, 5000)), tail=1024)
        tail *= db_to_gain(rng.uniform(-14, -6)) / (np.sqrt(np.sum(tail ** 2)) + 1e-12)
        irs[c] += echoes + tail
    return irs


def make_dialogue(rng, tmp):
    if rng.random() < 0.12:
        return None, "none"
    speakers = [pick_speaker(rng)]
    if rng.random() < 0.2:
        speakers.append(pick_speaker(rng))
    mode = rng.choice(3, p=(0.65, 0.25, 0.10))    # centred, panned, small room
    per_line = rng.random() < 0.5
    pans = [rng.choice([-1.0, 1.0]) * rng.uniform(0.15, 0.8) for _ in speakers]

    out = np.zeros((2, N))
    t = rng.uniform(-1.5, 0.0) if rng.random() < 0.2 else rng.uniform(0.0, 1.5)
    who = 0
    last = -1
    k = 0
    while t < CLIP_SECONDS - 0.3:
        idx = int(rng.integers(len(LINES)))
        if idx == last:
            idx = (idx + 1) % len(LINES)
        last = idx
        text, delivery = LINES[idx]
        if delivery == "n" and rng.random() < 0.08:
            delivery = "w"
        spk = speakers[who]
        if spk["engine"] == "festival" and delivery == "w":
            delivery = "n"
        x = speak(rng, spk, text, delivery, tmp, "line%02d" % k)
        if mode == 1:
            p = rng.choice([-1.0, 1.0]) * rng.uniform(0.15, 0.8) if per_line else pans[who]
            sig = panned(x, p) * np.sqrt(2.0)
        else:
            sig = centred(x)
        add_at(out, sig, int(t * SR))
        t += x.size / SR + rng.uniform(0.3, 2.5)
        k += 1
        if len(speakers) > 1 and rng.random() < 0.8:
            who = 1 - who
    if mode == 2:
        mono = out[0]
        out = convolve(mono[None, :], room_irs(rng))
        if rng.random() < 0.3:
            gl, gr = pan_gains(rng.uniform(-0.3, 0.3))
            out *= np.array([[gl], [gr]]) * np.sqrt(2.0)
    label = ("centre", "pan", "room")[mode] + ("-2v" if len(speakers) > 1 else "")
    return out, label


# ---------------------------------------------------------------------------
# Music: harmony and composition shared by the MIDI and numpy renderers
# ---------------------------------------------------------------------------

SCALES = {
    "major": (0, 2, 4, 5, 7, 9, 11), "minor": (0, 2, 3, 5, 7, 8, 10),
    "dorian": (0, 2, 3, 5, 7, 9, 10), "mixolydian": (0, 2, 4, 5, 7, 9, 10),
    "lydian": (0, 2, 4, 6, 7, 9, 11), "phrygian": (0, 1, 3, 5, 7, 8, 10),
    "harmonic_minor": (0, 2, 3, 5, 7, 8, 11),
}
SCALE_WEIGHTS = {"major": 3, "minor": 3, "dorian": 1.5, "mixolydian": 1, "lydian": 0.7,
                 "phrygian": 0.7, "harmonic_minor": 1}
PROGRESSIONS = ((0, 4, 5, 3), (0, 5, 3, 4), (0, 3, 4, 0), (1, 4, 0, 0), (0, 3, 0, 4),
                (5, 3, 0, 4), (0, 6, 5, 4), (0, 2, 3, 4), (0, 0, 3, 3), (0, 5, 1, 4),
                (0, 1), (0, 6), (0, 0, 0, 0), (3, 4, 5, 5), (0, 4, 3, 3), (5, 4, 3, 4))


class Harmony:
    def __init__(self, rng):
        names = list(SCALES)
        w = np.array([SCALE_WEIGHTS[k] for k in names])
        self.mode = names[rng.choice(len(names), p=w / w.sum())]
        self.scale = SCALES[self.mode]
        self.key = int(rng.integers(12))
        self.meter = 3 if rng.random() < 0.15 else 4
        self.prog = PROGRESSIONS[rng.integers(len(PROGRESSIONS))]
        self.chord_beats = self.meter * float(rng.choice([0.5, 1.0, 1.0, 1.0, 2.0]))
        self.sevenths = rng.random() < 0.3

    def degree_pc(self, deg):
        return self.key + self.scale[deg % 7] + 12 * (deg // 7)

    def chord(self, beat):
        """Chord at a beat as semitones above the key's C-octave (root first)."""
        deg = self.prog[int(beat // self.chord_beats) % len(self.prog)]
        steps = (0, 2, 4, 6) if self.sevenths else (0, 2, 4)
        return [self.degree_pc(deg + s) for s in steps]

    def scale_pitches(self, lo, hi):
        pcs = {(self.key + s) % 12 for s in self.scale}
        return [p for p in range(lo, hi + 1) if p % 12 in pcs]


def _nearest(pitches, target):
    return int(np.argmin([abs(p - target) for p in pitches]))


def compose_drums(rng, h, total_beats):
    """Drum hits as (beat, kind, velocity)."""
    style = rng.choice(["rock", "four", "half", "sixteen", "sparse", "toms", "shuffle"])
    hits = []
    meter = h.meter
    bars = int(np.ceil(total_beats / meter))
    fill_every = int(rng.choice([2, 4, 4, 8]))
    crash_p = rng.uniform(0.2, 0.9)
    hat = "ride" if rng.random() < 0.2 else "chh"
    swing = rng.uniform(0.0, 0.12) if style == "shuffle" else 0.0
    for bar in range(bars):
        b0 = bar * meter
        fill = (bar % fill_every) == fill_every - 1 and rng.random() < 0.6
        if bar % 4 == 0 and rng.random() < crash_p:
            hits.append((b0, "crash", 110))
        for beat in range(meter):
            t = b0 + beat
            if fill and beat == meter - 1:
                for i, kind in enumerate(("tom_hi", "tom_hi", "tom_mid", "tom_lo")):
                    hits.append((t + i * 0.25, kind, 90 + 8 * i))
                continue
            if style == "rock":
                if beat == 0 or (beat == 2 and meter == 4):
                    hits.append((t, "kick", 110))
                if beat in (1, 3) or (meter == 3 and beat == 2):
                    hits.append((t, "snare", 105))
                if rng.random() < 0.2:
                    hits.append((t + 0.5, "kick", 85))
                hits += [(t, hat, 80), (t + 0.5, hat, 60)]
            elif style == "four":
                hits.append((t, "kick", 115))
                if beat % 2 == 1:
                    hits.append((t, "clap" if rng.random() < 0.5 else "snare", 100))
                hits.append((t + 0.5, "ohh", 70))
            elif style == "half":
                if beat == 0:
                    hits.append((t, "kick", 110))
                if beat == 2:
                    hits.append((t, "snare", 110))
                hits.append((t, hat, 70))
            elif style == "sixteen":
                if beat in (0, 2):
                    hits.append((t, "kick", 110))
                if beat == 2 and rng.random() < 0.5:
                    hits.append((t + 0.75, "kick", 90))
                if beat in (1, 3):
                    hits.append((t, "snare", 100))
                for i in range(4):
                    hits.append((t + i * 0.25, "chh", 85 if i == 0 else 55))
            elif style == "sparse":
                if beat == 0:
                    hits.append((t, "kick", 95))
                if rng.random() < 0.4:
                    hits.append((t, "rim", 70))
                hits.append((t, "ride", 65))
            elif style == "toms":
                if beat == 0:
                    hits.append((t, "kick", 110))
                for i in range(2):
                    if rng.random() < 0.6:
                        hits.append((t + i * 0.5, ("tom_lo", "tom_mid")[i], 100 - 15 * i))
            else:   # shuffle
                if beat in (0, 2):
                    hits.append((t, "kick", 105))
                if beat in (1, 3):
                    hits.append((t, "snare", 100))
                hits += [(t, hat, 80), (t + 2.0 / 3.0 + swing, hat, 60)]
    out = []
    for t, kind, v in hits:
        if t < total_beats:
            jit = rng.normal(0.0, 0.008)
            out.append((max(t + jit, 0.0), kind, int(np.clip(v + rng.normal(0, 8), 30, 127))))
    return out, str(style)


def compose_bass(rng, h, total_beats):
    style = rng.choice(["whole", "quarters", "eighths", "walking", "synco"])
    notes = []
    t = 0.0
    while t < total_beats:
        chord = h.chord(t)
        root = 28 + (chord[0] - 28) % 12 + (12 if rng.random() < 0.1 else 0)
        fifth = root + 7
        span = min(h.chord_beats, total_beats - t)
        if style == "whole":
            notes.append((t, span * 0.95, root, 95))
        elif style == "quarters":
            for i in range(int(span)):
                notes.append((t + i, 0.8, fifth if i % 4 == 2 and rng.random() < 0.5 else root, 90))
        elif style == "eighths":
            for i in range(int(span * 2)):
                notes.append((t + i * 0.5, 0.4, root + (12 if i % 8 == 7 else 0), 85 if i % 2 else 100))
        elif style == "walking":
            pitches = h.scale_pitches(root - 2, root + 12)
            j = _nearest(pitches, root)
            for i in range(int(span)):
                notes.append((t + i, 0.9, pitches[j], 90))
                j = int(np.clip(j + rng.choice([-1, 1, 1, 2]), 0, len(pitches) - 1))
        else:
            for off, d in ((0.0, 1.2), (1.5, 0.8), (2.5, 0.4), (3.0, 0.8)):
                if off < span:
                    notes.append((t + off, d, root if off != 2.5 else fifth, 95))
        t += h.chord_beats
    return notes, str(style)


def compose_melody(rng, h, total_beats, lo, hi, busy):
    pitches = h.scale_pitches(lo, hi)
    j = len(pitches) // 2
    durs = {0: (1.0, 2.0, 3.0, 4.0, 2.0), 1: (0.5, 1.0, 1.0, 1.5, 2.0), 2: (0.25, 0.5, 0.5, 1.0)}[busy]
    notes = []
    t = float(rng.choice([0.0, 0.0, 1.0, 2.0]))
    phrase_end = t + h.meter * int(rng.choice([2, 4]))
    while t < total_beats:
        d = float(rng.choice(durs))
        if t >= phrase_end:
            t += float(rng.choice([1.0, 2.0]))
            phrase_end = t + h.meter * int(rng.choice([2, 4]))
            continue
        if rng.random() < 0.12:
            t += d
            continue
        j = int(np.clip(j + rng.choice([-2, -1, -1, 0, 1, 1, 2, -3, 3]), 0, len(pitches) - 1))
        if abs(t - round(t)) < 1e-6 and rng.random() < 0.6:
            chord_pcs = {c % 12 for c in h.chord(t)}
            cands = [i for i, p in enumerate(pitches) if p % 12 in chord_pcs]
            if cands:
                j = min(cands, key=lambda i: abs(i - j))
        vel = int(np.clip(rng.normal(92, 10) + (8 if t % h.meter == 0 else 0), 40, 127))
        notes.append((t, d * rng.uniform(0.8, 0.98), pitches[j], vel))
        t += d
    return notes


def voiced_chord(chord, centre):
    notes = []
    for pc in chord:
        p = pc + 12 * int(np.round((centre - pc) / 12.0))
        notes.append(p)
    return sorted(notes)


def compose_chords(rng, h, total_beats, style, lo=50, hi=74):
    notes = []
    t = 0.0
    centre = rng.uniform(lo + 6, hi - 6)
    rate = float(rng.choice([0.5, 0.25, 1.0/3.0])) if style == "arp" else float(rng.choice([1.0, 0.5]))
    up = rng.random() < 0.6
    while t < total_beats:
        voicing = voiced_chord(h.chord(t), centre)
        span = min(h.chord_beats, total_beats - t)
        if style == "sustain":
            for p in voicing:
                notes.append((t, span * 0.98, p, 80))
        elif style == "pulse":
            k = 0
            while k * rate < span - 1e-6:
                for p in voicing:
                    notes.append((t + k * rate, rate * 0.7, p, 85 if k % 2 == 0 else 70))
                k += 1
        else:   # arpeggio
            seq = voicing + [voicing[0] + 12]
            if not up:
                seq = seq[::-1]
            k = 0
            while k * rate < span - 1e-6:
                notes.append((t + k * rate, rate * 1.5, seq[k % len(seq)], 85 if k % 4 == 0 else 70))
                k += 1
        t += h.chord_beats
    return notes


def compose_roots(rng, h, total_beats, lo, hi, every):
    notes = []
    t = 0.0
    while t < total_beats:
        root = h.chord(t)[0]
        p = root + 12 * int(np.ceil((lo - root) / 12.0))
        if p > hi:
            p -= 12
        notes.append((t, every * 0.9, p, 100))
        if rng.random() < 0.3 and t + every / 2 < total_beats:
            notes.append((t + every / 2, every * 0.4, p + 7 if p + 7 <= hi else p - 5, 80))
        t += every
    return notes


def compose(rng, h, total_beats, lead_range):
    """Pick an arrangement and write its parts. Returns (parts, description)."""
    parts = {}
    if rng.random() < 0.3:
        kind = rng.choice(["pad", "solo", "pad_lead", "keys"])
        if kind in ("pad", "pad_lead"):
            parts["chords"] = ("sustain", compose_chords(rng, h, total_beats, "sustain"))
        if kind in ("solo", "pad_lead"):
            parts["lead"] = compose_melody(rng, h, total_beats, lead_range[0], lead_range[1],
                                           int(rng.choice([0, 0, 1])))
        if kind == "keys":
            parts["chords"] = ("arp", compose_chords(rng, h, total_beats, "arp", 45, 70))
            if rng.random() < 0.6:
                parts["lead"] = compose_melody(rng, h, total_beats, max(lead_range[0], 60), lead_range[1], 1)
        return parts, "sparse-" + str(kind)
    desc = []
    if rng.random() < 0.75:
        parts["drums"], style = compose_drums(rng, h, total_beats)
        desc.append("drums:" + style)
    if rng.random() < 0.85:
        parts["bass"], style = compose_bass(rng, h, total_beats)
        desc.append("bass:" + style)
    if rng.random() < 0.6:
        parts["lead"] = compose_melody(rng, h, total_beats, lead_range[0], lead_range[1],
                                       int(rng.choice([0, 1, 1, 2])))
        desc.append("lead")
    if rng.random() < 0.9 or len(parts) < 2:
        style = str(rng.choice(["sustain", "pulse", "arp"]))
        parts["chords"] = (style, compose_chords(rng, h, total_beats, style))
        desc.append("chords:" + style)
    if rng.random() < 0.35:
        kind = str(rng.choice(["pizz", "timpani", "pluck"]))
        if kind == "pizz":
            notes = compose_chords(rng, h, total_beats, "arp", 55, 79)
            notes = [(t, 0.3, p, v) for t, d, p, v in notes]
        elif kind == "timpani":
            notes = compose_roots(rng, h, total_beats, 40, 55, h.meter)
        else:
            notes = compose_chords(rng, h, total_beats, "arp", 60, 84)
        parts["extra"] = (kind, notes)
        desc.append(kind)
    return parts, "full-" + "+".join(desc)


# ---------------------------------------------------------------------------
# Music: standard MIDI file writer and fluidsynth rendering
# ---------------------------------------------------------------------------

GM_DRUMS = {"kick": (35, 36), "snare": (38, 40), "chh": (42, 44), "ohh": (46,), "ride": (51, 59),
            "crash": (49, 57), "tom_lo": (41, 43), "tom_mid": (45, 47), "tom_hi": (48, 50),
            "rim": (37,), "clap": (39,)}
GM_BASS = (32, 33, 34, 35, 36, 38, 39, 43)
# (program, lowest, highest): fundamentals kept inside roughly 150-800 Hz.
GM_LEAD = ((56, 58, 79), (57, 50, 70), (60, 50, 72), (65, 55, 77), (66, 50, 70), (71, 55, 79),
           (73, 62, 79), (68, 58, 79), (40, 60, 79), (42, 50, 70), (52, 52, 76), (53, 52, 76),
           (80, 55, 79), (81, 55, 79), (16, 55, 79), (19, 52, 76), (69, 52, 74))
GM_SUSTAIN = (48, 49, 50, 51, 88, 89, 90, 91, 92, 94, 95, 16, 19, 52, 61, 62)
GM_KEYS = (0, 1, 4, 5, 24, 25, 26, 27, 46, 11, 6)
GM_PLUCK = (46, 104, 105, 106, 107, 108, 12, 13, 9, 8, 14)


def _vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def write_midi(path, bpm, channels, end_seconds, tpq=480):
    """Write a format-0 standard MIDI file.

    channels: list of dicts with ch, program (None for drums), volume, pan, reverb
    and notes [(start_beat, dur_beats, key, velocity)].
    """
    events = []     # (tick, order, bytes): at one tick, meta, then setup, note-offs, note-ons
    tempo = int(round(60_000_000 / bpm))
    events.append((0, 0, b"\xff\x51\x03" + tempo.to_bytes(3, "big")))
    events.append((0, 0, b"\xff\x58\x04" + bytes([4, 2, 24, 8])))
    for c in channels:
        ch = c["ch"]
        if c["program"] is not None:
            events.append((0, 1, bytes([0xC0 | ch, c["program"]])))
        for cc, val in ((7, c["volume"]), (10, c["pan"]), (91, c["reverb"]), (93, 0)):
            events.append((0, 1, bytes([0xB0 | ch, cc, int(np.clip(val, 0, 127))])))
        for start, dur, key, vel in c["notes"]:
            on = int(round(start * tpq))
            off = max(on + 1, int(round((start + dur) * tpq)))
            key = int(np.clip(key, 0, 127))
            events.append((on, 3, bytes([0x90 | ch, key, int(np.clip(vel, 1, 127))])))
            events.append((off, 2, bytes([0x80 | ch, key, 0])))
    end_tick = int(end_seconds * bpm / 60.0 * tpq)
    events.sort(key=lambda e: (e[0], e[1]))
    body = bytearray()
    now = 0
    for tick, _, data in events:
        body += _vlq(tick - now) + data
        now = tick
    body += _vlq(max(end_tick - now, 0)) + b"\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + (6).to_bytes(4, "big") + (0).to_bytes(2, "big") + (1).to_bytes(2, "big")
                + tpq.to_bytes(2, "big"))
        f.write(b"MTrk" + len(body).to_bytes(4, "big") + bytes(body))


def _cc_pan(rng, centre_p=0.5):
    if rng.random() < centre_p:
        return 64
    return int(np.clip(64 + rng.choice([-1, 1]) * rng.uniform(15, 60), 0, 127))


def make_midi_music(rng, tmp, pre):
    h = Harmony(rng)
    bpm = float(rng.uniform(60, 160))
    total_sec = pre + CLIP_SECONDS + 0.5
    total_beats = total_sec * bpm / 60.0
    lead = GM_LEAD[rng.integers(len(GM_LEAD))]
    parts, desc = compose(rng, h, total_beats, (lead[1], lead[2]))
    channels = []
    free = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11]
    for name in ("drums", "bass", "lead", "chords", "extra"):
        if name not in parts:
            continue
        part = parts[name]
        if name == "drums":
            table = {k: v[rng.integers(len(v))] for k, v in GM_DRUMS.items()}
            notes = [(t, 0.2, table[k], v) for t, k, v in part]
            channels.append({"ch": 9, "program": None, "notes": notes, "pan": _cc_pan(rng)})
            continue
        ch = free.pop(0)
        if name == "bass":
            prog, notes, centre_p = GM_BASS[rng.integers(len(GM_BASS))], part, 0.5
        elif name == "lead":
            prog, notes, centre_p = lead[0], part, 0.5
        elif name == "chords":
            style, notes = part
            pool = GM_SUSTAIN if style == "sustain" else (GM_KEYS if style == "arp" else GM_KEYS + GM_SUSTAIN)
            prog, centre_p = pool[rng.integers(len(pool))], 0.15
        else:
            kind, notes = part
            prog = {"pizz": 45, "timpani": 47}.get(kind, GM_PLUCK[rng.integers(len(GM_PLUCK))])
            centre_p = 0.15
        channels.append({"ch": ch, "program": int(prog), "notes": notes, "pan": _cc_pan(rng, centre_p)})
    for c in channels:
        c["volume"] = int(rng.integers(70, 121))
        c["reverb"] = int(rng.integers(0, 100))
    mid = os.path.join(tmp, "music.mid")
    wav = os.path.join(tmp, "music.wav")
    write_midi(mid, bpm, channels, total_sec)
    gain = 0.3
    settings = ["-o", "synth.reverb.room-size=%.2f" % rng.uniform(0.1, 0.9),
                "-o", "synth.reverb.damp=%.2f" % rng.uniform(0.1, 0.8),
                "-o", "synth.reverb.width=%.1f" % rng.uniform(0.5, 1.0),
                "-o", "synth.reverb.level=%.2f" % rng.uniform(0.2, 0.9)]
    for _ in range(4):
        # fluidsynth's chorus comes out largely in antiphase between the channels,
        # which no film mix does: leave it off.
        run(["fluidsynth", "-ni", "-q", "-C", "0", "-g", "%.3f" % gain, "-r", str(SR)] + settings
            + ["-F", wav, SOUNDFONT, mid])
        audio, rate = read_wav(wav)
        if np.max(np.abs(audio)) < 0.99 or gain < 0.03:
            break
        gain *= 0.4     # the 16-bit render clipped: render again quieter
    assert rate == SR
    start = int(pre * SR)
    out = np.zeros((2, N))
    seg = audio[:, start:start + N]
    out[:, :seg.shape[1]] = seg
    return out, "midi %s %s %dbpm %s" % (h.mode, "3/4" if h.meter == 3 else "4/4", bpm, desc)


# ---------------------------------------------------------------------------
# Music: numpy synthesis
# ---------------------------------------------------------------------------

def synth_kit(rng):
    """One synthetic drum kit per clip: a few variants of each sound."""
    kit = {}
    f_hi, f_lo = rng.uniform(100, 220), rng.uniform(38, 60)
    kick_tau = rng.uniform(0.15, 0.45)
    hat_hp = rng.uniform(5000, 9000)
    snare_tone = rng.uniform(150, 250)
    snare_bp = rng.uniform(1500, 5000)
    for variant in range(3):
        n = int(0.6 * SR)
        t = seconds(n)
        f = f_lo + (f_hi - f_lo) * np.exp(-t / rng.uniform(0.02, 0.06))
        kick = np.sin(TWO_PI * np.cumsum(f) / SR) * exp_env(n, kick_tau * rng.uniform(0.9, 1.1), 0.001)
        click = filt(rng.standard_normal(n) * exp_env(n, 0.003), ("lp1", 4000))
        kit.setdefault("kick", []).append(kick + 0.3 * click)

        n = int(0.4 * SR)
        noise = filt(rng.standard_normal(n), ("bp", snare_bp, 0.6), ("hp1", 800)) * exp_env(n, rng.uniform(0.06, 0.18))
        tone = np.sin(TWO_PI * snare_tone * seconds(n)) * exp_env(n, 0.05)
        kit.setdefault("snare", []).append(normalise_rms(noise) + 0.8 * normalise_rms(tone))

        n = int(0.3 * SR)
        clap = np.zeros(n)
        for i in range(4):
            k = int(i * 0.011 * SR)
            clap[k:] += rng.standard_normal(n - k) * exp_env(n - k, 0.008 if i < 3 else 0.08)
        kit.setdefault("clap", []).append(filt(clap, ("bp", rng.uniform(900, 2000), 1.2)))
        kit.setdefault("rim", []).append(filt(rng.standard_normal(int(0.08 * SR)) * exp_env(int(0.08 * SR), 0.01),
                                               ("bp", 1700, 3.0)))

        for name, tau, length, ping in (("chh", rng.uniform(0.02, 0.06), 0.2, 0.3),
                                        ("ohh", rng.uniform(0.2, 0.4), 0.8, 0.3),
                                        ("ride", rng.uniform(0.6, 1.2), 1.5, 3.0),
                                        ("crash", rng.uniform(0.8, 1.5), 2.5, 0.3)):
            n = int(length * SR)
            metal = partials(rng.uniform(2500, 8000, 8), rng.uniform(0.5, 1.0, 8), np.full(8, tau), n)
            noise = filt(rng.standard_normal(n), ("hp2", hat_hp if name in ("chh", "ohh") else 3000, 0.7))
            noise *= exp_env(n, tau if name != "ride" else 0.1, 0.0005)
            head = SR // 10
            x = noise / (rms(noise[:head]) + 1e-12) + ping * metal / (rms(metal[:head]) + 1e-12)
            kit.setdefault(name, []).append(fade(x, 0.0, 0.1))

        for name, f0 in (("tom_lo", rng.uniform(80, 110)), ("tom_mid", rng.uniform(120, 160)),
                         ("tom_hi", rng.uniform(170, 230))):
            n = int(0.5 * SR)
            t = seconds(n)
            f = f0 * (1 + 0.5 * np.exp(-t / 0.03))
            kit.setdefault(name, []).append(np.sin(TWO_PI * np.cumsum(f) / SR) * exp_env(n, 0.18, 0.001))
    # Level each sound by its first 100 ms, then balance the kit.
    balance = {"kick": 0, "snare": -2, "clap": -3, "rim": -8, "chh": -10, "ohh": -10, "ride": -12,
               "crash": -12, "tom_lo": -2, "tom_mid": -2, "tom_hi": -2}
    return {k: [v * db_to_gain(balance[k]) / (rms(v[:SR // 10]) + 1e-12) for v in vs]
            for k, vs in kit.items()}


def synth_voice(rng, kind, pitch, dur, vel, params):
    """One note of a numpy instrument, with its release tail."""
    f = float(midi_hz(pitch))
    amp = (vel / 127.0) ** 1.5
    if kind == "pluck":
        return amp * karplus_strong(rng, f, dur + params["ring"], params["decay"], params["bright"])
    if kind == "bell":
        n = int((dur + params["ring"]) * SR)
        return amp * fm_tone(f, n, params["ratio"], params["index"], params["itau"], params["tau"])
    if kind == "sine_bass":
        n = int((dur + 0.15) * SR)
        env = adsr(n, 0.005, 0.3, 0.6, 0.08, int(dur * SR))
        t = seconds(n)
        x = np.sin(TWO_PI * f * t) + params["h2"] * np.sin(TWO_PI * 2 * f * t)
        return amp * soft_clip(x * env, params["drive"])
    if kind == "organ":
        n = int((dur + 0.12) * SR)
        t = seconds(n)
        x = np.zeros(n)
        for mult, level in params["drawbars"]:
            if f * mult < SR * 0.45:
                x += level * np.sin(TWO_PI * f * mult * t)
        x *= 1.0 + params["trem"] * np.sin(TWO_PI * params["trem_hz"] * t)
        return amp * x * adsr(n, 0.01, 0.1, 0.9, 0.05, int(dur * SR))
    if kind == "pad":
        n = int((dur + params["release"]) * SR)
        x = sum(osc("saw", f * 2 ** (c / 1200.0), n, rng.random()) for c in params["detune"])
        x = filt(x, ("lp2", params["cutoff"], 0.8), tail=2048)
        return amp * x * adsr(n, params["attack"], 0.5, 0.8, params["release"] / 3, int(dur * SR))
    # subtractive (saw / square / triangle) with optional vibrato, brightness follows an envelope
    n = int((dur + params["release"]) * SR)
    t = seconds(n)
    freq = f
    if params.get("vibrato"):
        onset = np.clip(t / 0.3, 0.0, 1.0)
        freq = f * 2 ** (params["vibrato"] * onset * np.sin(TWO_PI * params["vib_hz"] * t) / 12.0)
    x = osc(params["shape"], freq, n)
    c_dark = params["cutoff"]
    c_bright = min(c_dark * params["env_amt"], 12000.0)
    dark = filt(x, ("lp1", c_dark), ("lp1", c_dark), tail=2048)         # two one-pole sections
    bright = filt(x, ("lp1", c_bright), ("lp1", c_bright), tail=2048)
    fenv = np.exp(-t / params["fenv_tau"])
    x = dark * (1.0 - fenv) + bright * fenv
    return amp * x * adsr(n, params["attack"], 0.2, params["sustain"], params["release"] / 3, int(dur * SR))


def voice_params(rng, role):
    if role == "bass":
        kind = rng.choice(["sine_bass", "sub_saw", "sub_square", "pluck"])
        if kind == "sine_bass":
            return "sine_bass", {"h2": rng.uniform(0.0, 0.4), "drive": rng.uniform(0.5, 2.5)}
        if kind == "pluck":
            return "pluck", {"ring": 0.2, "decay": rng.uniform(0.8, 2.0), "bright": rng.uniform(0.3, 0.7)}
        return "sub", {"shape": "saw" if kind == "sub_saw" else "square", "cutoff": rng.uniform(200, 600),
                       "env_amt": rng.uniform(2, 6), "fenv_tau": rng.uniform(0.05, 0.2),
                       "attack": 0.005, "sustain": 0.7, "release": 0.08}
    if role == "lead":
        return "sub", {"shape": str(rng.choice(["saw", "square", "tri"])), "cutoff": rng.uniform(800, 2500),
                       "env_amt": rng.uniform(1.5, 4), "fenv_tau": rng.uniform(0.1, 0.4),
                       "attack": rng.uniform(0.01, 0.08), "sustain": 0.85, "release": rng.uniform(0.08, 0.3),
                       "vibrato": rng.uniform(0.15, 0.6), "vib_hz": rng.uniform(4.0, 7.0)}
    if role == "sustain":
        if rng.random() < 0.5:
            bars = [(0.5, rng.uniform(0, 0.6)), (1, 1.0), (2, rng.uniform(0.2, 0.8)),
                    (3, rng.uniform(0, 0.5)), (4, rng.uniform(0, 0.5)), (6, rng.uniform(0, 0.3)),
                    (8, rng.uniform(0, 0.3))]
            return "organ", {"drawbars": bars, "trem": rng.uniform(0, 0.15), "trem_hz": rng.uniform(4, 7)}
        return "pad", {"detune": rng.uniform(-14, 14, 3), "cutoff": rng.uniform(700, 3000),
                       "attack": rng.uniform(0.2, 1.0), "release": rng.uniform(0.4, 1.5)}
    kind = rng.choice(["pluck", "bell", "sub"])     # arpeggios, pulses, extras
    if kind == "pluck":
        return "pluck", {"ring": 0.4, "decay": rng.uniform(0.5, 2.5), "bright": rng.uniform(0.4, 1.0)}
    if kind == "bell":
        return "bell", {"ratio": float(rng.choice([1.4, 2.0, 3.5, 1.0, 2.76])), "index": rng.uniform(1, 5),
                        "itau": rng.uniform(0.1, 0.6), "tau": rng.uniform(0.3, 1.2), "ring": 0.8}
    return "sub", {"shape": str(rng.choice(["saw", "square"])), "cutoff": rng.uniform(600, 2000),
                   "env_amt": rng.uniform(2, 6), "fenv_tau": rng.uniform(0.03, 0.15),
                   "attack": 0.003, "sustain": 0.3, "release": 0.1}


def make_synth_music(rng, pre):
    h = Harmony(rng)
    bpm = float(rng.uniform(60, 160))
    spb = 60.0 / bpm
    total_sec = pre + CLIP_SECONDS
    total_n = int(total_sec * SR)
    total_beats = total_sec / spb
    parts, desc = compose(rng, h, total_beats, (54, 77))    # lead fundamentals 185-698 Hz
    bus = np.zeros((2, total_n))
    for name, part in parts.items():
        buf = np.zeros(total_n)
        centre_p = 0.5 if name in ("drums", "bass", "lead") else 0.15
        if name == "drums":
            kit = synth_kit(rng)
            for t, kind, vel in part:
                sample = kit[kind][rng.integers(3)]
                add_at(buf, sample * (vel / 127.0) ** 1.5, int(t * spb * SR))
        else:
            if name in ("chords", "extra"):
                style, notes = part
                role = "sustain" if style == "sustain" else "other"
            else:
                notes, role = part, name
            kind, params = voice_params(rng, role)
            for t, d, p, v in notes:
                start = int(t * spb * SR)
                if start >= total_n:
                    continue
                add_at(buf, synth_voice(rng, kind, p, d * spb, v, params), start)
        buf = normalise_rms(buf) * db_to_gain(rng.uniform(-6, 0) + (2 if name in ("lead", "drums") else 0))
        if rng.random() < centre_p:
            bus += centred(buf) / np.sqrt(2.0)
        else:
            bus += panned(buf, rng.uniform(-0.8, 0.8))
    if rng.random() < 0.8:
        ir = reverb_ir(rng, rng.uniform(0.6, 2.5), rng.uniform(0.005, 0.03), rng.uniform(2500, 8000))
        bus = bus + db_to_gain(rng.uniform(-16, -4)) * convolve(bus, ir)
    out = bus[:, int(pre * SR):int(pre * SR) + N]
    if out.shape[1] < N:
        out = np.pad(out, ((0, 0), (0, N - out.shape[1])))
    return out, "synth %s %dbpm %s" % (h.mode, bpm, desc)


def shape_music(rng, x):
    """Film cues start and stop: sometimes fade the music in or out inside the clip."""
    r = rng.random()
    if r < 0.12:
        t0 = int(rng.uniform(0.5, 6.0) * SR)
        x[:, :t0] = 0.0
        fade(x[:, t0:], rng.uniform(0.3, 3.0), 0.0)
    elif r < 0.24:
        t1 = int(rng.uniform(4.0, 9.5) * SR)
        x[:, t1:] = 0.0
        fade(x[:, :t1], 0.0, rng.uniform(0.5, 3.0))
    elif r < 0.34:
        x *= np.linspace(db_to_gain(rng.uniform(-12, 0)), db_to_gain(rng.uniform(-12, 0)), N)
    return x


def make_music(rng, tmp):
    if rng.random() < 0.08:
        return None, "none"
    pre = rng.uniform(0.0, 3.0)
    if rng.random() < 0.6:
        x, label = make_midi_music(rng, tmp, pre)
    else:
        x, label = make_synth_music(rng, pre)
    return shape_music(rng, x), label


# ---------------------------------------------------------------------------
# Effects
# ---------------------------------------------------------------------------

def impulses(rng, n, rate_hz, amp_lo=0.3, amp_hi=1.0):
    """Sparse random impulse train (Poisson arrivals) with random amplitudes."""
    count = rng.poisson(rate_hz * n / SR)
    x = np.zeros(n)
    if count:
        pos = rng.integers(0, n, count)
        np.add.at(x, pos, rng.uniform(amp_lo, amp_hi, count) * rng.choice([-1.0, 1.0], count))
    return x


def fx_footsteps(rng):
    surface = rng.choice(["wood", "concrete", "gravel", "grass", "metal", "tile", "snow"])
    cutoff = {"wood": (600, 1500), "concrete": (1500, 4000), "gravel": (2000, 6000), "grass": (800, 2500),
              "metal": (1000, 3000), "tile": (2500, 6000), "snow": (400, 1200)}[surface]
    cutoff = rng.uniform(*cutoff)
    interval = rng.uniform(0.28, 0.36) if rng.random() < 0.15 else rng.uniform(0.42, 0.7)
    steps = int(rng.integers(3, 15))
    n = int((steps * interval + 0.6) * SR)
    noise_part = np.zeros(n)
    thump = np.zeros(n)
    tau = rng.uniform(0.015, 0.06) * (2.5 if surface in ("gravel", "snow") else 1.0)
    f_thump = rng.uniform(50, 110)
    for i in range(steps):
        t0 = int((i * interval + rng.normal(0, 0.02) + 0.05) * SR)
        level = db_to_gain(rng.normal(0, 2.0) + (1.5 if i % 2 else 0.0))
        for j, (off, lvl) in enumerate(((0.0, 1.0), (rng.uniform(0.03, 0.09), rng.uniform(0.3, 0.7)))):
            m = int(tau * 6 * SR)
            burst = rng.standard_normal(m) * exp_env(m, tau, 0.002)
            if surface in ("gravel", "snow"):
                burst *= (rng.random(m) < 0.15)
            add_at(noise_part, burst * level * lvl, t0 + int(off * SR))
            if j == 0:
                m2 = int(0.12 * SR)
                add_at(thump, np.sin(TWO_PI * f_thump * seconds(m2)) * exp_env(m2, 0.025, 0.002) * level, t0)
    stages = [("lp2", cutoff, 0.8), ("hp1", 80)]
    if surface == "metal":
        stages.append(("peak", rng.uniform(400, 1200), 8.0, 12.0))
    x = normalise_rms(filt(noise_part, *stages)) + rng.uniform(0.2, 1.0) * normalise_rms(thump)
    return x


def fx_impact(rng):
    kind = rng.choice(["door", "knock", "thud", "crash", "glass"])
    if kind == "knock":
        count = int(rng.integers(2, 5))
        gap = rng.uniform(0.12, 0.3)
        n = int((count * gap + 0.4) * SR)
        x = np.zeros(n)
        fc, ft = rng.uniform(300, 1200), rng.uniform(120, 350)
        for i in range(count):
            m = int(0.2 * SR)
            hit = filt(rng.standard_normal(m) * exp_env(m, rng.uniform(0.008, 0.02)), ("bp", fc, 2.0))
            hit = normalise_rms(hit) + 0.7 * normalise_rms(np.sin(TWO_PI * ft * seconds(m)) * exp_env(m, 0.04, 0.001))
            add_at(x, hit * db_to_gain(rng.normal(0, 1.5)), int((0.02 + i * gap + rng.normal(0, 0.01)) * SR))
        return x
    if kind == "glass":
        n = int(rng.uniform(1.0, 2.0) * SR)
        k = int(rng.integers(10, 30))
        x = partials(rng.uniform(2000, 9000, k), rng.uniform(0.2, 1.0, k), rng.uniform(0.05, 0.6, k), n)
        x = normalise_rms(x) + normalise_rms(filt(rng.standard_normal(n) * exp_env(n, 0.01), ("hp2", 3000, 0.7)))
        for _ in range(rng.integers(3, 12)):      # falling shards
            m = int(0.3 * SR)
            kk = 4
            shard = partials(rng.uniform(3000, 10000, kk), np.ones(kk), rng.uniform(0.02, 0.1, kk), m)
            add_at(x, shard * rng.uniform(0.2, 1.0), int(rng.uniform(0.05, 0.8) * n))
        return x
    # door slam, thud, crash: low decaying tone plus filtered noise
    n = int(rng.uniform(0.6, 1.6) * SR)
    t = seconds(n)
    f0 = rng.uniform(40, 100)
    tone = np.sin(TWO_PI * f0 * t) * exp_env(n, rng.uniform(0.08, 0.25), 0.001)
    burst = filt(rng.standard_normal(n) * exp_env(n, rng.uniform(0.03, 0.12), 0.0005),
                 ("lp2", rng.uniform(600, 3000) if kind != "thud" else rng.uniform(200, 500), 0.8))
    x = normalise_rms(tone) * rng.uniform(0.5, 1.2) + normalise_rms(burst)
    if kind == "door":
        for _ in range(rng.integers(1, 4)):      # latch and frame rattle
            m = int(0.08 * SR)
            rattle = filt(rng.standard_normal(m) * exp_env(m, 0.01), ("bp", rng.uniform(1500, 4000), 3.0))
            add_at(x, normalise_rms(rattle) * 0.5, int(rng.uniform(0.015, 0.1) * SR))
    if kind == "crash":
        for _ in range(rng.integers(5, 20)):
            m = int(0.3 * SR)
            frag = filt(rng.standard_normal(m) * exp_env(m, rng.uniform(0.01, 0.06)),
                        ("bp", rng.uniform(500, 6000), 1.5))
            add_at(x, normalise_rms(frag) * rng.uniform(0.2, 0.9), int(rng.uniform(0.0, 0.7) * n))
        if rng.random() < 0.5:
            x += 0.5 * fx_impact_glass_tail(rng, n)
    tail = filt(rng.standard_normal(n) * exp_env(n, rng.uniform(0.08, 0.25)), ("lp1", 2000))
    return x + db_to_gain(rng.uniform(-22, -12)) * normalise_rms(tail)


def fx_impact_glass_tail(rng, n):
    k = 12
    return normalise_rms(partials(rng.uniform(2500, 9000, k), rng.uniform(0.2, 1.0, k), rng.uniform(0.05, 0.4, k), n))


def fx_vehicle(rng):
    dur = rng.uniform(4.0, 9.0)
    n = int(dur * SR)
    t = seconds(n)
    tc = rng.uniform(0.35, 0.65) * dur
    speed = rng.uniform(8.0, 30.0)
    dist = rng.uniform(3.0, 20.0)
    direction = rng.choice([-1.0, 1.0])
    xpos = direction * speed * (t - tc)
    r = np.sqrt(xpos ** 2 + dist ** 2)
    v_radial = speed * speed * (t - tc) / r
    doppler = 343.0 / (343.0 + v_radial)
    f0 = rng.uniform(25.0, 120.0) * (1.0 + 0.05 * smooth_noise(rng, n, 0.5, -1, 1))
    phase = np.cumsum(f0 * doppler) / SR
    engine = np.zeros(n)
    k_max = int(min(24, 2500.0 / f0.mean()))
    tilt = rng.uniform(0.6, 1.4)
    for k in range(1, k_max + 1):
        engine += rng.uniform(0.3, 1.0) / k ** tilt * np.sin(TWO_PI * k * phase + rng.uniform(0, TWO_PI))
    tyres = filt(coloured_noise(rng, n, -3.0), ("bp", rng.uniform(400, 1500), 0.6))
    src = normalise_rms(engine) + rng.uniform(0.3, 1.2) * normalise_rms(tyres)
    gain = (dist / r) ** 1.2
    near = filt(src, ("hp1", 1500))           # more top end while close
    x = (src + near * (dist / r) ** 2) * gain
    p = np.clip(xpos / np.sqrt(xpos ** 2 + dist ** 2), -1, 1) * 0.95
    gl, gr = pan_gains(p)
    return fade(np.stack([x * gl, x * gr]), 0.3, 0.3)


def fx_rain(rng, n):
    bed = np.stack([coloured_noise(rng, n, -1.5) for _ in range(2)])
    bed = filt(bed, ("hp2", rng.uniform(800, 3000), 0.7), ("lp1", rng.uniform(6000, 14000)))
    drops = np.zeros((2, n))
    for c in range(2):
        for _ in range(3):
            m = int(0.03 * SR)
            f = rng.uniform(1500, 5000)
            kernel = np.sin(TWO_PI * f * (1 + 0.5 * seconds(m) / 0.03) * seconds(m)) * exp_env(m, rng.uniform(0.003, 0.012))
            drops[c] += convolve(impulses(rng, n, rng.uniform(10, 80)), kernel)
    return normalise_rms(bed) + rng.uniform(0.2, 0.8) * normalise_rms(drops)


def fx_water(rng, n):
    mod = smooth_noise(rng, n, rng.uniform(2, 8), 0.4, 1.0)
    flow = np.stack([filt(rng.standard_normal(n), ("bp", rng.uniform(300, 1500), 0.8)) * mod for _ in range(2)])
    bubbles = np.zeros((2, n))
    m = int(0.05 * SR)
    for c in range(2):
        for _ in range(3):
            f = rng.uniform(300, 1200)
            ts = seconds(m)
            kernel = np.sin(TWO_PI * f * (1 + 2.0 * ts / 0.05) * ts) * exp_env(m, rng.uniform(0.008, 0.02), 0.002)
            bubbles[c] += convolve(impulses(rng, n, rng.uniform(5, 40)), kernel)
    return normalise_rms(flow) + rng.uniform(0.2, 0.9) * normalise_rms(bubbles)


def fx_wind(rng, n):
    lag = int(0.3 * SR)
    gust = smooth_noise(rng, n + lag, rng.uniform(0.2, 1.0), 0.15, 1.0) ** 1.5
    chans = []
    for c in range(2):
        k = int(rng.integers(0, lag))
        g = gust[k:k + n]
        body = filt(rng.standard_normal(n), ("lp2", rng.uniform(200, 900), 0.7), ("hp1", 40)) * g
        whistle = filt(rng.standard_normal(n), ("bp", rng.uniform(400, 1400), rng.uniform(8, 25))) * g ** 2
        chans.append(normalise_rms(body) + rng.uniform(0.0, 0.6) * normalise_rms(whistle))
    return np.stack(chans)


def fx_room_tone(rng, n):
    chans = [coloured_noise(rng, n, -3.0) for _ in range(2)]
    x = filt(np.stack(chans), ("lp1", rng.uniform(800, 4000)), ("hp1", 40))
    if rng.random() < 0.5:      # a murmuring crowd rather than an empty room
        x = filt(x, ("peak", rng.uniform(400, 1200), 0.7, 8.0))
        x *= smooth_noise(rng, n, rng.uniform(1, 3), 0.6, 1.0)
    return x


def fx_phone(rng):
    f1 = rng.uniform(800, 1700)
    f2 = min(f1 * rng.uniform(1.1, 1.4), 2000.0)
    mod_hz = rng.uniform(15, 25)
    pattern = rng.choice(["double", "long"])
    rings = int(rng.integers(1, 4))
    period = 3.0 if pattern == "double" else 6.0
    n = int((rings * period) * SR)
    t = seconds(n)
    sel = (np.sin(TWO_PI * mod_hz * t) > 0)
    x = np.where(sel, np.sin(TWO_PI * f1 * t), np.sin(TWO_PI * f2 * t))
    x += 0.2 * np.sin(TWO_PI * 3 * f1 * t) * sel
    tm = t % period
    gate = ((tm < 0.4) | ((tm > 0.6) & (tm < 1.0))) if pattern == "double" else (tm < 2.0)
    x = x * smooth_gate(gate, 200.0)
    if rng.random() < 0.5:    # heard through a small speaker
        x = filt(x, ("bp", rng.uniform(1000, 2000), 1.0))
    return x


def fx_alarm(rng):
    kind = rng.choice(["beeper", "two_tone", "klaxon", "clock"])
    n = int(rng.uniform(2.0, 6.0) * SR)
    t = seconds(n)
    if kind == "beeper":
        f = rng.uniform(1000, 3000)
        on = rng.uniform(0.08, 0.3)
        x = osc("square", f, n) * smooth_gate((t % (2 * on)) < on)
    elif kind == "two_tone":
        fa, fb = rng.uniform(600, 1000), rng.uniform(1100, 1800)
        half = rng.uniform(0.25, 0.6)
        sel = smooth_gate((t % (2 * half)) < half, 400.0)
        x = sel * osc("square", fa, n) + (1.0 - sel) * osc("square", fb, n)
    elif kind == "klaxon":
        x = osc("saw", rng.uniform(350, 600), n) * (0.6 + 0.4 * np.sin(TWO_PI * rng.uniform(5, 12) * t))
        x *= smooth_gate((t % 1.2) < 0.8)
    else:
        f = rng.uniform(2000, 4000)
        group = (t % 1.0)
        x = np.sin(TWO_PI * f * t) * smooth_gate(((group % 0.125) < 0.06) & (group < 0.5))
    x = filt(x, ("lp1", rng.uniform(3000, 8000)), ("hp1", 200))
    return fade(x, 0.003, 0.01)


def fx_beeps(rng):
    f = rng.uniform(500, 3000)
    count = int(rng.integers(1, 7))
    on = rng.uniform(0.05, 0.5)
    gap = rng.uniform(0.05, 0.6)
    n = int((count * (on + gap) + 0.1) * SR)
    t = seconds(n)
    gate = ((t % (on + gap)) < on) & (t < count * (on + gap))
    gate = smooth_gate(gate, 300.0)
    shape = "sine" if rng.random() < 0.7 else "tri"
    return osc(shape, f, n) * gate


def fx_siren(rng):
    n = int(rng.uniform(3.0, 9.0) * SR)
    t = seconds(n)
    style = rng.choice(["wail", "yelp", "hilo"])
    lo, hi = rng.uniform(500, 800), rng.uniform(1200, 1700)
    if style == "hilo":
        half = rng.uniform(0.4, 0.7)
        f = np.where((t % (2 * half)) < half, lo, hi * 0.8)
        f = filt(f - f.mean(), ("lp1", 50)) + f.mean()
    else:
        period = rng.uniform(2.0, 6.0) if style == "wail" else rng.uniform(0.2, 0.4)
        f = lo + (hi - lo) * (0.5 - 0.5 * np.cos(TWO_PI * t / period + rng.uniform(0, TWO_PI)))
    phase = np.cumsum(f) / SR
    x = np.sin(TWO_PI * phase) + 0.3 * np.sin(TWO_PI * 3 * phase) + 0.15 * np.sin(TWO_PI * 5 * phase)
    swell = np.linspace(rng.uniform(0.2, 1.0), rng.uniform(0.2, 1.0), n)
    return fade(x * swell, 0.5, 0.5)


def fx_bell(rng):
    kind = rng.choice(["church", "ding", "handbell"])
    if kind == "church":
        f0 = rng.uniform(150, 500)
        ratios = np.array([0.5, 1.0, 1.183, 1.506, 2.0, 2.514, 2.662, 3.011, 4.166, 5.433])
        amps = np.array([0.5, 1.0, 0.8, 0.5, 0.9, 0.4, 0.3, 0.3, 0.2, 0.1])
        decays = rng.uniform(2.0, 5.0) / np.sqrt(ratios)
        strikes, gap = int(rng.integers(1, 4)), rng.uniform(1.5, 3.0)
    else:
        f0 = rng.uniform(1200, 3000) if kind == "ding" else rng.uniform(600, 1500)
        ratios = np.array([1.0, 2.76, 5.40, 8.93])
        amps = np.array([1.0, 0.5, 0.25, 0.1])
        decays = rng.uniform(0.5, 1.5) / ratios ** 0.5
        strikes, gap = int(rng.integers(1, 4)), rng.uniform(0.3, 1.2)
    ring = 4.0 * float(np.max(decays))          # about -35 dB when cut, then faded
    n = int((strikes * gap + ring) * SR)
    m = int(ring * SR)
    tone = partials(f0 * ratios * rng.uniform(0.995, 1.005, ratios.size), amps, decays, m, 0.001)
    tone = fade(tone, 0.0, ring / 4)
    x = np.zeros(n)
    for i in range(strikes):
        add_at(x, tone * db_to_gain(rng.normal(0, 1.5)), int(i * gap * SR))
    return x


def fx_clock(rng, n=None):
    n = n or int(rng.uniform(3.0, 10.0) * SR)
    interval = rng.choice([1.0, 0.5, 1.0 / 3.0])
    m = int(0.05 * SR)
    ticks = []
    for _ in range(2):
        k = filt(rng.standard_normal(m) * exp_env(m, 0.002), ("bp", rng.uniform(1500, 4500), 4.0))
        ticks.append(normalise_rms(k) + 0.5 * normalise_rms(
            np.sin(TWO_PI * rng.uniform(1000, 3000) * seconds(m)) * exp_env(m, 0.008)))
    x = np.zeros(n)
    t0 = rng.uniform(0, interval)
    for i, s in enumerate(np.arange(t0, n / SR, interval)):
        add_at(x, ticks[i % 2] * (1.0 if i % 2 == 0 else rng.uniform(0.6, 0.9)), int(s * SR))
    return x


def fx_birds(rng, n=None):
    n = n or int(rng.uniform(2.0, 8.0) * SR)
    x = np.zeros(n)
    for _ in range(rng.integers(1, 4)):
        fc = rng.uniform(2000, 6000)
        dev = rng.uniform(200, 1500)
        fm = rng.uniform(20, 80)
        sweep = rng.uniform(-1500, 1500)
        chirp_len = rng.uniform(0.03, 0.15)
        t = rng.uniform(0, 1.0)
        while t < n / SR:
            for _ in range(rng.integers(3, 12)):
                m = int(chirp_len * rng.uniform(0.7, 1.3) * SR)
                ts = seconds(m)
                f = np.clip(fc + sweep * ts / chirp_len + dev * np.sin(TWO_PI * fm * ts), 1500, 9000)
                env = np.sin(np.pi * np.arange(m) / m) ** 2
                add_at(x, np.sin(TWO_PI * np.cumsum(f) / SR) * env * rng.uniform(0.4, 1.0), int(t * SR))
                t += m / SR + rng.uniform(0.03, 0.15)
            t += rng.uniform(0.5, 3.0)
    return x


def fx_typing(rng):
    n = int(rng.uniform(2.0, 7.0) * SR)
    m = int(0.06 * SR)
    kernels = []
    for _ in range(4):
        k = filt(rng.standard_normal(m) * exp_env(m, rng.uniform(0.002, 0.006)), ("bp", rng.uniform(1500, 5000), 1.5))
        thock = np.sin(TWO_PI * rng.uniform(150, 350) * seconds(m)) * exp_env(m, 0.01)
        kernels.append(normalise_rms(k) + 0.4 * normalise_rms(thock))
    x = np.zeros(n)
    t = 0.02
    mean_gap = rng.uniform(0.1, 0.2)
    mouse = rng.random() < 0.25
    while t < n / SR:
        k = kernels[rng.integers(4)] * rng.uniform(0.5, 1.0)
        add_at(x, k, int(t * SR))
        add_at(x, kernels[rng.integers(4)] * 0.3, int((t + rng.uniform(0.03, 0.08)) * SR))   # key release
        if mouse:
            t += rng.uniform(0.3, 1.5)
        else:
            t += rng.gamma(2.0, mean_gap / 2.0) + (rng.uniform(0.3, 1.0) if rng.random() < 0.08 else 0.0)
    return x


def fx_gunshot(rng):
    shots = 1 if rng.random() < 0.5 else int(rng.integers(2, 12))
    gap = rng.uniform(0.07, 0.12) if shots > 4 else rng.uniform(0.3, 1.0)
    tail_rt = rng.uniform(0.8, 2.5)
    n = int((shots * gap + tail_rt + 0.2) * SR)
    m = int(0.4 * SR)
    dry = np.zeros(n)
    for i in range(shots):
        crack = rng.standard_normal(m) * exp_env(m, rng.uniform(0.008, 0.03), 0.0003)
        crack = filt(crack, ("hp1", rng.uniform(100, 400)))
        boom = np.sin(TWO_PI * rng.uniform(40, 80) * seconds(m)) * exp_env(m, 0.12, 0.001)
        add_at(dry, normalise_rms(crack) + 0.6 * normalise_rms(boom), int((0.01 + i * gap) * SR))
    p = rng.uniform(-1, 1) * (rng.random() < 0.6)
    out = panned(dry, p) * np.sqrt(2.0)
    ir = reverb_ir(rng, tail_rt, rng.uniform(0.02, 0.2), rng.uniform(1000, 3000))
    return out + db_to_gain(rng.uniform(-6, 0)) * convolve(dry[None, :], ir)


def fx_hum(rng, n):
    f0 = rng.choice([50.0, 60.0]) if rng.random() < 0.4 else rng.uniform(40, 120)
    wob = 1.0 + 0.003 * smooth_noise(rng, n, 0.3, -1, 1)
    phase = np.cumsum(f0 * wob) / SR
    x = np.zeros(n)
    for k in range(1, 9):
        x += rng.uniform(0.1, 1.0) / k * np.sin(TWO_PI * k * phase + rng.uniform(0, TWO_PI))
    noise = filt(rng.standard_normal(n), ("lp1", rng.uniform(200, 800)))
    x = normalise_rms(x) + rng.uniform(0.1, 0.7) * normalise_rms(noise)
    return centred(x) if rng.random() < 0.5 else decorrelated(rng, x)


def fx_fire(rng, n):
    rumble = np.stack([filt(coloured_noise(rng, n, -6.0), ("lp1", 300)) for _ in range(2)])
    rumble *= smooth_noise(rng, n, 2.0, 0.5, 1.0)
    crackle = np.zeros((2, n))
    for c in range(2):
        count = rng.poisson(rng.uniform(5, 40) * n / SR)
        pos = rng.integers(0, n, count)
        amp = np.minimum(rng.pareto(2.0, count) + 0.1, 5.0) * rng.choice([-1.0, 1.0], count)
        np.add.at(crackle[c], pos, amp)
    m = int(0.01 * SR)
    kernel = rng.standard_normal(m) * exp_env(m, 0.0015)
    crackle = filt(convolve(crackle, kernel), ("hp2", rng.uniform(1000, 3000), 0.7))
    return normalise_rms(rumble) + rng.uniform(0.4, 1.2) * normalise_rms(crackle)


BED_KINDS = ("rain", "wind", "room", "hum", "fire", "water", "clock", "birds")
EVENT_KINDS = ("footsteps", "impact", "impact", "vehicle", "rain", "water", "wind", "phone", "alarm",
               "beeps", "siren", "bell", "clock", "birds", "typing", "gunshot", "hum", "fire", "room")


def make_fx_source(rng, kind, n=None):
    """A mono (placed later) or stereo effect; n gives the length of bed-like sounds."""
    n_bed = n or int(rng.uniform(2.0, 8.0) * SR)
    if kind == "footsteps":
        return fx_footsteps(rng)
    if kind == "impact":
        return fx_impact(rng)
    if kind == "vehicle":
        return fx_vehicle(rng)
    if kind == "rain":
        return fx_rain(rng, n_bed)
    if kind == "water":
        return fx_water(rng, n_bed)
    if kind == "wind":
        return fx_wind(rng, n_bed)
    if kind == "room":
        return fx_room_tone(rng, n_bed)
    if kind == "phone":
        return fx_phone(rng)
    if kind == "alarm":
        return fx_alarm(rng)
    if kind == "beeps":
        return fx_beeps(rng)
    if kind == "siren":
        return fx_siren(rng)
    if kind == "bell":
        return fx_bell(rng)
    if kind == "clock":
        return fx_clock(rng, n)
    if kind == "birds":
        return fx_birds(rng, n)
    if kind == "typing":
        return fx_typing(rng)
    if kind == "gunshot":
        return fx_gunshot(rng)
    if kind == "hum":
        return fx_hum(rng, n_bed)
    if kind == "fire":
        return fx_fire(rng, n_bed)
    raise ValueError(kind)


def make_effects(rng, required=False):
    if rng.random() < 0.06 and not required:
        return None, "none"
    out = np.zeros((2, N))
    labels = []
    n_events = int(rng.choice(6, p=(0.1, 0.2, 0.25, 0.2, 0.15, 0.1)))
    with_bed = rng.random() < 0.55 or n_events == 0
    if with_bed:
        kind = BED_KINDS[rng.integers(len(BED_KINDS))]
        x = make_fx_source(rng, kind, N + SR)
        if x.ndim == 1:
            x = place(rng, x, (0.2, 0.2, 0.0, 0.6))
        x = normalise_rms(x) * db_to_gain(rng.uniform(-18, -4))
        x = fade(x[:, :N].copy(), rng.uniform(0, 2) * (rng.random() < 0.3), rng.uniform(0, 2) * (rng.random() < 0.3))
        out += x
        labels.append("bed:" + kind)
    for _ in range(n_events):
        kind = EVENT_KINDS[rng.integers(len(EVENT_KINDS))]
        x = make_fx_source(rng, kind)
        if x.ndim == 1:
            x = place(rng, x)
        x = normalise_rms(x) * db_to_gain(rng.uniform(-12, 0))
        if kind in BED_KINDS:
            x = fade(x, rng.uniform(0.2, 1.5), rng.uniform(0.2, 1.5))
        else:
            x = fade(x, 0.002, 0.05)
        length = x.shape[1] / SR
        start = rng.uniform(-0.4 * length, CLIP_SECONDS - 0.3)
        add_at(out, x, int(start * SR))
        labels.append(kind)
    return out, "+".join(labels)


# ---------------------------------------------------------------------------
# One clip
# ---------------------------------------------------------------------------

def render_clip(seed, index, tmp_root):
    """Return (stems float32 (3, 2, N), info dict) for clip `index`."""
    ss = np.random.SeedSequence([seed, index])
    rng_dlg, rng_mus, rng_fx, rng_lvl = [np.random.Generator(np.random.PCG64(s)) for s in ss.spawn(4)]
    tmp = os.path.join(tmp_root, "clip-%05d" % index)
    os.makedirs(tmp, exist_ok=True)
    try:
        dialogue, d_label = make_dialogue(rng_dlg, tmp)
        music, m_label = make_music(rng_mus, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    # A clip with no dialogue and no music always gets effects, so that no mix is silent.
    effects, e_label = make_effects(rng_fx, required=dialogue is None and music is None)

    d_db = rng_lvl.uniform(-30.0, -16.0)
    m_rel = rng_lvl.uniform(-15.0, 4.0)
    e_rel = rng_lvl.uniform(-15.0, 4.0)
    stems = np.zeros((3, 2, N))
    for i, x in enumerate((dialogue, music, effects)):
        if x is not None and rms(x) < 1e-7:
            x = None        # nothing audible survived the crop
        if i == 0 and x is None:
            d_label = "none"
        if x is None:
            continue
        ref = d_db if dialogue is not None and d_label != "none" else -22.0
        target = (d_db, ref + m_rel, ref + e_rel)[i]
        stems[i] = x * (db_to_gain(target) / rms(x))
    peak = np.max(np.abs(stems.sum(axis=0)))
    if peak > 0.98:
        stems *= 0.98 / peak * (1.0 - 1e-6)     # a hair under, so float32 rounding stays below
    info = {"dialogue": d_label, "music": m_label, "effects": e_label}
    return stems.astype(np.float32), info


def _work(job):
    seed, index, out_dir, tmp_root = job
    stems, info = render_clip(seed, index, tmp_root)
    path = os.path.join(out_dir, "clip-%05d.npy" % index)
    part = path + ".part"
    with open(part, "wb") as f:
        np.save(f, stems)
    os.replace(part, path)
    return index, info


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, help="directory for clip-NNNNN.npy files")
    ap.add_argument("--clips", type=int, required=True, help="number of clips")
    ap.add_argument("--seed", type=int, default=0, help="dataset seed (>= 0)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="worker processes")
    ap.add_argument("--verbose", action="store_true", help="print what each clip contains")
    args = ap.parse_args(argv)
    if args.seed < 0 or args.clips < 0:
        ap.error("--seed and --clips must be >= 0")
    for tool in ("espeak-ng", "text2wave", "fluidsynth", "sox"):
        if shutil.which(tool) is None:
            sys.exit("make_data: %s is not installed" % tool)
    if not os.path.exists(SOUNDFONT):
        sys.exit("make_data: %s is missing" % SOUNDFONT)

    os.makedirs(args.out, exist_ok=True)
    tmp_root = tempfile.mkdtemp(prefix="make_data-")
    jobs = [(args.seed, i, args.out, tmp_root) for i in range(args.clips)]
    began = time.time()
    step = max(1, args.clips // 10)
    done = 0
    counts = {"dialogue": 0, "music-midi": 0, "music-synth": 0, "effects": 0}
    try:
        if args.jobs <= 1:
            results = map(_work, jobs)
            pool = None
        else:
            pool = multiprocessing.Pool(args.jobs)
            results = pool.imap_unordered(_work, jobs)
        for index, info in results:
            done += 1
            counts["dialogue"] += info["dialogue"] != "none"
            counts["music-midi"] += info["music"].startswith("midi")
            counts["music-synth"] += info["music"].startswith("synth")
            counts["effects"] += info["effects"] != "none"
            if args.verbose:
                print("clip-%05d  dialogue: %s | music: %s | effects: %s"
                      % (index, info["dialogue"], info["music"], info["effects"]), flush=True)
            elif done % step == 0 or done == args.clips:
                el = time.time() - began
                print("%d/%d clips, %.0f s elapsed, about %.0f s left"
                      % (done, args.clips, el, el / done * (args.clips - done)), flush=True)
        if pool is not None:
            pool.close()
            pool.join()
    finally:
        if args.jobs > 1 and "pool" in locals() and pool is not None:
            pool.terminate()
        shutil.rmtree(tmp_root, ignore_errors=True)
    print("wrote %d clips to %s in %.1f s (with dialogue %d, MIDI music %d, synth music %d, effects %d)"
          % (args.clips, args.out, time.time() - began, counts["dialogue"], counts["music-midi"],
             counts["music-synth"], counts["effects"]))


if __name__ == "__main__":
    main()
