#!/usr/bin/python3
"""What the best masks could do on a film-like case, given its true parts.

A mask separation gives each stem a share of every time-frequency bin of the mix. Knowing the
parts, the best shares are known too: a part's power over the weighted power of all three
(Wiener-style), where weighting music more trades dialogue and effects for less music left. This
script scores those shares and the engine's own stems by SDR and scale-invariant SDR per stem, and
for the shares also the music they leave out of the music stem, counted on the masks themselves,
so the engine's figures can be set against the bound of any mask separation at its frame length.
(The recordings test computes the unweighted bound, music x1, itself.)

Usage: run the film test with HF_FILM_DUMP=<folder> (it writes each case's mix, parts and stems
there), then  mask_bounds.py <folder>/<case> [...]
"""

import sys
from pathlib import Path

import numpy as np

N = 4096       # the engine's frame, a quarter of a frame apart
HOP = N // 4
PARTS = ("dialogue", "music", "effects")


def read_wav(path):
    """A float WAV as channels x samples, and its rate."""
    data = Path(path).read_bytes()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("%s: not a WAV file" % path)
    pos, channels, rate, fmt = 12, 0, 0, None
    while pos + 8 <= len(data):
        kind, size = data[pos:pos + 4], int.from_bytes(data[pos + 4:pos + 8], "little")
        body = data[pos + 8:pos + 8 + size]
        if kind == b"fmt ":
            fmt = (int.from_bytes(body[0:2], "little"), int.from_bytes(body[14:16], "little"))
            channels = int.from_bytes(body[2:4], "little")
            rate = int.from_bytes(body[4:8], "little")
        elif kind == b"data":
            if fmt not in ((3, 32), (0xFFFE, 32)):
                raise ValueError("%s: only 32-bit float WAV is read" % path)
            samples = np.frombuffer(body[:len(body) // (4 * channels) * 4 * channels], "<f4")
            return samples.astype(np.float64).reshape(-1, channels).T, rate
        pos += 8 + size + (size & 1)
    raise ValueError("%s: no audio data" % path)


WINDOW = np.sqrt(0.5 - 0.5 * np.cos(2 * np.pi * np.arange(N) / N))


def engine_frames(x):
    """Spectra as the engine frames them: square-root Hann, frame f starting at f * HOP - (N - HOP)."""
    padded = np.pad(x, ((0, 0), (N - HOP, N)))
    count = (padded.shape[1] - N) // HOP + 1
    index = np.arange(N)[None, :] + HOP * np.arange(count)[:, None]
    return np.fft.rfft(padded[:, index] * WINDOW, axis=-1)


def from_engine_frames(spectra, length):
    """Overlap-add back to `length` samples (the square-root Hann windows sum to 2 at this hop)."""
    frames = np.fft.irfft(spectra, n=N, axis=-1) * WINDOW
    out = np.zeros((spectra.shape[0], (spectra.shape[1] - 1) * HOP + N))
    for f in range(spectra.shape[1]):
        out[:, f * HOP:f * HOP + N] += frames[:, f]
    return out[:, N - HOP:N - HOP + length] / 2.0


def sdr(reference, estimate):
    error = ((estimate - reference) ** 2).sum()
    return 10 * np.log10((reference ** 2).sum() / max(error, 1e-30))


def si_sdr(reference, estimate):
    target = (estimate * reference).sum() / max((reference ** 2).sum(), 1e-30) * reference
    return 10 * np.log10((target ** 2).sum() / max(((estimate - target) ** 2).sum(), 1e-30))


def score(parts, stems):
    return [sdr(p, s) for p, s in zip(parts, stems)], [si_sdr(p, s) for p, s in zip(parts, stems)]


def bounds(folder, weights=(1, 4, 16, 64, 256)):
    folder = Path(folder)
    parts = [read_wav(folder / ("%s.wav" % p))[0] for p in PARTS]
    mix = sum(parts)
    length = mix.shape[1]
    stems = [read_wav(folder / ("stem-%s.wav" % p))[0][:, :length] for p in PARTS]
    rows = [("the engine's stems", score(parts, stems), None)]
    x = engine_frames(mix)
    power = [np.abs(engine_frames(p)) ** 2 for p in parts]
    assert np.allclose(from_engine_frames(x, length), mix, atol=1e-6), "the frames do not add back"
    for w in weights:
        total = power[0] + w * power[1] + power[2]
        total = np.where(total > 0, total, 1.0)
        masks = [power[0] / total, w * power[1] / total, power[2] / total]
        stems = [from_engine_frames(m * x, length) for m in masks]
        # Music left computed on the masks themselves, where no frame smears into another.
        exact = ((1 - masks[1]) ** 2 * power[1]).sum() / power[1].sum()
        rows.append(("best masks, music x%d" % w, score(parts, stems), 10 * np.log10(exact)))
    return rows


def main(argv):
    if not argv:
        print(__doc__.strip())
        return 2
    for folder in argv:
        print("%s" % folder)
        print("  %-24s %-21s %-21s %-21s %s" % ("", "dialogue SDR (SI)", "music SDR (SI)", "effects SDR (SI)",
                                                 "music left on the masks"))
        for name, (sdrs, sis), exact in bounds(folder):
            # A part that no other shares (5.1's centre channel) comes back whole.
            shown = ["%6.1f (%5.1f) dB" % (v, w) if v < 100 else "%-17s" % "whole" for v, w in zip(sdrs, sis)]
            print("  %-24s %-21s %-21s %-21s %s" % (
                name, shown[0], shown[1], shown[2], "" if exact is None else "%.1f dB" % exact))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
