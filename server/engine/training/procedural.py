"""Effects made from their parameters, for the kinds the recordings hold too little of.

render(kind, rng, voices=None) gives one recording (2, n) float64 at 44.1 kHz: a bed of 30 s
("sea", "rain", "traffic", "crowd") or one event ("vehicle", "explosion", "thunder", "door",
"impact"). Every parameter is drawn from rng (distance, sizes, rates, surfaces, rooms, speeds), so
no two recordings are alike. "crowd" mixes many voices (voices(rng) gives a mono line) at a
distance, pitched up or down so that they are not the speakers themselves.
"""

import numpy as np
import scipy.fft
import scipy.signal

SR = 44100
SPEED_OF_SOUND = 343.0
BEDS = ("sea", "rain", "traffic", "crowd")
EVENTS = ("vehicle", "explosion", "thunder", "door", "impact")
BED_SECONDS = 30.0
VERSIONS = {"bed": 3, "event": 2}  # of the recipes: pools made by another are made again


def db(x):
    return 10.0 ** (x / 20.0)


def shaped_noise(rng, n, shape, channels=2, common=0.0):
    """Gaussian noise (channels, n) with the amplitude spectrum shape(f), unit RMS per channel;
    `common` of its power shared by the channels."""
    nfft = scipy.fft.next_fast_len(n)
    x = rng.standard_normal((channels, nfft))
    if common:
        x = np.sqrt(1 - common) * x + np.sqrt(common) * rng.standard_normal(nfft)
    f = np.maximum(np.fft.rfftfreq(nfft, 1 / SR), 1.0)
    y = scipy.fft.irfft(scipy.fft.rfft(x, axis=-1) * shape(f), nfft, axis=-1)[:, :n]
    return y / (np.sqrt(np.mean(y ** 2, axis=-1, keepdims=True)) + 1e-12)


def band(lo, hi, order=2, tilt=0.0):
    """An amplitude response: a band from lo to hi Hz of the given order, tilted by dB per octave."""
    return lambda f: (1 / np.sqrt(1 + (lo / f) ** (2 * order)) / np.sqrt(1 + (f / hi) ** (2 * order))
                      * (f / 1000.0) ** (tilt / 6.02))


def filtered(x, shape):
    """x (..., n) through the amplitude response shape(f), zero phase."""
    n = x.shape[-1]
    nfft = scipy.fft.next_fast_len(n + 4096)
    f = np.maximum(np.fft.rfftfreq(nfft, 1 / SR), 1.0)
    return scipy.fft.irfft(scipy.fft.rfft(x, nfft, axis=-1) * shape(f), nfft, axis=-1)[..., :n]


def slow_curve(rng, n, hz, lo, hi):
    """A smooth random curve between lo and hi, changing about hz times a second."""
    points = max(2, int(n / SR * hz) + 2)
    return np.interp(np.arange(n), np.linspace(0, n, points), rng.uniform(lo, hi, points))


def pan_gains(p):
    theta = (np.clip(p, -1, 1) + 1) * np.pi / 4
    return np.stack([np.cos(theta), np.sin(theta)])


def modes(rng, n, freqs, decays, amps=None):
    """A struck body: decaying sines, with random phases (n,)."""
    t = np.arange(n) / SR
    amps = np.ones(len(freqs)) if amps is None else amps
    out = np.zeros(n)
    for f, d, a in zip(freqs, decays, amps):
        if f < SR / 2.2:
            out += a * np.sin(2 * np.pi * f * t + rng.uniform(0, 2 * np.pi)) * np.exp(-t / d)
    return out


def burst(rng, n, attack, decay, shape):
    """A noise burst (n,): attack and exponential decay in seconds, spectrum shape."""
    t = np.arange(n) / SR
    env = np.minimum(t / max(attack, 1e-4), 1.0) * np.exp(-t / decay)
    return shaped_noise(rng, n, shape, 1)[0] * env


def room(rng, rt60, wet, n_early=8):
    """A stereo room's response (2, m) with the direct sound: early reflections, then a diffuse tail
    whose highs die sooner."""
    m = int(rt60 * SR)
    t = np.arange(m) / SR
    tail = rng.standard_normal((2, m)) * np.exp(-6.9 * t / rt60)
    damp = np.exp(-2 * np.pi * rng.uniform(2000, 7000) / SR)
    tail = scipy.signal.lfilter([1 - damp], [1, -damp], tail)
    tail[:, :int(rng.uniform(0.008, 0.03) * SR)] = 0
    for c in range(2):
        at = rng.integers(int(0.002 * SR), int(0.035 * SR), n_early)
        tail[c, at] += rng.uniform(-0.7, 0.7, n_early) * np.sqrt(np.sum(tail[c] ** 2) / 4)
    tail *= wet / np.sqrt(np.mean(np.sum(tail ** 2, axis=1)))
    tail[:, 0] += 1.0
    return tail


def through(x, ir):
    """Mono (n,) or stereo (2, n) through a stereo response: (2, n + len(ir) - 1)."""
    x = np.atleast_2d(x)
    return scipy.signal.fftconvolve(x, ir, axes=-1)


def placed(x, p):
    """Mono (n,) at a place, or along a path of places (n,), in the stereo picture."""
    return pan_gains(np.broadcast_to(p, np.shape(x))) * x


# --- beds ---

def sea(rng, n):
    """Surf: waves breaking every 5-14 s (a rising roar, the crash, then the hiss of the wash
    running back), over the low roar of the sea; farther seas are darker and steadier."""
    far = rng.uniform(0, 1)
    top = 9000 * (1 - far) + 1200 * far
    roar = shaped_noise(rng, n, band(rng.uniform(60, 150), rng.uniform(400, 1200), 2, -1), common=0.5)
    crash = shaped_noise(rng, n, band(rng.uniform(100, 250), top, 2, rng.uniform(-2, 0)), common=0.3)
    wash = shaped_noise(rng, n, band(700, top * 1.3, 2, 0.0), common=0.1)
    wash *= 1 + 0.8 * np.abs(shaped_noise(rng, n, band(5, 60, 1), 1))  # bubbling
    crash_env, wash_env = np.zeros((2, n)), np.zeros((2, n))
    t = np.arange(n) / SR
    period = rng.uniform(5, 12)
    at = -rng.uniform(0, period)
    while at < n / SR:
        rise, fall, run = rng.uniform(0.8, 2.5), rng.uniform(0.4, 1.5), rng.uniform(2, 5)
        strength = rng.uniform(0.4, 1.0)
        gains = pan_gains(rng.uniform(-0.6, 0.6))[:, None]
        d = t - at
        env = np.where(d < 0, np.exp(d / rise * 3), np.exp(-d / fall))
        crash_env += strength * gains * env
        wash_env += strength * gains * np.clip(d / 0.4, 0, 1) * np.exp(-np.maximum(d, 0) / run) * (d > 0)
        at += period * rng.uniform(0.6, 1.4)
    steady = 0.05 + 0.3 * far
    return (db(rng.uniform(-20, -8)) * roar + crash * (steady + (1 - steady) * crash_env) * db(rng.uniform(-4, 0))
            + wash * wash_env * db(rng.uniform(-8, 0)) * (1 - far))


def rain(rng, n):
    """Rain on one to three surfaces (leaves or pavement, a metal roof, glass, puddles): drops at
    100-6000 a second, each ringing its surface, over the hiss of the rain farther off; gusts
    raise and lower the rate."""
    rate = 10 ** rng.uniform(2.0, 3.8)
    gust = slow_curve(rng, n, rng.uniform(0.05, 0.4), 1 - rng.uniform(0, 0.8), 1.0)
    out = np.zeros((2, n))
    surfaces = rng.choice(["soft", "metal", "glass", "puddle"], size=rng.integers(1, 4), replace=False)
    for surface in surfaces:
        kernels = []
        for _ in range(6):
            m = int(0.08 * SR)
            if surface == "soft":
                k = burst(rng, m, 0.0005, rng.uniform(0.002, 0.008), band(rng.uniform(200, 800), rng.uniform(1500, 6000)))
            elif surface == "metal":
                k = modes(rng, m, rng.uniform(400, 4000, 4), rng.uniform(0.01, 0.06, 4), rng.uniform(0.2, 1, 4))
            elif surface == "glass":
                k = modes(rng, m, rng.uniform(2500, 9000, 3), rng.uniform(0.003, 0.015, 3)) + \
                    burst(rng, m, 0.0002, 0.001, band(3000, 16000))
            else:  # a bubble: a sine that rises as it dies
                t = np.arange(m) / SR
                f0 = rng.uniform(800, 4000)
                k = np.sin(2 * np.pi * np.cumsum(f0 * (1 + rng.uniform(0.5, 3) * t / 0.02)) / SR) * np.exp(-t / rng.uniform(0.005, 0.02))
            kernels.append(k / (np.abs(k).max() + 1e-12))
        share = rng.uniform(0.2, 1.0)
        drops = rng.random((2, n)) < rate * share / len(surfaces) / SR * gust
        amp = np.where(drops, rng.lognormal(0, 0.7, (2, n)), 0.0)
        which = rng.integers(0, len(kernels), (2, n))
        for i, k in enumerate(kernels):
            out += scipy.signal.fftconvolve(np.where(which == i, amp, 0.0), k[None], axes=-1)[:, :n]
    out /= np.sqrt(np.mean(out ** 2)) + 1e-12
    hiss = shaped_noise(rng, n, band(rng.uniform(60, 300), rng.uniform(2000, 8000), 1, rng.uniform(-4, -2)), common=0.2)
    return out + hiss * gust * db(rng.uniform(-6, 6))


def traffic(rng, n):
    """A road or a city: the low roar of distant traffic, cars and lorries passing near and far
    (each with its engine and tyres, the Doppler of its speed), now and then a far horn, all in a
    street's echo."""
    roar = shaped_noise(rng, n, band(30, rng.uniform(500, 1500), 1, rng.uniform(-3, -1)), common=0.6)
    out = roar * db(rng.uniform(-20, -8))
    per_minute = rng.uniform(4, 40)
    at = rng.uniform(-6, 0)
    while at < n / SR:
        x = vehicle(rng, distance=rng.uniform(6, 60))
        start = int(at * SR)
        a, b = max(start, 0), min(start + x.shape[1], n)
        if b > a:
            out[:, a:b] += x[:, a - start:b - start] * 4 * db(rng.uniform(-6, 6))  # as heard from 4 m
        at += rng.exponential(60 / per_minute)
    for _ in range(rng.poisson(n / SR / 20)):
        m = int(rng.uniform(0.15, 0.9) * SR)
        t = np.arange(m) / SR
        f = rng.uniform(300, 520)
        tone = np.sign(np.sin(2 * np.pi * f * t)) + np.sign(np.sin(2 * np.pi * f * rng.uniform(1.18, 1.3) * t))
        tone = filtered(tone * np.minimum(1, np.minimum(t, t[-1] - t) / 0.01), band(200, rng.uniform(1500, 3000)))
        start = rng.integers(0, max(1, n - m))
        out[:, start:start + m] += placed(tone, rng.uniform(-1, 1)) * 0.3 * db(rng.uniform(-12, 0))
    return through(out, room(rng, rng.uniform(0.6, 1.8), rng.uniform(0.1, 0.4)))[:, :n]


def crowd(rng, n, voices):
    """Walla: 12-40 people talking at once, each a voice pitched up or down by up to a fifth and
    placed somewhere in a room (a restaurant, a hall, a street), far from the listener."""
    out = np.zeros((2, n))
    for _ in range(rng.integers(4, 33)):
        ratio = 2 ** rng.uniform(-0.4, 0.35)
        talk = np.zeros(n)
        at = int(rng.uniform(-1, 2) * SR)
        while at < n:
            line = voices(rng)
            line = np.interp(np.arange(0, len(line) - 1, ratio), np.arange(len(line)), line)
            line /= np.sqrt(np.mean(line ** 2)) + 1e-9
            a, b = max(at, 0), min(at + len(line), n)
            if b > a:
                talk[a:b] += line[a - at:b - at] * db(rng.uniform(-4, 4))
            at += len(line) + int(rng.uniform(0.05, 1.2) * SR)
        out += placed(talk, rng.uniform(-1, 1)) * db(rng.uniform(-12, 0))
    out *= db(slow_curve(rng, n, 0.3, -rng.uniform(3, 12), 0))  # the crowd swells and settles
    out = through(out, room(rng, rng.uniform(0.6, 2.0), rng.uniform(1, 3)))[:, :n]
    # The room's own noise and the clatter of cups and cutlery.
    out += shaped_noise(rng, n, band(30, 3000, 1, -1)) * db(rng.uniform(-16, -6)) * np.sqrt(np.mean(out ** 2))
    clinks = np.where(rng.random((2, n)) < rng.uniform(3, 30) / SR, rng.lognormal(0, 0.8, (2, n)), 0.0)
    clink = modes(rng, int(0.05 * SR), rng.uniform(2000, 6000, 3), rng.uniform(0.005, 0.02, 3))
    out += scipy.signal.fftconvolve(clinks, clink[None], axes=-1)[:, :n] * db(rng.uniform(-30, -14)) * np.sqrt(np.mean(out ** 2))
    return filtered(out, band(rng.uniform(40, 150), rng.uniform(3000, 7000), 1, rng.uniform(1.5, 3.5)))


# --- events ---

def engine(rng, n, kind):
    """An engine's sound at the source (n,): firing pulses at the engine's rate, which rises and
    falls (gear changes), through the body's resonances, with tyre and wind noise."""
    if kind == "lorry":
        f0, cyl, sharp = rng.uniform(12, 30), 6, rng.uniform(3, 6)
    elif kind == "motorbike":
        f0, cyl, sharp = rng.uniform(40, 130), 2, rng.uniform(6, 14)
    else:
        f0, cyl, sharp = rng.uniform(20, 70), 4, rng.uniform(4, 10)
    rpm = f0 * slow_curve(rng, n, rng.uniform(0.2, 1.0), 0.7, 1.4)
    phase = np.cumsum(rpm * cyl / 2 / SR)
    cycle = phase.astype(int)
    jitter = 1 + 0.25 * rng.standard_normal(cycle[-1] + 2)
    pulses = np.exp(-(phase % 1) * sharp) * jitter[cycle]
    pulses -= pulses.mean()
    body = band(rng.uniform(60, 150), rng.uniform(1000, 4000), 2)
    bumps = [(rng.uniform(150, 2500), rng.uniform(0.1, 0.4), rng.uniform(1, 4)) for _ in range(3)]
    resonant = lambda f: body(f) * (1 + sum(g * np.exp(-0.5 * (np.log(f / c) / w) ** 2) for c, w, g in bumps))
    x = filtered(pulses, resonant)
    x /= np.sqrt(np.mean(x ** 2)) + 1e-12
    tyres = shaped_noise(rng, n, band(rng.uniform(200, 500), rng.uniform(1500, 4000), 2), 1)[0]
    return x + tyres * db(rng.uniform(-8, 2))


def aircraft(rng, n):
    """A jet's roar and whine, or a helicopter's blade slap over its turbine."""
    roar = shaped_noise(rng, n, band(40, rng.uniform(2000, 6000), 1, rng.uniform(-2, 0)), 1)[0]
    t = np.arange(n) / SR
    if rng.random() < 0.5:
        whine = np.sin(2 * np.pi * np.cumsum(rng.uniform(1500, 5000) * slow_curve(rng, n, 0.3, 0.97, 1.03)) / SR)
        return roar + whine * db(rng.uniform(-30, -14))
    rate = rng.uniform(9, 24)
    slap = np.exp(-((rate * t) % 1) * rng.uniform(8, 20))
    return roar * db(-8) + filtered(slap - slap.mean(), band(40, 900, 2)) * 4


def vehicle(rng, distance=None):
    """A car, lorry, motorbike or aircraft passing (2, n): its sound reaches the listener late by
    the distance (the Doppler of the pass), weaker and darker with distance, crossing the stereo
    picture."""
    kind = rng.choice(["car", "car", "lorry", "motorbike", "aircraft"])
    air = kind == "aircraft"
    seconds = rng.uniform(4, 10) if not air else rng.uniform(8, 14)
    n = int(seconds * SR)
    speed = rng.uniform(60, 250) if air else rng.uniform(6, 35)
    near = distance if distance is not None else (rng.uniform(80, 600) if air else rng.uniform(2, 25))
    lead = int(3.0 * SR) + int(near / SPEED_OF_SOUND * SR)
    source = aircraft(rng, n + 2 * lead) if air else engine(rng, n + 2 * lead, kind)
    if not air and speed > 20:
        source += shaped_noise(rng, len(source), band(80, 1500, 1), 1)[0] * db(rng.uniform(-16, -6))
    t = np.arange(n) / SR
    x = speed * (t - rng.uniform(0.3, 0.7) * seconds)
    r = np.sqrt(x ** 2 + near ** 2)
    heard = np.interp(t * SR + lead - r / SPEED_OF_SOUND * SR, np.arange(len(source)), source)
    dark = filtered(heard, band(10, 1200, 1))
    far = np.clip(r / (400 if air else 120), 0, 1)
    y = (heard * (1 - far) + dark * far) / np.maximum(r, 1.0)
    side = rng.choice([-1, 1]) * rng.uniform(0.5, 1.0)
    y = placed(y, side * x / r)
    fade = np.minimum(1, np.minimum(t, t[-1] - t) / 0.3)
    return y * fade


def explosion(rng):
    """A blast and its thump, a rolling tail of 1-4 s, debris falling, echoes off far walls;
    farther blasts are darker."""
    n = int(rng.uniform(3, 10) * SR)
    far = rng.uniform(0, 1)
    top = 10000 * (1 - far) + 800 * far
    t = np.arange(n) / SR
    blast = burst(rng, n, rng.uniform(0.0005, 0.004), rng.uniform(0.05, 0.3), band(30, top, 1, -1))
    f = np.maximum(rng.uniform(35, 60) + rng.uniform(20, 60) * np.exp(-t / 0.1), 20)
    thump = np.sin(2 * np.pi * np.cumsum(f) / SR) * np.exp(-t / rng.uniform(0.2, 0.8))
    tail = shaped_noise(rng, n, band(20, rng.uniform(300, 1500), 1, -1.5), 1)[0]
    tail *= np.minimum(t / 0.05, 1) * np.exp(-t / rng.uniform(0.8, 3.0)) * slow_curve(rng, n, 3, 0.3, 1.0)
    debris = np.zeros(n)
    hits = rng.random(n) < 60 / SR * np.exp(-t / rng.uniform(0.5, 2))
    debris[hits] = rng.lognormal(0, 0.8, hits.sum())
    debris = filtered(debris, band(800, min(top * 1.5, 12000), 2)) * db(rng.uniform(-30, -12))
    dry = blast + thump * db(rng.uniform(-12, -3)) + tail * db(rng.uniform(-8, 0)) + debris
    y = through(dry, room(rng, rng.uniform(1.0, 4.0), rng.uniform(0.3, 1.2), n_early=4))[:, :n]
    return y * np.minimum(1, (t[-1] - t) / 0.3)


def thunder(rng):
    """Thunder: near, a crackling crack and then rumble; far, a slow swell of rumble only; the
    rumble rolls in three to eight swells over 2-8 s."""
    n = int(rng.uniform(4, 12) * SR)
    t = np.arange(n) / SR
    near = rng.random() < 0.4
    rumble = shaped_noise(rng, n, band(20, rng.uniform(300, 1500) if near else rng.uniform(150, 600), 1, -1.5), common=0.5)
    onset = rng.uniform(0.02, 0.1) if near else rng.uniform(0.3, 1.5)
    env = np.zeros(n)
    for _ in range(rng.integers(3, 9)):
        at, width = rng.uniform(0, rng.uniform(2, 8)), rng.uniform(0.3, 1.5)
        env += rng.uniform(0.3, 1) * np.exp(-0.5 * ((t - onset - at) / width) ** 2)
    env += np.minimum(t / onset, 1) * np.exp(-t / rng.uniform(2, 6))
    y = rumble * env
    if near:
        crack = np.zeros(n)
        m = int(rng.uniform(0.05, 0.3) * SR)
        crack[:m] = (rng.random(m) < rng.uniform(0.01, 0.05)) * rng.standard_normal(m)
        crack = filtered(crack, band(300, 12000, 1)) * np.exp(-t / 0.2)
        y += placed(crack, rng.uniform(-0.5, 0.5)) * 4 * rng.uniform(0.5, 2)
    return y * np.minimum(1, (t[-1] - t) / 0.3)


def door(rng):
    """A door in a room: creaking open, then its latch and the slam of the panel (low body modes,
    a rattle); or two to four knocks on it."""
    dry = []
    if rng.random() < 0.25:  # knocks
        for _ in range(rng.integers(2, 5)):
            m = int(0.25 * SR)
            freqs = rng.uniform(120, 900, 4)
            knock = modes(rng, m, freqs, rng.uniform(0.015, 0.06, 4)) + burst(rng, m, 0.0003, 0.003, band(1500, 8000))
            dry += [knock * rng.uniform(0.6, 1), np.zeros(int(rng.uniform(0.05, 0.2) * SR))]
    else:
        if rng.random() < 0.4:  # the hinge creaks: stick and slip
            m = int(rng.uniform(0.3, 1.5) * SR)
            f = rng.uniform(150, 900) * slow_curve(rng, m, 3, 0.7, 1.3)
            phase = np.cumsum(f / SR)
            stick = np.exp(-(phase % 1) * 20) * (1 + 0.3 * rng.standard_normal(int(phase[-1]) + 2))[phase.astype(int)]
            creak = filtered(stick - stick.mean(), band(400, 4000, 2)) * np.sin(np.pi * np.arange(m) / m)
            dry += [creak * db(rng.uniform(-14, -4)), np.zeros(int(rng.uniform(0.1, 0.6) * SR))]
        m = int(0.6 * SR)
        latch = modes(rng, m, rng.uniform(1500, 5000, 3), rng.uniform(0.005, 0.03, 3)) * db(rng.uniform(-8, 2))
        latch += burst(rng, m, 0.0003, rng.uniform(0.002, 0.01), band(1000, 10000, 1)) * db(rng.uniform(-6, 3))
        panel = modes(rng, m, rng.uniform(60, 600, 6), rng.uniform(0.03, 0.2, 6), rng.uniform(0.1, 0.5, 6))
        panel += burst(rng, m, 0.0005, rng.uniform(0.01, 0.05), band(60, 6000, 1))
        panel += burst(rng, m, 0.002, rng.uniform(0.03, 0.1), band(30, 250, 2)) * db(rng.uniform(-6, 3))
        rattle = np.zeros(m)
        for _ in range(rng.integers(0, 5)):
            at = int(rng.uniform(0.02, 0.12) * SR)
            rattle[at:] += modes(rng, m - at, rng.uniform(800, 3000, 2), rng.uniform(0.004, 0.015, 2)) * 0.3
        dry += [latch + panel + rattle]
    return in_room(rng, np.concatenate(dry), (0.2, 0.7))


def impact(rng):
    """A hit: a blow on a body or a padded thing (a low thump and a slap), or a dropped object of
    wood or metal (its modes ringing), in a room."""
    m = int(rng.uniform(0.4, 1.5) * SR)
    choice = rng.random()
    if choice < 0.4:
        x = burst(rng, m, 0.001, rng.uniform(0.03, 0.1), band(50, rng.uniform(300, 800), 2))
        x += burst(rng, m, 0.0003, rng.uniform(0.004, 0.015), band(800, 10000, 1)) * db(rng.uniform(-6, 3))
    elif choice < 0.7:
        x = modes(rng, m, rng.uniform(150, 3000, 5), rng.uniform(0.01, 0.08, 5)) + \
            burst(rng, m, 0.0003, 0.004, band(800, 8000)) + burst(rng, m, 0.001, 0.04, band(40, 300, 2)) * db(rng.uniform(-12, 0))
    else:
        base = rng.uniform(300, 2500)
        x = modes(rng, m, base * np.array([1, 2.76, 5.4, 8.9]) * rng.uniform(0.95, 1.05, 4), rng.uniform(0.1, 0.8, 4),
                  rng.uniform(0.2, 1, 4)) + burst(rng, m, 0.0002, 0.002, band(2000, 14000))
        x += burst(rng, m, 0.001, 0.04, band(40, 250, 2)) * db(rng.uniform(-12, 3))
    return in_room(rng, x)


def in_room(rng, x, rt60=(0.25, 1.2)):
    """A dry mono sound in a room, somewhere in the stereo picture."""
    ir = room(rng, rng.uniform(*rt60), rng.uniform(0.2, 1.0))
    p = pan_gains(rng.uniform(-0.7, 0.7))
    return through(x, ir * p[:, None] / np.sqrt(0.5))


def render(kind, rng, voices=None):
    n = int(BED_SECONDS * SR)
    if kind == "crowd":
        x = crowd(rng, n, voices)
    elif kind in BEDS:
        x = globals()[kind](rng, n)
    else:
        x = globals()[kind](rng)
    return x / (np.abs(x).max() + 1e-12) * 0.7
