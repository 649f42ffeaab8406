"""The song check measured on real recordings: false matches, found rate and speed.

    /usr/bin/python3 bench/song_check_measure.py --root DIR --bench build/bench/bench_song_check [--jobs 3]

Downloads the music packages that the separation's training uses (never the ones kept for the
engine's tests or an independent check), builds a catalogue of their tracks under root/catalogue
("package - track.<ext>", links to the unpacked files), and for every track cuts excerpts of 20, 45
and 90 s, each alone and under dialogue (espeak-ng lines with pauses) and effects (rain, a
waterfall or a noise bed, with knocks and splashes), the music 10-20 dB under the dialogue, all
through AAC at 256 kbit/s (48 kHz stereo) as the upload. Every excerpt is checked against the
whole catalogue by bench_song_check (pinned to one core per job) and counted:

- found: the excerpt reports its own track;
- false: the excerpt reports any other track.

Then a 2-hour soundtrack (mixed excerpts one after another) is checked on one core for the speed.

With --hold-out GAME[,GAME...] (the first word of a catalogue name: wesnoth, warzone2100, hedgewars,
supertux, etr, frozen-bubble, freedroidrpg) those games' tracks are left out of the catalogue: their
excerpts are music the catalogue does not hold, and any song they report is false. Holding out whole
games keeps out the material that tracks of one game share.
Versions of one piece (a track and its "_enhanced" or "old" version) count as the same recording;
naming a track of SHARED (pairs whose audio was measured to hold the same material over the
stretch named: waveform correlation 0.19-0.80 there, against at most 0.08 for unrelated tracks)
counts apart, as neither found nor false.
Writes root/results-<label>.json and prints the table.
"""

import argparse
import glob
import json
import multiprocessing
import os
import random
import re
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server", "engine", "training"))
from sources import FORBIDDEN, fetch as fetch_packages  # noqa: E402

RATE = 48000
LENGTHS = (20, 45, 90)
PACKAGES = ("wesnoth-1.16-music", "warzone2100-music", "hedgewars-data", "supertux-data", "extremetuxracer-data",
            "frozen-bubble-data", "freedroidrpg-data", "supertuxkart-data")
assert not any(FORBIDDEN.match(p) for p in PACKAGES)
G = "usr/share/games/"
MUSIC = (
    ("wesnoth", G + "wesnoth/1.16/data/core/music/*.ogg"),
    ("warzone2100", G + "warzone2100/music/albums/*/*.opus"),
    ("warzone2100", G + "warzone2100/music/*.opus"),
    ("hedgewars", G + "hedgewars/Data/Music/*.ogg"),
    ("supertux", G + "supertux2/music/*/*.ogg"),
    ("etr", G + "etr/music/*.ogg"),
    ("frozen-bubble", G + "frozen-bubble/snd/*zik*.ogg"),
    ("freedroidrpg", "usr/share/freedroidrpg/data/sound/music/*.ogg"),
    ("supertuxkart", G + "supertuxkart/data/music/*.ogg"),  # last, so that the others keep their numbers
)
BEDS = (G + "supertux2/sounds/rain.wav", G + "supertux2/sounds/waterfall.wav")
EVENTS = tuple(G + "supertux2/sounds/" + n for n in ("door.wav", "thud.ogg", "splash.wav", "wood.wav", "skid.wav",
                                                     "explosion.wav", "brick.wav", "squish.wav"))
LINES = (
    "I told you we should have left before the storm came in.",
    "Where were you last night? Nobody could find you anywhere.",
    "The bridge is out, so we will have to take the long road around.",
    "Keep your voice down, they can hear every word from the hall.",
    "If the money is not here by Friday, the deal is off.",
    "She said the letter arrived three days after he was gone.",
    "We have about ten minutes before the guards change shifts.",
    "Do you really think this old map is going to help us?",
    "I never wanted any of this, you have to believe me.",
    "Turn the lights off and wait for my signal by the door.",
    "The doctor says he will be fine, but he needs to rest.",
    "Why would anyone build a house this far from the village?",
    "Listen to me carefully, because I will only say it once.",
    "The last train leaves at midnight, and we are not on it.",
    "That is the strangest thing I have heard all week.",
    "Tell your brother the boat is ready whenever he is.",
)
VOICES = ("en-us", "en-gb", "en-gb-scotland", "en-us+f3", "en-gb+f2", "en-gb-x-rp", "en-us+m3", "en-gb-x-gbclan+f4")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def duration(path):
    out = run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
              capture_output=True, text=True).stdout.strip()
    try:
        return float(out)
    except ValueError:
        return 0.0


SHARED = {frozenset(pair) for pair in (
    ("warzone2100/track15", "warzone2100/track10"), ("warzone2100/track7", "warzone2100/track19"),
    ("supertux/call_of_the_winding_path", "supertux/shallow-green"),
    ("freedroidrpg/AmbientBattle", "freedroidrpg/TechBattle"), ("freedroidrpg/HellFortressTwo", "freedroidrpg/HellFortressEntrance"))}


def piece(name):
    """Versions of one piece share this key."""
    return re.sub(r"(_enhanced|[-_]old)$", "", name)


def build_catalogue(root, unpacked, held_out=()):
    folder = os.path.join(root, "catalogue" + "".join("-without-" + g for g in sorted(held_out)))
    os.makedirs(folder, exist_ok=True)
    known = os.path.join(root, "durations.json")
    durations = json.load(open(known)) if os.path.exists(known) else {}
    tracks = []
    for package, pattern in MUSIC:
        for path in sorted(glob.glob(os.path.join(unpacked, pattern))):
            stem, ext = os.path.splitext(os.path.basename(path))
            album = os.path.basename(os.path.dirname(path))
            title = stem if package != "warzone2100" else album.split("_")[0] + " " + stem
            seconds = durations.get(path) or duration(path)
            durations[path] = seconds
            if seconds < 20:
                continue
            track = {"artist": package, "title": title, "path": path, "seconds": seconds,
                     "piece": package + "/" + piece(stem), "held": package not in held_out}
            tracks.append(track)
            if not track["held"]:
                continue
            link = os.path.join(folder, f"{package} - {title}{ext}")
            if not os.path.lexists(link):
                os.symlink(path, link)
    with open(known, "w") as f:
        json.dump(durations, f)
    return folder, tracks


def decode(path, start=0.0, seconds=None, rate=RATE):
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-ss", f"{start:.3f}", "-i", path]
    if seconds:
        cmd += ["-t", f"{seconds:.3f}"]
    cmd += ["-f", "f32le", "-ac", "2", "-ar", str(rate), "-"]
    out = run(cmd, capture_output=True).stdout
    return np.frombuffer(out, dtype="<f4").reshape(-1, 2).T.copy()


def speech_pool(root):
    folder = os.path.join(root, "speech")
    os.makedirs(folder, exist_ok=True)
    pool = []
    for i, line in enumerate(LINES):
        for j, voice in enumerate(VOICES[i % 3::3]):
            wav = os.path.join(folder, f"line{i}-{j}.wav")
            if not os.path.exists(wav):
                run(["espeak-ng", "-v", voice, "-s", str(150 + 10 * (i % 4)), "-w", wav, line])
            pool.append(decode(wav)[0])
    return pool


def rms(x):
    return float(np.sqrt(np.mean(np.square(x)))) if x.size else 0.0


def dialogue_track(rng, pool, n):
    out = np.zeros(n, dtype=np.float32)
    active = np.zeros(n, dtype=bool)
    at = int(rng.uniform(0.2, 1.5) * RATE)
    while at < n:
        line = pool[rng.integers(len(pool))]
        end = min(n, at + line.size)
        out[at:end] += line[:end - at] / max(1e-6, rms(line))
        active[at:end] = True
        at = end + int(rng.uniform(0.5, 2.5) * RATE)
    return out, active


def effects_track(rng, unpacked, n):
    choice = rng.integers(3)
    if choice < 2:
        bed = decode(os.path.join(unpacked, BEDS[choice]))
        reps = int(np.ceil(n / bed.shape[1]))
        bed = np.tile(bed, reps)[:, :n]
    else:  # pink noise, a little different in each channel
        spectrum = np.fft.rfft(rng.standard_normal((2, n)), axis=1)
        spectrum /= np.sqrt(np.maximum(np.arange(spectrum.shape[1]), 1))[None, :]
        bed = np.fft.irfft(spectrum, n, axis=1).astype(np.float32)
    bed = bed / max(1e-6, rms(bed))
    at = int(rng.uniform(1, 4) * RATE)
    while at < n:
        event = decode(os.path.join(unpacked, EVENTS[rng.integers(len(EVENTS))]))
        end = min(n, at + event.shape[1])
        bed[:, at:end] += event[:, :end - at] / max(1e-6, float(np.abs(event).max())) * 3.0
        at = end + int(rng.uniform(2, 7) * RATE)
    return bed


def encode(signal, path):
    pcm = np.clip(signal.T, -1, 1).astype("<f4").tobytes()
    run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "f32le", "-ac", "2", "-ar", str(RATE), "-i", "-",
         "-c:a", "aac", "-b:a", "256k", path], input=pcm)


_POOL = []


def _set_pool(pool):
    _POOL[:] = pool


def make_excerpt(job):
    """The longest excerpt is mixed and encoded; the shorter ones are its beginning, cut without
    encoding again."""
    paths, track, start, length, mixed, seed, unpacked = job
    pool = _POOL
    rng = np.random.default_rng(seed)
    level = float(rng.uniform(10, 20))  # music under the dialogue, dB
    path = paths[length]
    if not os.path.exists(path):
        music = decode(track["path"], start, length)
        if mixed:
            n = music.shape[1]
            speech, _ = dialogue_track(rng, pool, n)
            dialogue_level = 0.1
            speech *= dialogue_level
            music = music / max(1e-6, rms(music)) * dialogue_level * 10 ** (-level / 20)
            effects = effects_track(rng, unpacked, n) * dialogue_level * 10 ** (-rng.uniform(12, 18) / 20)
            signal = music + effects + np.stack([speech, speech])
            peak = float(np.abs(signal).max())
            if peak > 0.98:
                signal *= 0.98 / peak
        else:
            signal = music
        encode(signal, path + ".part.m4a")
        os.replace(path + ".part.m4a", path)
    for shorter, target in paths.items():
        if shorter < length and not os.path.exists(target):
            run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", path, "-t", str(shorter), "-c", "copy", target + ".part.m4a"])
            os.replace(target + ".part.m4a", target)
    return level


def make_excerpts(root, unpacked, tracks, pool, jobs, seed=0):
    folder = os.path.join(root, "excerpts")
    os.makedirs(folder, exist_ok=True)
    excerpts, work = [], []
    for index, track in enumerate(tracks):
        lengths = [length for length in LENGTHS if track["seconds"] >= length]
        longest = lengths[-1]
        draw = [index, longest] + ([seed] if seed else [])
        start = float(np.random.default_rng(draw).uniform(0, track["seconds"] - longest))
        for mixed in (False, True):
            paths = {length: os.path.join(folder, f"{index:03d}-{length}-{'mix' if mixed else 'alone'}.m4a") for length in lengths}
            work.append((paths, track, start, longest, mixed, draw + [int(mixed)], unpacked))
            for length in lengths:
                excerpts.append({"track": index, "length": length, "mixed": mixed, "path": paths[length], "start": start,
                                 "work": len(work) - 1})
    with multiprocessing.Pool(jobs, initializer=_set_pool, initargs=(pool,)) as workers:
        levels = workers.map(make_excerpt, work, chunksize=1)
    for e in excerpts:
        e["level"] = levels[e.pop("work")] if e["mixed"] else None
    return excerpts


def check(bench, catalogue, paths, jobs):
    """{path: result line} from bench_song_check, `jobs` processes each pinned to one core."""
    chunks = [paths[i::jobs] for i in range(jobs)]
    procs = []
    for i, chunk in enumerate(chunks):
        procs.append(subprocess.Popen(["taskset", "-c", str(i), bench, catalogue], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True))
        procs[-1].stdin.write("\n".join(chunk) + "\n")
        procs[-1].stdin.close()
    results = {}
    for p in procs:
        lines = p.stdout.read().splitlines()
        p.wait()
        for line in lines[1:]:
            record = json.loads(line)
            results[record["file"]] = record
    return results


def long_soundtrack(root, excerpts, minutes=120):
    path = os.path.join(root, f"soundtrack-{minutes}min.m4a")
    if os.path.exists(path):
        return path
    mixes = [e["path"] for e in excerpts if e["mixed"] and e["length"] == 90]
    random.Random(5).shuffle(mixes)
    mixes = mixes[:int(np.ceil(minutes * 60 / 90))]
    listing = os.path.join(root, "soundtrack.txt")
    with open(listing, "w") as f:
        for m in mixes:
            f.write(f"file '{m}'\n")
    run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "concat", "-safe", "0", "-i", listing, "-t", str(minutes * 60),
         "-c:a", "aac", "-b:a", "256k", path + ".part.m4a"])
    os.replace(path + ".part.m4a", path)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--bench", required=True)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--label", default="current")
    parser.add_argument("--no-speed", action="store_true")
    parser.add_argument("--prepare-only", action="store_true")
    parser.add_argument("--hold-out", default="", help="games left out of the catalogue, comma-separated")
    parser.add_argument("--seed", type=int, default=0, help="another draw of excerpts (use another root)")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    unpacked = fetch_packages(root, PACKAGES)
    held_out = {g for g in args.hold_out.split(",") if g}
    catalogue, tracks = build_catalogue(root, unpacked, held_out)
    assert held_out <= {t["artist"] for t in tracks}, "unknown game to hold out"
    pool = speech_pool(root)
    excerpts = make_excerpts(root, unpacked, tracks, pool, args.jobs, args.seed)
    if args.prepare_only:
        long_soundtrack(root, excerpts)
        return

    # Load (and cache) the catalogue once before timing anything; a track the engine cannot
    # decode is not in the catalogue and is left out.
    check(args.bench, catalogue, [], 1)
    loaded = {i for i, t in enumerate(tracks)
              if not t["held"] or os.path.exists(os.path.join(catalogue, f"{t['artist']} - {t['title']}{os.path.splitext(t['path'])[1]}.hffp"))}
    for i, t in enumerate(tracks):
        if i not in loaded:
            print(f"not in the catalogue (does not decode): {t['artist']} - {t['title']}")
    excerpts = [e for e in excerpts if e["track"] in loaded]
    started = time.time()
    results = check(args.bench, catalogue, [e["path"] for e in excerpts], args.jobs)
    wall = time.time() - started
    by_name = {(t["artist"], t["title"]): i for i, t in enumerate(tracks)}
    rows = {}
    false_examples = []
    checked = []
    for e in excerpts:
        record = results[e["path"]]
        own = tracks[e["track"]]["piece"]
        found_ids = [by_name.get((s["artist"], s["title"])) for s in record.get("songs", [])]
        found = any(i is not None and tracks[i]["piece"] == own for i in found_ids)
        others = [s for s, i in zip(record.get("songs", []), found_ids) if i is None or tracks[i]["piece"] != own]
        shared = [s for s, i in zip(record.get("songs", []), found_ids) if i is not None and frozenset((own, tracks[i]["piece"])) in SHARED]
        others = [s for s in others if s not in shared]
        if not tracks[e["track"]]["held"]:
            others, shared = record.get("songs", []), []
        key = (e["length"], e["mixed"], tracks[e["track"]]["held"])
        row = rows.setdefault(key, {"excerpts": 0, "found": 0, "false": 0, "shared": 0, "seconds": 0.0})
        row["excerpts"] += 1
        row["found"] += found
        row["false"] += bool(others)
        row["shared"] += bool(shared)
        row["seconds"] += record["seconds"]
        checked.append({"excerpt": os.path.basename(e["path"]), "held": tracks[e["track"]]["held"],
                        "songs": [dict(s, own=i is not None and tracks[i]["piece"] == own)
                                  for s, i in zip(record.get("songs", []), found_ids)]})
        if others:
            false_examples.append({"excerpt": os.path.basename(e["path"]), "track": tracks[e["track"]]["title"],
                                   "reported": [(s["artist"] + " - " + s["title"], s["score"], s["stretches"]) for s in others]})
    report = {"label": args.label, "catalogue": sum(tracks[i]["held"] for i in loaded), "held_out": sorted(held_out),
              "wall": wall, "rows": [{"length": k[0], "mixed": k[1], "held": k[2], **v} for k, v in sorted(rows.items())],
              "false": false_examples, "checked": checked}
    if not args.no_speed:
        soundtrack = long_soundtrack(root, excerpts)
        record = check(args.bench, catalogue, [soundtrack], 1)[soundtrack]
        report["soundtrack"] = {"seconds": record["seconds"], "songs": len(record.get("songs", [])),
                                "minutes": duration(soundtrack) / 60}
    with open(os.path.join(root, f"results-{args.label}.json"), "w") as f:
        json.dump(report, f, indent=1)
    print(f"catalogue: {report['catalogue']} recordings; label {args.label}; held out: {', '.join(sorted(held_out)) or 'none'}")
    print("| excerpt | excerpts | found | excerpts reporting another recording | naming one sharing material | CPU s per excerpt |")
    print("|---|---|---|---|---|---|")
    for r in report["rows"]:
        found = f"{100 * r['found'] / r['excerpts']:.1f} %" if r["held"] else "(held out)"
        print(f"| {r['length']} s {'under dialogue' if r['mixed'] else 'alone'}{'' if r['held'] else ', held out'} | "
              f"{r['excerpts']} | {found} | {r['false']} | {r['shared']} | {r['seconds'] / r['excerpts']:.3f} |")
    if "soundtrack" in report:
        s = report["soundtrack"]
        print(f"2-hour soundtrack ({s['minutes']:.1f} min): {s['seconds']:.1f} CPU s on one core, {s['songs']} songs reported")
    for example in false_examples[:15]:
        print("false:", example)


if __name__ == "__main__":
    main()
