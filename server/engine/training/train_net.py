"""Trains the band-split network (band_net.py) in runs that resume where the last one stopped.

    /usr/bin/python3 train_net.py --checkpoint FILE --root POOLS [--steps S] [--budget-minutes M]

The first run starts a new training (seed, model size, planned steps and batch are fixed then and
kept in the checkpoint); every later run reads the checkpoint and goes on at the same step and clip
index. Clip i of the training is ClipMaker(root, seed, seconds).clip(i) (clips.py); step s takes the
clips s x batch ... (s + 1) x batch - 1, spread over the workers in rank order.

Each step: `workers` processes of one thread each compute the gradient of their clips; the main
process sums them in rank order and takes an Adam step, with the learning rate on a cosine over the
planned steps. So a step's result depends only on the step's state, never on timing.

Every `boundary` steps the state (weights, the moments) is rounded to what the checkpoint holds
(float16 with a scale per tensor; the second moment as its square root), whether or not a file is
written, and a run stops only there: a run stopped at a boundary and resumed gives, bit for bit,
what one run over all the steps gives. A run writes its checkpoint at the first boundary after
`save-minutes` have passed since the last, and at its end: when its budget would run out before the
next boundary, when it has done `run-steps` or when the planned steps are done. `--weights` writes
the engine's weights file from the checkpoint (band_net.export).

The loss of a clip: the mean over the stems of minus the L1-SNR of share x mix against the stem
(its floor scaled to the mix), / 10, plus `magnitude` x the L1 of the magnitudes over the mix's;
the magnitude term starts 10 times as heavy and comes down to its weight over the first tenth of
the steps, so that every stem is drawn towards its share of the bins before the SNR terms count.
Every `dev-every` steps the workers measure the dev clips: each stem's SDR (spectral, over all the
dev clips' bins together); 0 dB is what an empty stem scores.
"""

import argparse
import importlib
import math
import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import multiprocessing  # noqa: E402

import torch  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import band_net as B  # noqa: E402

STEMS = ("dialogue", "music", "effects")
BETA1, BETA2, EPSILON = 0.9, 0.999, 1e-8


def make_source(source, root, seed, seconds, split):
    module, name = source.split(":")
    return getattr(importlib.import_module(module), name)(root, seed, seconds=seconds, split=split)


def flat_grad(model):
    return torch.cat([p.grad.reshape(-1) for p in model.parameters()])


def worker(rank, conn, params, grads, settings):
    torch.set_num_threads(1)
    model = B.BandNet(**settings["model"])
    sources = {}

    def source(split):
        if split not in sources:
            sources[split] = make_source(settings["clip_source"], settings["root"], settings["seed"],
                                         settings["seconds"], split)
        return sources[split]

    per = settings["clips_per_worker"]
    batch = per * settings["workers"]
    while True:
        message = conn.recv()
        if message[0] == "stop":
            return
        torch.nn.utils.vector_to_parameters(params, model.parameters())
        if message[0] == "step":
            _, step, weight = message
            model.zero_grad(set_to_none=False)
            for p in model.parameters():
                p.grad = torch.zeros_like(p)
            stats = torch.zeros(4, dtype=torch.float64)
            for j in range(per):
                x, mix, stems = B.prepare(source("train").clip(step * batch + rank * per + j))
                snr, magnitude = B.loss_terms(model(x[None])[0], mix, stems)
                loss = (-snr.mean() / 10 + weight * magnitude) / batch
                loss.backward()
                stats += torch.cat([snr.detach(), magnitude.detach()[None]]).double()
            grads[rank].copy_(flat_grad(model))
            conn.send(stats)
        elif message[0] == "dev":
            _, indices = message
            sums = torch.zeros(2, 3, dtype=torch.float64)
            with torch.no_grad():
                for i in indices:
                    x, mix, stems = B.prepare(source("dev").clip(i))
                    energy, error = B.sdr_parts(model(x[None])[0], mix, stems)
                    sums[0] += energy.double()
                    sums[1] += error.double()
            conn.send(sums)


def quantise(t):
    top = float(t.abs().max()) if t.numel() else 0.0
    scale = top / 32768 if top > 0 else 1.0
    return (t / scale).half(), scale


def dequantise(pair):
    values, scale = pair
    return values.float() * scale


class State:
    """The training's state: flat weights and Adam's moments, the step, and what was fixed at the start."""

    def __init__(self, settings, params):
        self.settings = settings
        self.params = params  # shared with the workers
        self.m = torch.zeros_like(params)
        self.v = torch.zeros_like(params)
        self.step = 0

    def packed(self):
        return {"format": 1, "settings": self.settings, "step": self.step,
                "params": quantise(self.params), "m": quantise(self.m), "root_v": quantise(self.v.sqrt())}

    def unpack(self, data):
        self.step = data["step"]
        self.params.copy_(dequantise(data["params"]))
        self.m = dequantise(data["m"])
        self.v = dequantise(data["root_v"]) ** 2

    def round(self):
        """What a checkpoint would hold, in place."""
        data = self.packed()
        self.unpack(data)
        return data


def learning_rate(settings, step):
    steps, peak = settings["steps"], settings["lr"]
    warm = max(1, steps // 50)
    if step < warm:
        return peak * (step + 1) / warm
    progress = (step - warm) / max(1, steps - warm)
    return peak * (0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * progress)))


def magnitude_weight(settings, step):
    early = max(1, settings["steps"] // 10)
    return settings["magnitude"] * (1 + 9 * max(0.0, 1 - step / early))


def save(path, data):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    torch.save(data, path + ".tmp")
    os.replace(path + ".tmp", path)


def log(text):
    print(time.strftime("%H:%M:%S", time.gmtime()) + " " + text, flush=True)


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--checkpoint", required=True)
    p.add_argument("--root", default=os.path.expanduser("~/.cache/hushframe-training"))
    p.add_argument("--clip-source", default="clips:ClipMaker", help="module:class making clips (clips.py's ClipMaker)")
    p.add_argument("--weights", help="write the engine's weights file from the checkpoint and stop")
    # Fixed by the first run:
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--steps", type=int, default=16000, help="planned steps of the whole training")
    p.add_argument("--workers", type=int, default=8)
    p.add_argument("--clips-per-worker", type=int, default=1)
    p.add_argument("--seconds", type=float, default=8.0)
    p.add_argument("--lr", type=float, default=1e-3)
    p.add_argument("--magnitude", type=float, default=1.0)
    p.add_argument("--boundary", type=int, default=50)
    p.add_argument("--bands", type=int, default=B.DEFAULT["bands"])
    p.add_argument("--width", type=int, default=B.DEFAULT["width"])
    p.add_argument("--dilations", default=",".join(map(str, B.DEFAULT["dilations"])))
    # This run's:
    p.add_argument("--budget-minutes", type=float, default=1e9)
    p.add_argument("--run-steps", type=int, default=None)
    p.add_argument("--save-minutes", type=float, default=15.0)
    p.add_argument("--dev-clips", type=int, default=16)
    p.add_argument("--dev-every", type=int, default=100)
    args = p.parse_args(argv)
    started = time.time()
    torch.set_num_threads(1)

    data = torch.load(args.checkpoint) if os.path.exists(args.checkpoint) else None
    if data is not None:
        settings = dict(data["settings"], root=args.root, clip_source=args.clip_source)
    else:
        settings = dict(seed=args.seed, steps=args.steps, workers=args.workers, clips_per_worker=args.clips_per_worker,
                        seconds=args.seconds, lr=args.lr, magnitude=args.magnitude, boundary=args.boundary,
                        model=dict(bands=args.bands, width=args.width,
                                   dilations=[int(d) for d in args.dilations.split(",")]),
                        root=args.root, clip_source=args.clip_source)
    torch.manual_seed(settings["seed"])
    model = B.BandNet(**settings["model"])
    if args.weights:
        if data is None:
            raise SystemExit(f"{args.checkpoint}: no checkpoint")
        torch.nn.utils.vector_to_parameters(dequantise(data["params"]), model.parameters())
        B.export(model, args.weights)
        log(f"weights of step {data['step']} written to {args.weights}")
        return
    params = torch.nn.utils.parameters_to_vector(model.parameters()).detach().clone().share_memory_()
    state = State(settings, params)
    if data is not None:
        state.unpack(data)
    workers = settings["workers"]
    grads = torch.zeros(workers, params.numel()).share_memory_()
    boundary = settings["boundary"]
    log(f"{B.count(model)} weights, reach {model.reach()} frames; step {state.step} of {settings['steps']}, "
        f"{workers} x {settings['clips_per_worker']} clips of {settings['seconds']} s per step")

    context = multiprocessing.get_context("fork")
    links = []
    for rank in range(workers):
        mine, theirs = context.Pipe()
        process = context.Process(target=worker, args=(rank, theirs, params, grads, settings), daemon=True)
        process.start()
        links.append((mine, process))

    def dev_figures():
        per = (args.dev_clips + workers - 1) // workers
        for rank, (conn, _) in enumerate(links):
            conn.send(("dev", list(range(rank * per, min(args.dev_clips, (rank + 1) * per)))))
        sums = sum(conn.recv() for conn, _ in links)
        sdr = 10 * torch.log10(sums[0] / sums[1].clamp_min(1e-30))
        return ", ".join(f"{name} {float(v):.2f} dB" for name, v in zip(STEMS, sdr))

    budget = args.budget_minutes * 60
    last_save = time.time()
    run_start_step = state.step
    stats = torch.zeros(4, dtype=torch.float64)
    counted = 0
    step_seconds = None
    try:
        if args.dev_clips and state.step == 0:
            log(f"dev at step 0: {dev_figures()}")
        while state.step < settings["steps"]:
            t0 = time.time()
            weight = magnitude_weight(settings, state.step)
            for conn, _ in links:
                conn.send(("step", state.step, weight))
            for conn, _ in links:
                stats += conn.recv()
            counted += workers * settings["clips_per_worker"]
            total = grads[0].clone()
            for rank in range(1, workers):
                total += grads[rank]
            norm = float(total.norm())
            if norm > 1.0:
                total *= 1.0 / norm
            t = state.step + 1
            state.m.mul_(BETA1).add_(total, alpha=1 - BETA1)
            state.v.mul_(BETA2).addcmul_(total, total, value=1 - BETA2)
            lr = learning_rate(settings, state.step)
            update = (state.m / (1 - BETA1 ** t)) / ((state.v / (1 - BETA2 ** t)).sqrt() + EPSILON)
            state.params.sub_(lr * update)
            state.step = t
            elapsed = time.time() - t0
            step_seconds = elapsed if step_seconds is None else 0.9 * step_seconds + 0.1 * elapsed
            if state.step % boundary and state.step < settings["steps"]:
                continue
            packed = state.round()
            mean = stats / max(1, counted)
            log(f"step {state.step}: SNR " + ", ".join(f"{n} {float(v):.2f}" for n, v in zip(STEMS, mean[:3])) +
                f" dB, magnitude {float(mean[3]):.4f}, lr {lr:.2e}, {step_seconds:.2f} s per step")
            stats.zero_()
            counted = 0
            if args.dev_clips and state.step % args.dev_every == 0:
                log(f"dev at step {state.step}: {dev_figures()}")
            done = state.step >= settings["steps"] or (
                args.run_steps is not None and state.step - run_start_step >= args.run_steps)
            out_of_time = time.time() - started + (boundary + 2) * step_seconds > budget
            if done or out_of_time or time.time() - last_save >= args.save_minutes * 60:
                save(args.checkpoint, packed)
                last_save = time.time()
                log(f"checkpoint of step {state.step} written to {args.checkpoint}")
            if done or out_of_time:
                break
    finally:
        for conn, process in links:
            try:
                conn.send(("stop",))
            except (BrokenPipeError, OSError):
                pass
        for _, process in links:
            process.join(timeout=10)


if __name__ == "__main__":
    main()
