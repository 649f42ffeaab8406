"""Trains the separation model on clips made by make_data.py and writes its weights for the engine.

    /usr/bin/python3 train.py --clips N --out separation.weights [--epochs E] [--seed S]

The clips are made in memory, clip by clip, and only their features are kept.

The model: for every frame, a network of three layers reads the features of features.py and gives,
for every band, the shares of dialogue, music and effects (a softmax, so they add up to one). It is
trained to make share x mix magnitude match each stem's magnitude, band by band, weighted by the
clip's loudness so that every clip counts alike.
"""

import argparse
import ctypes
import multiprocessing
import os
import shutil
import struct
import subprocess
import tempfile
import time

import numpy as np
import torch

import features as F
import make_data
import make_real
import sources

LIBRARY = None  # the recordings, set before the workers are forked

STEM_WEIGHTS = torch.tensor([1.0, 1.5, 1.0])  # dialogue, music, effects: music left behind is the fault heard most


class Model(torch.nn.Module):
    def __init__(self, inputs, hidden, bands, dropout=0.0):
        super().__init__()
        self.bands = bands
        self.dropout = torch.nn.Dropout(dropout)
        self.layers = torch.nn.ModuleList([
            torch.nn.Linear(inputs, hidden),
            torch.nn.Linear(hidden, hidden),
            torch.nn.Linear(hidden, 3 * bands),
        ])

    def forward(self, x):
        for layer in self.layers[:-1]:
            x = self.dropout(torch.relu(layer(x)))
        logits = self.layers[-1](x).view(-1, 3, self.bands)
        return torch.softmax(logits, 1)


def one_blas_thread():
    """The clips are made side by side, one per process: their BLAS must not start threads too."""
    for name in ("libopenblas.so.0", "libblas.so.3"):
        try:
            ctypes.CDLL(name).openblas_set_num_threads(1)
            return
        except (OSError, AttributeError):
            pass


def clip_frames(job):
    """Features, mix band magnitudes, stem band magnitudes and weights of every frame of one clip."""
    seed, index, mono, real, coded = job
    torch.set_num_threads(1)
    one_blas_thread()
    featurizer = F.Featurizer()
    scratch = tempfile.mkdtemp(prefix="hf-train-")
    try:
        if real:
            clip = make_real.render_clip(LIBRARY, seed, index)
        else:
            clip, _ = make_data.render_clip(seed, index, scratch)
        stems = torch.from_numpy(clip).double()  # stems x 2 x samples
        if mono:
            stems = stems.mean(1, keepdim=True)
        mix = stems.sum(0)
        if coded:
            mix = aac_round_trip(mix, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    spectra = F.stft(mix)
    pair = (None, None) if mix.shape[0] == 1 else (0, 1)
    x = featurizer.features(spectra, *pair)
    power = featurizer.band_power(spectra)
    t = featurizer.targets([F.stft(s) for s in stems])
    weight = torch.full((x.shape[0],), 1.0 / (float(power.mean()) + 1e-12))
    return x.half(), power.sqrt().float(), t.half(), weight


def aac_round_trip(mix, scratch):
    """The mix as the application uploads it: through AAC (256 kb/s stereo, 128 kb/s mono) and back."""
    channels = mix.shape[0]
    raw = os.path.join(scratch, "mix.f32")
    coded = os.path.join(scratch, "mix.m4a")
    mix.T.contiguous().float().numpy().astype("<f4").tofile(raw)
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "f32le", "-ac", str(channels), "-ar",
                    str(F.RATE), "-i", raw, "-c:a", "aac", "-b:a", str(128000 * channels), coded], check=True)
    back = torch.from_numpy(sources.decode(coded, channels=channels)).double()
    n = mix.shape[1]
    if back.shape[1] < n:
        back = torch.nn.functional.pad(back, (0, n - back.shape[1]))
    return back[:, :n]


def load(seed, clips, mono_share, jobs, real_share=0.0, aac_share=0.0):
    """Every frame of the clips; a share of the clips is mixed down to one channel, a share is made
    of recordings instead of synthesis, a share goes through AAC."""
    rng = np.random.default_rng(seed)
    work = [(seed, i, bool(rng.random() < mono_share), bool(rng.random() < real_share), bool(rng.random() < aac_share))
            for i in range(clips)]
    # Every clip has as many frames as the others: the arrays are made once and filled clip by clip,
    # so that the features are never held twice.
    out = None
    with multiprocessing.Pool(jobs) as pool:
        for n, part in enumerate(pool.imap(clip_frames, work, chunksize=4)):
            frames = part[0].shape[0]
            if out is None:
                out = tuple(torch.empty((clips * frames,) + p.shape[1:], dtype=p.dtype) for p in part)
            for whole, p in zip(out, part):
                whole[n * frames:(n + 1) * frames] = p
    return out


def loss_of(model, x, mag, target, weight):
    shares = model(x.float())
    error = shares * mag[:, None, :] - target.float()
    per_frame = (error ** 2 * STEM_WEIGHTS[None, :, None]).sum((1, 2))
    return (per_frame * weight).mean()


def export(model, mean, std, path):
    """Little-endian: "HFSM", version, bands, context, fine, direction, pool, far, far step, far pool,
    steady, layers; band edges in Hz;
    then per layer its sizes, its weights (float16, row by row) and biases (float32). The input's
    standardisation is folded into the first layer."""
    layers = [(l.weight.detach().double().clone(), l.bias.detach().double().clone()) for l in model.layers]
    w, b = layers[0]
    std = std.double()
    mean = mean.double()
    layers[0] = (w / std[None, :], b - (w / std[None, :]) @ mean)
    edges = F.band_edges_hz()
    with open(path + ".tmp", "wb") as out:
        out.write(b"HFSM")
        out.write(struct.pack("<11I", 3, F.bands(), F.CONTEXT, F.FINE, F.DIRECTION, F.POOL, F.FAR, F.FAR_STEP,
                              F.FAR_POOL, F.STEADY, len(layers)))
        out.write(struct.pack(f"<{len(edges)}f", *edges))
        for w, b in layers:
            out.write(struct.pack("<2I", w.shape[1], w.shape[0]))
            out.write(w.numpy().astype("<f2").tobytes())
            out.write(b.numpy().astype("<f4").tobytes())
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clips", type=int, default=3000)
    parser.add_argument("--out", required=True)
    parser.add_argument("--epochs", type=int, default=12)
    parser.add_argument("--hidden", type=int, default=512)
    parser.add_argument("--dropout", type=float, default=0.1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--cache", help="a file that keeps the clips' features between runs")
    parser.add_argument("--sources", help="the folder of sources.py's packages (recordings to mix)")
    parser.add_argument("--real-share", type=float, default=0.75, help="the share of clips made of recordings")
    parser.add_argument("--aac-share", type=float, default=0.5, help="the share of mixes sent through AAC")
    args = parser.parse_args()
    global LIBRARY
    if args.sources:
        sources.fetch(args.sources)
        LIBRARY = make_real.Library(sources.catalogue(args.sources, args.threads))
    real_share = args.real_share if LIBRARY else 0.0
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)

    start = time.time()
    if args.cache and os.path.exists(args.cache):
        x, mag, target, weight, vx, vmag, vtarget, vweight = torch.load(args.cache)
    else:
        x, mag, target, weight = load(args.seed, args.clips, 0.12, args.threads, real_share, args.aac_share)
        vx, vmag, vtarget, vweight = load(args.seed + 1000, max(20, args.clips // 40), 0.12, args.threads, real_share,
                                          args.aac_share)
        if args.cache:
            torch.save((x, mag, target, weight, vx, vmag, vtarget, vweight), args.cache)
    print(f"{x.shape[0]} training frames, {vx.shape[0]} held back, features in {time.time() - start:.0f} s", flush=True)

    mean = x[:200000].float().mean(0)
    std = x[:200000].float().std(0).clamp_min(1e-3)
    model = Model(F.input_size(), args.hidden, F.bands(), args.dropout)
    # Train on standardised inputs; the standardisation is folded into the weights on export.
    norm = lambda v: (v.float() - mean) / std
    optimiser = torch.optim.AdamW(model.parameters(), lr=1e-3, weight_decay=1e-4)
    batch = args.batch
    steps = args.epochs * (x.shape[0] // batch)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, max_lr=1.5e-3, total_steps=steps, pct_start=0.1)
    generator = torch.Generator().manual_seed(args.seed)
    for epoch in range(args.epochs):
        order = torch.randperm(x.shape[0], generator=generator)
        model.train()
        total = 0.0
        for i in range(x.shape[0] // batch):
            idx = order[i * batch:(i + 1) * batch]
            loss = loss_of(model, norm(x[idx]), mag[idx], target[idx], weight[idx])
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
            total += float(loss)
        model.eval()
        with torch.no_grad():
            held_loss = sum(float(loss_of(model, norm(vx[i:i + 4096]), vmag[i:i + 4096], vtarget[i:i + 4096], vweight[i:i + 4096])) * min(4096, vx.shape[0] - i)
                            for i in range(0, vx.shape[0], 4096)) / vx.shape[0]
        print(f"epoch {epoch + 1}: training {total / (x.shape[0] // batch):.4f}, held back {held_loss:.4f} ({time.time() - start:.0f} s)", flush=True)
        export(model, mean, std, args.out)


if __name__ == "__main__":
    main()
