"""The band-split separation network: its inputs, layers, loss and weights file.

The network reads every frame of the mix's spectrum (the engine's frames: 4096 samples at 44.1 kHz,
a quarter frame apart, square-root Hann windows) and gives every bin of every frame its shares of
dialogue, music and effects (a softmax over the three, so the stems add back to the input).

- Inputs per bin: the log of the bin's power (mean over the channels), how much of it differs
  between the first two channels (|L - R|^2 / (|L|^2 + |R|^2), 0 for a centred source) and how far
  it leans to one side ((|L|^2 - |R|^2) / (|L|^2 + |R|^2)); a single channel reads 0 for both.
- Band split: the bins are grouped into `bands` bands (mel-like, narrow at the bottom); each band's
  inputs are mapped to `width` features by a linear layer of its own.
- Blocks: per-frame normalisation over all features of the frame, a pointwise layer to 2 x width,
  a dilated convolution in time (kernel 3, one filter per feature), a gate (a * sigmoid(b)) and a
  pointwise layer back to `width`, added to the block's input. Bands share the blocks' weights.
  After every second block the bands are mixed linearly (a bands x bands matrix, added).
- Head: per-frame normalisation, a linear layer per band to 3 logits per bin, a softmax per bin.

A frame's shares depend only on the frames within `reach()` of it (the dilations' sum): there is
no running state. Outside the input every convolution reads zeros, as the engine does at the
soundtrack's ends.
"""

import math
import struct

import numpy as np
import torch
import torch.utils.checkpoint

RATE = 44100
N = 4096
HOP = 1024
BINS = N // 2 + 1
FLOOR = 1e-10

DEFAULT = dict(bands=48, width=64, dilations=[1, 2, 4, 8, 16, 32, 1, 2, 4, 8, 16, 32])


def band_edges(bands, bins=BINS):
    """Bin indices of the band boundaries, evenly spaced in mel, each band at least two bins."""
    top = 2595 * math.log10(1 + (RATE / 2) / 700)
    edges = [0]
    for b in range(1, bands):
        hz = 700 * (10 ** (top * b / bands / 2595) - 1)
        edges.append(max(edges[-1] + 2, int(round(hz * N / RATE))))
    edges.append(bins)
    if edges[-1] - edges[-2] < 2:
        raise ValueError("too many bands")
    return edges


def stft(x, dtype=torch.float64):
    """(channels, samples) -> (channels, frames, BINS) complex, the engine's frames: frame f
    starts at f * HOP - (N - HOP), so the first frames start in silence."""
    x = torch.as_tensor(x, dtype=dtype)
    samples = x.shape[-1]
    frames = (samples + (N - HOP) + HOP - 1) // HOP
    total = (frames - 1) * HOP + N
    padded = torch.zeros(x.shape[0], total, dtype=dtype)
    padded[:, N - HOP:N - HOP + samples] = x
    window = torch.hann_window(N, periodic=True, dtype=dtype).sqrt()
    return torch.fft.rfft(padded.unfold(1, N, HOP) * window, dim=-1)


def inputs(spectra):
    """(channels, frames, BINS) complex -> (3, BINS, frames) float32, the network's inputs."""
    power = spectra.real ** 2 + spectra.imag ** 2
    p = power.mean(0) / N
    level = (torch.log(p + FLOOR) + 12) / 6
    if spectra.shape[0] >= 2:
        l, r = power[0], power[1]
        both = l + r + 1e-20
        d = spectra[0] - spectra[1]
        differ = (d.real ** 2 + d.imag ** 2) / both
        lean = (l - r) / both
    else:
        differ = torch.zeros_like(level)
        lean = torch.zeros_like(level)
    return torch.stack([level, differ, lean]).transpose(1, 2).float()


class FrameNorm(torch.nn.Module):
    """Normalises each frame over all its bands and features; a gain and offset per feature."""

    def __init__(self, width):
        super().__init__()
        self.gain = torch.nn.Parameter(torch.ones(width))
        self.offset = torch.nn.Parameter(torch.zeros(width))

    def forward(self, h):  # (batch, frames, bands, width)
        mean = h.mean((2, 3), keepdim=True)
        var = ((h - mean) ** 2).mean((2, 3), keepdim=True)
        return (h - mean) / torch.sqrt(var + 1e-5) * self.gain + self.offset


class Block(torch.nn.Module):
    def __init__(self, width, dilation):
        super().__init__()
        self.dilation = dilation
        self.norm = FrameNorm(width)
        self.expand = torch.nn.Linear(width, 2 * width)
        # The dilated convolution in time, one filter per feature: taps at t - d, t, t + d.
        self.time = torch.nn.Parameter(torch.randn(2 * width, 3) / math.sqrt(3))
        self.time_bias = torch.nn.Parameter(torch.zeros(2 * width))
        self.back = torch.nn.Linear(width, width)

    def forward(self, h):
        u = self.expand(self.norm(h))  # batch x frames x bands x 2 width
        d = self.dilation
        frames = u.shape[1]
        padded = torch.nn.functional.pad(u, (0, 0, 0, 0, d, d))
        v = (padded[:, :frames] * self.time[:, 0] + u * self.time[:, 1] + padded[:, 2 * d:] * self.time[:, 2]
             + self.time_bias)
        a, g = v.chunk(2, -1)
        return h + self.back(a * torch.sigmoid(g))


class BandNet(torch.nn.Module):
    def __init__(self, bands=48, width=64, dilations=None, bins=BINS):
        super().__init__()
        self.config = dict(bands=bands, width=width, dilations=list(dilations or DEFAULT["dilations"]), bins=bins)
        self.edges = band_edges(bands, bins)
        self.width = width
        sizes = [self.edges[b + 1] - self.edges[b] for b in range(bands)]
        self.split = torch.nn.ModuleList(torch.nn.Linear(3 * w, width) for w in sizes)
        self.blocks = torch.nn.ModuleList(Block(width, d) for d in self.config["dilations"])
        self.mixes = torch.nn.ParameterList(torch.nn.Parameter(torch.zeros(bands, bands))
                                            for _ in range(len(self.blocks) // 2))
        self.head_norm = FrameNorm(width)
        self.head = torch.nn.ModuleList(torch.nn.Linear(width, 3 * w) for w in sizes)
        for layer in self.head:  # every stem a third of every bin to begin with
            torch.nn.init.zeros_(layer.weight)
            torch.nn.init.zeros_(layer.bias)

    def reach(self):
        return sum(self.config["dilations"])

    def forward(self, x):
        """(batch, 3, bins, frames) -> shares (batch, 3 stems, bins, frames): dialogue, music, effects."""
        batch, _, _, frames = x.shape
        x = x.permute(0, 3, 1, 2)  # batch x frames x 3 x bins
        h = torch.stack([layer(x[..., lo:hi].reshape(batch, frames, -1))
                         for layer, lo, hi in zip(self.split, self.edges[:-1], self.edges[1:])], 2)
        for i, block in enumerate(self.blocks):  # h: batch x frames x bands x width
            if torch.is_grad_enabled():
                # Each block's inner values are made again for the backward pass instead of kept:
                # a clip's training takes about a fifth of the memory for a third more work.
                h = torch.utils.checkpoint.checkpoint(block, h, use_reentrant=False)
            else:
                h = block(h)
            if i % 2 == 1:
                h = h + torch.einsum("kl,btlc->btkc", self.mixes[i // 2], h)
        n = self.head_norm(h)
        logits = torch.cat([layer(n[:, :, b]).view(batch, frames, 3, -1) for b, layer in enumerate(self.head)], 3)
        return torch.softmax(logits, 2).permute(0, 2, 3, 1)


def l1(z):
    return (z.real.abs() + z.imag.abs()).sum()


def loss_terms(shares, mix, stems, floor=0.01):
    """One clip's terms: shares (3, bins, frames); mix (channels, frames, bins) and stems (3,
    channels, frames, bins) complex. Per stem the L1-SNR of share x mix against the stem, its floor
    `floor` x the mix's L1 so that a silent stem counts by its error against the mix's level; and
    the L1 between the estimated and true magnitudes over the mix's, summed over the stems."""
    m = shares.transpose(1, 2)[:, None]  # 3 x 1 x frames x bins
    estimate = m * mix[None]
    eps = floor * l1(mix)
    snr = torch.stack([10 * torch.log10((l1(stems[s]) + eps) / (l1(estimate[s] - stems[s]) + eps)) for s in range(3)])
    magnitude = (m * mix.abs()[None] - stems.abs()).abs().sum() / (mix.abs().sum() + 1e-12)
    return snr, magnitude


def sdr_parts(shares, mix, stems):
    """Per stem: the stem's energy and the error's, share x mix against the stem (spectral)."""
    m = shares.transpose(1, 2)[:, None]
    error = m * mix[None] - stems
    energy = lambda z: (z.real ** 2 + z.imag ** 2).sum((1, 2, 3))
    return energy(stems), energy(error)


def prepare(clip):
    """A clip dict of (2, samples) float32 arrays -> network inputs, mix and stems spectra (complex64)."""
    mix = stft(clip["mix"], torch.float32)
    stems = torch.stack([stft(clip[name], torch.float32) for name in ("dialogue", "music", "effects")])
    return inputs(mix), mix, stems


def export(model, path):
    """The engine's weights file. Little-endian: "HFSN", version 1, bins, bands, width, blocks; the
    band edges (bins + 1 values); per block its dilation; then the parameters, each as float16 in
    the order below (float32 for the normalisations' gains and offsets and all biases):
      per band: split weights (width x 3 w, row by row), split bias (width);
      per block: norm gain, norm offset (width each), expand weights (2 width x width), expand bias,
        time taps (2 width x 3: t - d, t, t + d), time bias (2 width), back weights (width x width), back bias;
      per band mix: bands x bands;
      head norm gain and offset; per band: head weights (3 w x width), head bias (3 w)."""
    c = model.config
    out = bytearray(b"HFSN")
    out += struct.pack("<5I", 1, c["bins"], c["bands"], c["width"], len(c["dilations"]))
    out += struct.pack(f"<{len(model.edges)}I", *model.edges)
    out += struct.pack(f"<{len(c['dilations'])}I", *c["dilations"])

    def put(t, half=True):
        a = t.detach().double().numpy().reshape(-1)
        out.extend(a.astype("<f2" if half else "<f4").tobytes())

    for layer in model.split:
        put(layer.weight)
        put(layer.bias, False)
    for block in model.blocks:
        put(block.norm.gain, False)
        put(block.norm.offset, False)
        put(block.expand.weight)
        put(block.expand.bias, False)
        put(block.time)
        put(block.time_bias, False)
        put(block.back.weight)
        put(block.back.bias, False)
    for mix in model.mixes:
        put(mix)
    put(model.head_norm.gain, False)
    put(model.head_norm.offset, False)
    for layer in model.head:
        put(layer.weight)
        put(layer.bias, False)
    with open(path + ".tmp", "wb") as f:
        f.write(out)
    import os
    os.replace(path + ".tmp", path)


def round_to_file(model):
    """The weights as the engine holds them: every float16 weight rounded, in place."""
    with torch.no_grad():
        for name, p in model.named_parameters():
            if p.dim() >= 2:
                p.copy_(p.half().float())


def count(model):
    return sum(p.numel() for p in model.parameters())
