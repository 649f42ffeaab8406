"""The song check after cleaning, on the engine's measuring sets: is each case's music still heard?

    /usr/bin/python3 bench/song_check_clean.py --build build --out DIR [--sets film-dev,recordings-dev]

Runs the film and recordings tests (test_engine_film, test_engine_recordings) with their cases
written out (HF_FILM_DUMP, HF_RECORDINGS_DUMP), puts every
case's music, as it was mixed, in a catalogue of its own (once per distinct recording), and checks
each case as the server checks a cleaning, with bench_song_check: the songs found in the case's
mix (a case whose piece is mixed into another case too may find that case's copy), then what became of each in the stems: heard in the dialogue stem alone (the clean mix at
ambience 0 %) is "stillThere", heard only in dialogue + effects (the clean mix at 100 %) is
"ambienceZero", heard in neither is "gone". Sets: film, film-dev, recordings, recordings-dev,
recordings-second. Prints a line per case and the counts, and writes DIR/song-check.json.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

import numpy as np

SETS = {
    "film": ("test_engine_film", "HF_FILM_DUMP", {}),
    "film-dev": ("test_engine_film", "HF_FILM_DUMP", {"HF_FILM_SET": "dev"}),
    "recordings": ("test_engine_recordings", "HF_RECORDINGS_DUMP", {}),
    "recordings-dev": ("test_engine_recordings", "HF_RECORDINGS_DUMP", {"HF_RECORDINGS_SET": "dev"}),
    "recordings-second": ("test_engine_recordings", "HF_RECORDINGS_DUMP", {"HF_RECORDINGS_SET": "second"}),
}


def rms_of(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-f", "f32le", "-"], capture_output=True, check=True)
    x = np.frombuffer(out.stdout, "<f4")
    return float(np.sqrt(np.mean(np.square(x, dtype=np.float64)))) if x.size else 0.0


def dump_cases(build, out, name):
    test, variable, env = SETS[name]
    folder = os.path.join(out, "cases", name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    run_env = dict(os.environ, **env, **{variable: folder, "HF_TEST_OUTPUT": os.path.join(out, "test-output", name)})
    done = subprocess.run([os.path.join(build, "tests", "server", test)], env=run_env, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stdout[-2000:], done.stderr[-2000:], file=sys.stderr)
        sys.exit(f"{test} failed for the set {name}")
    return [os.path.join(folder, case) for case in sorted(os.listdir(folder))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", required=True)
    parser.add_argument("--sets", default="film-dev,recordings-dev")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    catalogue = os.path.join(args.out, "catalogue")
    shutil.rmtree(catalogue, ignore_errors=True)
    os.makedirs(catalogue)

    cases, songs = [], {}
    for name in args.sets.split(","):
        for case in dump_cases(args.build, args.out, name):
            music = os.path.join(case, "music.wav")
            title = None
            if rms_of(music) > 1e-4:
                with open(music, "rb") as f:
                    digest = hashlib.sha1(f.read()).hexdigest()
                title = songs.setdefault(digest, f"{name} {os.path.basename(case)}")
                link = os.path.join(catalogue, f"Case - {title}.wav")
                if not os.path.exists(link):
                    os.symlink(music, link)
            cases.append({"set": name, "case": os.path.basename(case), "folder": case, "song": title})

    lines = "".join(f"{c['folder']}/mix.wav\t{c['folder']}/stem-dialogue.wav\t{c['folder']}/stem-effects.wav\n" for c in cases)
    done = subprocess.run([os.path.join(args.build, "bench", "bench_song_check"), catalogue], input=lines,
                          capture_output=True, text=True, check=True)
    answers = [json.loads(line) for line in done.stdout.splitlines()[1:]]
    counts = {"with music": 0, "found in the mix": 0, "heard at 0 %": 0, "heard at 100 %": 0}
    for case, answer in zip(cases, answers):
        case["found"] = [s["title"] for s in answer.get("songs", [])]
        case["verdicts"] = {v["title"]: v["verdict"] for v in answer.get("verdicts", [])}
        case["error"] = answer.get("error")
        # The catalogue holds only the cases' music: any song found is this case's piece (or the
        # same piece as mixed into another case).
        if case["song"]:
            verdicts = set(case["verdicts"].values())
            counts["with music"] += 1
            counts["found in the mix"] += bool(verdicts)
            counts["heard at 0 %"] += "stillThere" in verdicts
            counts["heard at 100 %"] += bool(verdicts & {"stillThere", "ambienceZero"})
        print(f"{case['set']:16} {case['case'][:48]:48} song: {'yes' if case['song'] else 'no ':3}  "
              f"verdicts: {case['verdicts'] or '-'}{'  error: ' + case['error'] if case['error'] else ''}")
    print("; ".join(f"{k}: {v}" for k, v in counts.items()))
    with open(os.path.join(args.out, "song-check.json"), "w") as f:
        json.dump({"counts": counts, "cases": cases}, f, indent=1)


if __name__ == "__main__":
    main()
