"""Whether each procedural kind of effect reads as its kind, measured against the recordings of it.

    /usr/bin/python3 kind_check.py --root DIR

For every kind that pools.py makes procedurally, over the recordings in the pools (clean, train
split, at most 60 s of each and 80 of a kind), it compares:
- the long-term spectrum: mean power in third-octave bands from 50 Hz to 4 kHz (most of the
  games' recordings hold nothing above 5 kHz), in dB less its mean; the distance is the RMS
  difference over the bands. The procedural kind should lie nearer its own recorded kind than
  other recorded kinds of its role (beds or events) do;
- the envelope (20 ms frames' level in dB, frames within 50 dB of the loudest): its spread (the
  standard deviation), its slow share (the power of the level's changes at 0.1-2 Hz against
  0.1-20 Hz: high for swells and passes, low for a steady or quickly pulsing sound), and for events
  the time from the peak until the level stays 20 dB under it. The procedural figures should lie
  within the range the recordings of the kind span.
"""

import argparse
import json
import os

import numpy as np

import procedural

SR = 44100
BANDS = 50.0 * 2 ** (np.arange(0, 20) / 3)  # third-octave centres, 50 Hz - 4 kHz
FRAME = int(0.02 * SR)


def spectrum(x):
    """Mean power per third-octave band in dB, less its mean."""
    n = 8192
    frames = x[: len(x) // n * n].reshape(-1, n) * np.hanning(n)
    power = np.mean(np.abs(np.fft.rfft(frames, axis=1)) ** 2, axis=0)
    f = np.fft.rfftfreq(n, 1 / SR)
    level = np.array([power[(f >= c / 2 ** (1 / 6)) & (f < c * 2 ** (1 / 6))].mean() for c in BANDS])
    level = 10 * np.log10(level + 1e-20)
    return level - level.mean()


def envelope(x, event):
    """(spread dB, slow share, decay s or nan) of a mono recording."""
    frames = x[: len(x) // FRAME * FRAME].reshape(-1, FRAME)
    level = 10 * np.log10(np.mean(frames ** 2, axis=1) + 1e-20)
    live = level > level.max() - 50
    spread = float(np.std(level[live]))
    changes = np.abs(np.fft.rfft(level - level.mean())) ** 2
    f = np.fft.rfftfreq(len(level), FRAME / SR)
    slow = float(changes[(f >= 0.1) & (f < 2)].sum() / (changes[(f >= 0.1) & (f < 20)].sum() + 1e-20))
    decay = float("nan")
    if event:
        peak = int(np.argmax(level))
        loud = np.nonzero(level[peak:] > level[peak] - 20)[0]
        decay = float((loud[-1] + 1) * FRAME / SR)
    return spread, slow, decay


def measure(folder, recs, event):
    maps = {}
    spectra, envelopes = [], []
    for r in recs:
        if r["pool"] not in maps:
            maps[r["pool"]] = np.memmap(os.path.join(folder, r["pool"] + ".f32"), dtype="<f4", mode="r").reshape(-1, 2)
        x = maps[r["pool"]][r["start"]:r["start"] + min(r["length"], 60 * SR)].mean(axis=1, dtype=np.float64)
        if len(x) < 8192 or not np.any(x):
            continue
        spectra.append(spectrum(x))
        envelopes.append(envelope(x, event))
    return np.mean(spectra, axis=0), np.array(envelopes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    folder = os.path.join(args.root, "pools")
    with open(os.path.join(folder, "index.json")) as f:
        recordings = [r for r in json.load(f)["recordings"] if r["split"] == "train"]
    groups = {}
    for r in recordings:
        if r["role"] in ("bed", "event"):
            groups.setdefault((r["role"], r["kind"], bool(r.get("procedural"))), []).append(r)
    rng = np.random.default_rng(1)
    measured = {}
    for key, recs in sorted(groups.items()):
        if len(recs) > 80:
            recs = [recs[i] for i in sorted(rng.choice(len(recs), 80, replace=False))]
        measured[key] = measure(folder, recs, key[0] == "event") + (len(recs),)
    print("| kind | recorded (procedural) | spectrum: to its kind / nearest other kind (dB) "
          "| level spread dB | slow share | decay s |")
    print("|---|---|---|---|---|---|")
    for (role, kind, made), (spec, env, count) in sorted(measured.items()):
        real = measured.get((role, kind, False))
        if not made or real is None:
            continue
        distances = {k: float(np.sqrt(np.mean((spec - m[0]) ** 2))) for (r, k, p), m in measured.items()
                     if not p and r == role}
        own = distances.pop(kind)
        other = min(distances, key=distances.get)
        cells = []
        for i in range(3 if role == "event" else 2):
            ours, theirs = env[:, i], real[1][:, i]
            cells.append(f"{np.median(ours):.2f} ({np.min(theirs):.2f}-{np.max(theirs):.2f})")
        cells += [""] * (3 - len(cells))
        print(f"| {kind} | {real[2]} ({count}) | {own:.1f} / {other} {distances[other]:.1f} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
