#!/usr/bin/python3
"""Writes a small band network with random weights, random stereo spectra and the network's shares
of them as PyTorch computes them, for the engine's own forward pass to be checked against.

Usage: band_network_reference.py FOLDER   (exits with 77 where torch is missing)
Writes FOLDER/network.weights, FOLDER/spectra.f32 (frames x 2 channels x bins complex, real and
imaginary parts) and FOLDER/shares.f32 (frames x 3 stems x bins)."""

import os
import sys

import numpy as np

try:
    import torch
except ImportError:
    sys.exit(77)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "engine", "training"))
import band_net as B  # noqa: E402

FRAMES = 150


def main():
    folder = sys.argv[1]
    torch.manual_seed(5)
    model = B.BandNet(bands=12, width=16, dilations=[1, 2, 4, 8])
    with torch.no_grad():
        for name, p in model.named_parameters():
            p.copy_(torch.randn_like(p) * (0.3 if "gain" not in name else 0.2) + (1.0 if "gain" in name else 0.0))
    B.round_to_file(model)
    B.export(model, os.path.join(folder, "network.weights"))

    rng = np.random.default_rng(7)
    level = 10 ** rng.uniform(-3, 1, FRAMES)
    level[rng.random(FRAMES) < 0.1] = 0  # silent frames
    centre = rng.standard_normal((FRAMES, B.BINS)) + 1j * rng.standard_normal((FRAMES, B.BINS))
    sides = rng.standard_normal((2, FRAMES, B.BINS)) + 1j * rng.standard_normal((2, FRAMES, B.BINS))
    spectra = (centre[None] + 0.7 * sides) * level[None, :, None] * 30
    spectra = torch.from_numpy(spectra.astype(np.complex64))
    with torch.no_grad():
        shares = model(B.inputs(spectra.to(torch.complex128))[None])[0]  # 3 x bins x frames
    np.ascontiguousarray(spectra.permute(1, 0, 2).numpy()).view(np.float32).astype("<f4").tofile(
        os.path.join(folder, "spectra.f32"))
    shares.permute(2, 0, 1).contiguous().numpy().astype("<f4").tofile(os.path.join(folder, "shares.f32"))


if __name__ == "__main__":
    main()
