"""The separation model's input features and training targets, computed exactly as the engine does.

A frame is 4096 samples at 44.1 kHz, windowed by a square-root Hann window, a quarter of a frame
apart; frame f starts at f * 1024 - 3072 (the first frames start in silence). Spectra are grouped
into bands (two bins wide at the bottom, 2.5 % of their frequency higher up). For frame t the
network sees, relative to the mean log band power of the frames around it:
  - the log band powers of frames t-12 ... t+12, four bands pooled into one;
  - the log band powers of frames t-1, t, t+1 at full band resolution;
  - for each band, over frames t-2 ... t+2: how alike the two channels are (coherence) and how far
    the power leans to one side;
  - the log band powers of every fourth frame from t-48 to t+48 (about a second either side, enough
    to hear a beat come back), eight bands pooled into one;
  - for each band, the median of its log power over frames t-21 ... t+21 (what holds steady);
  - for each band, how flat its bins' spectrum is (mean log bin power minus the log of the mean),
    averaged over frames t-1 ... t+1: noise reads about -0.2 to -0.6, a partial alone in its band
    far less;
  - for each far band (eight bands pooled), how strongly its onsets repeat: the largest normalised
    autocorrelation, at lags of 8-43 frames (0.19-1 s), of its rises in level over frames
    t-47 ... t+48 (a beat comes back, wind and rain do not).
Frames outside the soundtrack count as silence.
"""

import numpy as np
import torch

RATE = 44100
N = 4096
HOP = 1024
BINS = N // 2 + 1
CONTEXT = 12  # frames either side seen at pooled resolution
FINE = 1      # frames either side seen at full band resolution
DIRECTION = 2 # frames either side summed for the direction of a band
POOL = 4      # bands pooled into one context band
FAR = 48      # frames either side seen at coarse resolution
FAR_STEP = 4  # every fourth of them
FAR_POOL = 8  # bands pooled into one far band
STEADY = 21   # frames either side of a band's median
BEAT_LAGS = (8, 43)  # the shortest and longest lag (frames) at which onsets may repeat
REACH = max(CONTEXT, FAR, STEADY)
FLOOR = 1e-10 # power floor of the log band powers


def band_edges():
    """Band boundaries as bin indices: two bins wide up to about 860 Hz, then 2.5 % of the frequency."""
    bin_hz = RATE / N
    edges = [0]
    k = 0
    while True:
        width = max(2, int(round(0.025 * k)))
        k += width
        if k >= BINS:
            edges.append(BINS)
            return edges, bin_hz
        edges.append(k)


def band_edges_hz():
    """The boundaries in Hz, half a bin below each band's first bin, as the engine reads them."""
    edges, bin_hz = band_edges()
    return [(e - 0.5) * bin_hz for e in edges]


def band_matrix():
    """BINS x bands: 1 / (bins in the band) where a bin belongs to a band."""
    edges, _ = band_edges()
    bands = len(edges) - 1
    m = np.zeros((BINS, bands), np.float64)
    for b in range(bands):
        m[edges[b]:edges[b + 1], b] = 1.0 / (edges[b + 1] - edges[b])
    return m


def bands():
    return len(band_edges()[0]) - 1


def pooled_bands():
    return (bands() + POOL - 1) // POOL


def far_bands():
    return (bands() + FAR_POOL - 1) // FAR_POOL


def input_size():
    nb = bands()
    far = (2 * (FAR // FAR_STEP) + 1) * far_bands()
    return (2 * CONTEXT + 1) * pooled_bands() + (2 * FINE + 1) * nb + 2 * nb + far + nb + nb + far_bands()


def stft(x):
    """x: (channels, samples) float tensor -> (channels, frames, BINS) complex128."""
    samples = x.shape[-1]
    frames = (samples + (N - HOP) + HOP - 1) // HOP
    total = (frames - 1) * HOP + N
    padded = torch.zeros(x.shape[0], total, dtype=torch.float64)
    padded[:, N - HOP:N - HOP + samples] = x.double()
    window = torch.hann_window(N, periodic=True, dtype=torch.float64).sqrt()
    chunks = padded.unfold(1, N, HOP) * window
    return torch.fft.rfft(chunks, dim=-1)


def pooling(nb, width):
    """bands x pooled bands: each pooled band the mean of `width` bands in a row (fewer at the top)."""
    pooled = (nb + width - 1) // width
    m = torch.zeros(nb, pooled, dtype=torch.float64)
    for p in range(pooled):
        members = range(p * width, min(nb, (p + 1) * width))
        for b in members:
            m[b, p] = 1.0 / len(members)
    return m


class Featurizer:
    def __init__(self):
        self.matrix = torch.from_numpy(band_matrix())
        self.sums = (self.matrix > 0).double()
        self.nb = self.matrix.shape[1]
        self.pool = pooling(self.nb, POOL)
        self.far_pool = pooling(self.nb, FAR_POOL)

    def band_power(self, spectra):
        """(channels, frames, BINS) -> (frames, bands): mean power over the group's channels."""
        power = (spectra.real ** 2 + spectra.imag ** 2).mean(0) / N
        return power @ self.matrix

    def features(self, spectra, left=None, right=None):
        """Features of every frame of a group of channels; `left`/`right` index the pair that gives
        the direction (None: one channel, every band counts as centred)."""
        frames = spectra.shape[1]
        log_power = torch.log(self.band_power(spectra) + FLOOR)  # frames x bands
        silent = float(np.log(FLOOR))
        everything = torch.full((frames + 2 * REACH, self.nb), silent, dtype=torch.float64)
        everything[REACH:REACH + frames] = log_power
        padded = everything[REACH - CONTEXT:REACH + frames + CONTEXT]
        # Mean over the context window and the bands, frame by frame.
        frame_mean = padded.mean(1)
        window = frame_mean.unfold(0, 2 * CONTEXT + 1, 1).mean(1)  # frames
        pooled = padded @ self.pool  # (frames + 2C) x pooled
        context = pooled.unfold(0, 2 * CONTEXT + 1, 1)  # frames x pooled x (2C+1)
        context = context.permute(0, 2, 1).reshape(frames, -1) - window[:, None]
        fine = padded[CONTEXT - FINE:CONTEXT + frames + FINE].unfold(0, 2 * FINE + 1, 1)
        fine = fine.permute(0, 2, 1).reshape(frames, -1) - window[:, None]

        if left is None:
            l = r = spectra[0]
        else:
            l, r = spectra[left], spectra[right]
        cross = l * r.conj()
        sxy = torch.complex(cross.real @ self.sums, cross.imag @ self.sums)
        sxx = (l.real ** 2 + l.imag ** 2) @ self.sums
        syy = (r.real ** 2 + r.imag ** 2) @ self.sums

        def around(v):
            p = torch.zeros(frames + 2 * DIRECTION, self.nb, dtype=v.dtype)
            p[DIRECTION:DIRECTION + frames] = v
            return p.unfold(0, 2 * DIRECTION + 1, 1).sum(-1)

        sxy, sxx, syy = around(sxy), around(sxx), around(syy)
        coherence = (sxy.real ** 2 + sxy.imag ** 2) / (sxx * syy + 1e-30)
        side = (sxx - syy).abs() / (sxx + syy + 1e-30)
        far = (everything[REACH - FAR:REACH + frames + FAR] @ self.far_pool).unfold(0, 2 * FAR + 1, 1)
        far = far[:, :, ::FAR_STEP].permute(0, 2, 1).reshape(frames, -1) - window[:, None]
        steady = everything[REACH - STEADY:REACH + frames + STEADY].unfold(0, 2 * STEADY + 1, 1)
        steady = steady.median(-1).values - window[:, None]
        bin_power = (spectra.real ** 2 + spectra.imag ** 2).mean(0) / N
        flat = torch.log(bin_power + FLOOR) @ self.matrix - torch.log(bin_power @ self.matrix + FLOOR)
        flat_padded = torch.zeros(frames + 2 * FINE, self.nb, dtype=torch.float64)
        flat_padded[FINE:FINE + frames] = flat
        flatness = flat_padded.unfold(0, 2 * FINE + 1, 1).mean(-1)
        return torch.cat([context, fine, coherence.clamp(0, 1), side, far, steady, flatness,
                          self.beat(everything, frames)], 1).float()

    def beat(self, everything, frames):
        """frames x far bands: how strongly each far band's onsets repeat around each frame."""
        level = everything @ self.far_pool  # (frames + 2 REACH) x far bands
        rise = torch.zeros_like(level)
        rise[1:] = (level[1:] - level[:-1]).clamp_min(0)
        # Frame t sees the rises of frames t - FAR + 1 ... t + FAR.
        span = rise[REACH - FAR + 1:REACH + frames + FAR].unfold(0, 2 * FAR, 1)  # frames x far bands x 2 FAR
        span = span - span.mean(-1, keepdim=True)
        energy = (span ** 2).sum(-1)
        best = torch.full(energy.shape, -1.0, dtype=torch.float64)
        for lag in range(BEAT_LAGS[0], BEAT_LAGS[1] + 1):
            best = torch.maximum(best, (span[..., :-lag] * span[..., lag:]).sum(-1))
        return torch.where(energy > 1e-9, best / energy.clamp_min(1e-9), torch.zeros_like(best))

    def targets(self, stems_spectra):
        """(stems, channels, frames, BINS) -> (frames, stems, bands) of band magnitudes."""
        return torch.stack([self.band_power(s).sqrt() for s in stems_spectra], 1).float()
