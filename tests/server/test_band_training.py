#!/usr/bin/python3
"""The band network's training resumes exactly: N steps, a stop and M more give, bit for bit, the
checkpoint of N + M steps in one run (a tiny model on small stand-in clips, two workers)."""

import os
import subprocess
import sys
import tempfile

import numpy as np

try:
    import torch
except ImportError:
    print("torch is missing: skipped")
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
TRAINER = os.path.join(HERE, "..", "..", "server", "engine", "training", "train_net.py")


class StandIn:
    """Clips of 0.3 s: a tone (music), noise bursts (effects) and a gliding buzz (dialogue),
    each a function of (seed, index)."""

    def __init__(self, root, seed, seconds=8.0, split="train"):
        self.seed = seed + (0 if split == "train" else 1000)

    def clip(self, index):
        rng = np.random.default_rng([self.seed, index])
        t = np.arange(int(0.3 * 44100)) / 44100
        music = 0.1 * np.sin(2 * np.pi * rng.uniform(100, 800) * t)
        effects = 0.05 * rng.standard_normal(t.size) * (rng.random(t.size // 2000 + 1).repeat(2000)[:t.size] > 0.5)
        dialogue = 0.1 * np.sign(np.sin(2 * np.pi * (150 + 100 * t) * t)) * rng.uniform(0.2, 1)
        clip = {name: np.stack([v, v * rng.uniform(0.5, 1)]).astype(np.float32)
                for name, v in (("dialogue", dialogue), ("music", music), ("effects", effects))}
        clip["mix"] = clip["dialogue"] + clip["music"] + clip["effects"]
        return clip


def train(checkpoint, run_steps):
    env = dict(os.environ, PYTHONPATH=HERE)
    subprocess.run([sys.executable, TRAINER, "--checkpoint", checkpoint, "--clip-source", "test_band_training:StandIn",
                    "--steps", "6", "--run-steps", str(run_steps), "--boundary", "3", "--workers", "2",
                    "--clips-per-worker", "2", "--bands", "6", "--width", "8", "--dilations", "1,2",
                    "--dev-clips", "2", "--dev-every", "3", "--lr", "3e-3"], env=env, check=True)
    return torch.load(checkpoint)


def flatten(value):
    if isinstance(value, dict):
        return [x for key in sorted(value) for x in flatten(value[key])]
    if isinstance(value, (list, tuple)):
        return [x for item in value for x in flatten(item)]
    return [value]


def same(a, b):
    fa, fb = flatten(a), flatten(b)
    return len(fa) == len(fb) and all(
        torch.equal(x, y) if isinstance(x, torch.Tensor) else x == y for x, y in zip(fa, fb))


def main():
    with tempfile.TemporaryDirectory() as folder:
        whole = train(os.path.join(folder, "whole.pt"), 6)
        first = train(os.path.join(folder, "split.pt"), 3)
        resumed = train(os.path.join(folder, "split.pt"), 3)
        begun = torch.load(os.path.join(folder, "whole.pt"))
        failures = []
        if first["step"] != 3 or resumed["step"] != 6 or whole["step"] != 6:
            failures.append(f"steps {first['step']}, {resumed['step']}, {whole['step']} instead of 3, 6, 6")
        if same(first["params"], resumed["params"]):
            failures.append("the resumed run did not move the weights")
        if not same(whole, resumed):
            failures.append("stopping and resuming changed the checkpoint")
        del begun
        for failure in failures:
            print("FAIL:", failure)
        sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
