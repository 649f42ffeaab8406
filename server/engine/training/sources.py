"""The recorded sounds the network is trained on: voices, music and effects from Debian packages.

    /usr/bin/python3 sources.py --root DIR      (fetches, unpacks and decodes; prints what it found)

`fetch(root)` downloads the packages below with `apt-get download` and unpacks them under
root/unpacked (no installation, no root needed beyond what apt-get download asks); `catalogue(root)`
decodes every chosen file once to 44.1 kHz stereo int16 under root/decoded and lists them by role.

The packages are split from the engine's test sets by package, never by clip: none of the test
sets' packages (asterisk-core-sounds-fr/it/ru, asterisk-prompt-es-co, asc-music, ufoai-sound,
colobot-common-sounds; the second held-out set's ktuberling-data, warmux-data, singularity-music,
widelands-data, hyperrogue-music, unknown-horizons) and none of the packages kept for an
independent check (asterisk-core-sounds-en-*, fillets-ng-data*, fretsonfire-songs-*,
lincity-ng-data, megaglest-data, openarena-data, tuxpaint-data, 0ad-data*, drascula-music,
gcompris-qt-data, openttd-opensfx, flightgear-data-base, beneath-a-steel-sky,
flight-of-the-amazon-queen) is used here.
"""

import argparse
import fnmatch
import glob
import multiprocessing
import os
import re
import subprocess
import zipfile

import numpy as np

SR = 44100
PACKAGES = (
    "asterisk-core-sounds-es-g722", "asterisk-prompt-fr-armelle", "klettres-data", "hedgewars-data",
    "redeclipse-data", "warzone2100-data", "warzone2100-music", "wesnoth-1.16-music", "wesnoth-1.16-data",
    "supertux-data", "supertuxkart-data", "freedroidrpg-data", "frozen-bubble-data", "extremetuxracer-data",
    "minetest-data", "pingus-data", "scorched3d-data", "sonic-pi-samples", "trigger-rally-data", "bucklespring-data",
)
FORBIDDEN = re.compile(r"^(asterisk-core-sounds-(en|fr|it|ru)|asterisk-prompt-es-co|asc-music|ufoai-sound|"
                       r"colobot-common-sounds|fillets-ng-data|fretsonfire-songs|lincity-ng-data|megaglest-data|"
                       r"openarena-data|tuxpaint-data|ktuberling-data|warmux-data|singularity-music|widelands-data|"
                       r"hyperrogue-music|unknown-horizons|0ad-data|drascula-music|gcompris-qt-data|openttd-opensfx|"
                       r"flightgear-data-base|beneath-a-steel-sky|flight-of-the-amazon-queen)")
assert not any(FORBIDDEN.match(p) for p in PACKAGES)

G = "usr/share/games/"
# Games that keep their sounds in a zip archive: these members are unpacked beside it, under unpacked/.
ARCHIVES = {
    G + "warzone2100/base.wz": ("audio/memressp/*.ogg", "audio/sfx/*.ogg"),
    G + "trigger-rally/data.zip": ("sounds/*.wav",),
}
S3D = G + "scorched3d/data/globalmods/"
SPI = "usr/share/sonic-pi/samples/"
TRIGGER = G + "trigger-rally/unpacked/sounds/"

# (role, kind, pattern relative to root/unpacked). Roles: "voice" (a spoken line or word), "music",
# "bed" (a steady sound, looped), "event" (a sound that starts and ends). Game sounds that are
# musical (jingles, notes, fanfares, drums), sung or cried out by a voice are left out.
RULES = (
    ("voice", "prompt", "usr/share/asterisk/sounds/es_MX_f_Allison/*.g722"),
    ("voice", "prompt", "usr/share/asterisk/sounds/fr/*.gsm"),
    ("voice", "syllable", "usr/share/klettres/*/syllab/*.ogg"),
    ("voice", "syllable", "usr/share/klettres/*/alpha/*.ogg"),
    ("voice", "shout", G + "hedgewars/Data/Sounds/voices/[!SR]*/[!FJOPU]*.ogg"),
    ("voice", "shout", G + "redeclipse/data/sounds/voice/[dghlnsty]*.ogg"),
    ("voice", "radio", G + "redeclipse/data/sounds/announcer/*.ogg"),
    ("voice", "radio", G + "warzone2100/unpacked/audio/memressp/*/*.ogg"),
    ("voice", "prompt", "usr/share/freedroidrpg/data/sound/effects/tux_ingame_comments/*.ogg"),
    ("voice", "radio", TRIGGER + "codriver/*/*.wav"),
    ("music", "track", G + "wesnoth/1.16/data/core/music/*.ogg"),
    ("music", "track", G + "warzone2100/music/albums/*/*.ogg"),
    ("music", "track", G + "hedgewars/Data/Music/*.ogg"),
    ("music", "track", G + "supertux2/music/*/*.ogg"),
    ("music", "track", G + "supertuxkart/data/music/*.ogg"),
    ("music", "track", G + "redeclipse/data/sounds/music/*.ogg"),
    ("music", "track", G + "etr/music/*.ogg"),
    ("music", "track", G + "frozen-bubble/snd/*zik*.ogg"),
    ("music", "track", "usr/share/freedroidrpg/data/sound/music/*.ogg"),
    ("music", "track", S3D + "none/data/music/*.ogg"),
    ("bed", "sea", S3D + "none/data/wav/misc/oceanwaves.wav"),
    ("bed", "rain", S3D + "none/data/wav/misc/rain.wav"),
    ("bed", "traffic", S3D + "apoc/data/wav/misc/citysounds.wav"),
    ("bed", "crowd", S3D + "apoc/data/wav/misc/cheeringloop.wav"),
    ("bed", "machine", S3D + "apoc/data/wav/misc/factoryloop1.wav"),
    ("bed", "machine", S3D + "none/data/wav/misc/lava[12].wav"),
    ("bed", "machine", SPI + "loop_3d_printer.flac"),
    ("bed", "machine", TRIGGER + "engine.wav"),
    ("bed", "machine", TRIGGER + "gravel.wav"),
    ("bed", "wind", TRIGGER + "wind.wav"),
    ("bed", "nature", S3D + "none/data/wav/misc/birds[12].wav"),
    ("bed", "nature", S3D + "none/data/wav/misc/frogs.wav"),
    ("bed", "wind", G + "redeclipse/data/sounds/ambience/*wind*.ogg"),
    ("bed", "water", G + "redeclipse/data/sounds/ambience/[crw]*[!d].ogg"),
    ("bed", "water", G + "supertuxkart/data/sfx/*_loop*.ogg"),
    ("bed", "water", G + "supertux2/sounds/waterfall.wav"),
    ("bed", "water", G + "minetest/games/minetest_game/mods/env_sounds/sounds/env_sounds_water*.ogg"),
    ("bed", "rain", G + "supertuxkart/data/sfx/rain.ogg"),
    ("bed", "rain", G + "supertux2/sounds/rain.wav"),
    ("bed", "fire", G + "redeclipse/data/sounds/ambience/fire.ogg"),
    ("bed", "fire", G + "minetest/games/minetest_game/mods/fire/sounds/fire_[fls]*.ogg"),
    ("bed", "fire", G + "wesnoth/1.16/data/core/sounds/ambient/campfire.ogg"),
    ("bed", "nature", G + "redeclipse/data/sounds/ambience/forest*.ogg"),
    ("bed", "nature", G + "redeclipse/data/sounds/ambience/[cn]*c[ak]*s.ogg"),
    ("bed", "nature", G + "wesnoth/1.16/data/core/sounds/ambient/[bmn]*.ogg"),
    ("bed", "nature", G + "supertuxkart/data/sfx/exotic-birds*.ogg"),
    ("bed", "traffic", G + "redeclipse/data/sounds/ambience/distant_cars.ogg"),
    ("bed", "machine", G + "redeclipse/data/sounds/ambience/[hm]*.ogg"),
    ("bed", "machine", G + "redeclipse/data/sounds/ambience/lava*.ogg"),
    ("bed", "machine", G + "supertuxkart/data/sfx/engine_*.ogg"),
    ("bed", "machine", G + "minetest/games/minetest_game/mods/carts/sounds/*.ogg"),
    ("bed", "crowd", G + "supertuxkart/data/sfx/lenautile_restaurant.ogg"),
    ("bed", "crowd", G + "frozen-bubble/snd/applause.ogg"),
    ("bed", "ship", G + "wesnoth/1.16/data/core/sounds/ambient/ship.ogg"),
    ("event", "steps", G + "minetest/games/minetest_game/mods/default/sounds/*footstep*.ogg"),
    ("event", "steps", G + "hedgewars/Data/Sounds/steps.ogg"),
    ("event", "steps", "usr/share/freedroidrpg/data/sound/effects/tux_footstep.ogg"),
    ("event", "steps", G + "wesnoth/1.16/data/core/sounds/horse-*canter.wav"),
    ("event", "door", G + "minetest/games/minetest_game/mods/doors/sounds/*.ogg"),
    ("event", "door", G + "minetest/games/minetest_game/mods/xpanes/sounds/*.ogg"),
    ("event", "door", G + "minetest/games/minetest_game/mods/default/sounds/default_chest_*.ogg"),
    ("event", "door", G + "supertux2/sounds/door.wav"),
    ("event", "door", G + "redeclipse/data/sounds/ambience/door.ogg"),
    ("event", "door", SPI + "perc_door.flac"),
    ("event", "handling", "usr/share/buckle/wav/*.wav"),
    ("event", "handling", SPI + "perc_[st]*.flac"),
    ("event", "handling", TRIGGER + "gear.wav"),
    *(("event", "animal", S3D + f"*/data/wav/misc/{name}.wav")
      for name in ("cows", "dog*", "moo", "rooster", "sheep", "bats[0-9]", "birdchirp[0-9]", "gull[0-9]", "wolf")),
    ("event", "animal", SPI + "misc_crow.flac"),
    ("event", "thunder", S3D + "*/data/wav/*/thunder*.wav"),
    ("event", "thunder", S3D + "apoc/data/wav/explosions/[lq]*.wav"),
    ("event", "explosion", S3D + "*/data/wav/explosions/*.wav"),
    ("event", "explosion", SPI + "misc_cineboom.flac"),
    ("event", "explosion", G + "wesnoth/1.16/data/core/sounds/explosion.ogg"),
    ("event", "explosion", G + "minetest/games/minetest_game/mods/tnt/sounds/*.ogg"),
    ("event", "handling", G + "minetest/games/minetest_game/mods/default/sounds/default_[dgpt]*.ogg"),
    ("event", "handling", G + "minetest/games/minetest_game/mods/default/sounds/default_break_glass*.ogg"),
    ("event", "handling", "usr/share/freedroidrpg/data/sound/effects/[GOs]*.ogg"),
    ("event", "handling", G + "etr/sounds/*.wav"),
    ("event", "handling", G + "pingus/data/sounds/[cdps]*.wav"),
    # Vehicles before the broad impact patterns, which would take their files first.
    ("event", "vehicle", G + "supertuxkart/data/sfx/car_*.ogg"),
    ("event", "vehicle", G + "supertuxkart/data/sfx/airplane*.ogg"),
    ("event", "vehicle", G + "supertuxkart/data/sfx/skid.ogg"),
    *(("event", "vehicle", S3D + f"*/data/wav/misc/{name}.wav")
      for name in ("carhorn[0-9]", "cessna", "helicopter", "apache_1", "f1[68]_[0-9]", "jet", "t38", "policecar",
                   "firetruck", "rocket")),
    ("event", "vehicle", S3D + "none/data/wav/movement/tankmove.wav"),
    ("event", "impact", S3D + "*/data/wav/shoot/[lmst][!a]*.wav"),
    ("event", "impact", S3D + "none/data/wav/misc/splash.wav"),
    ("event", "impact", SPI + "perc_impact*.flac"),
    ("event", "impact", TRIGGER + "bang.wav"),
    ("event", "impact", G + "wesnoth/1.16/data/core/sounds/[abcdfhkmst]*[!0-9e].ogg"),
    ("event", "impact", G + "wesnoth/1.16/data/core/sounds/explosion.ogg"),
    ("event", "impact", G + "supertuxkart/data/sfx/[abcehmsw]*[!n].ogg"),
    ("event", "impact", G + "supertux2/sounds/[bcefklsw]*.wav"),
    ("event", "impact", G + "hedgewars/Data/Sounds/[a-z]*.ogg"),
    ("event", "impact", G + "redeclipse/data/sounds/weapons/*/*.ogg"),
    ("event", "impact", G + "warzone2100/unpacked/audio/sfx/*/*.ogg"),
    ("event", "impact", G + "minetest/games/minetest_game/mods/tnt/sounds/*.ogg"),
    ("event", "thunder", G + "supertuxkart/data/sfx/thunder.ogg"),
    ("event", "thunder", G + "supertux2/sounds/thunder.wav"),
    ("event", "thunder", G + "wesnoth/1.16/data/core/sounds/rumble.ogg"),
)
# Musical, sung or spoken game sounds that the broad patterns above would take in.
EXCLUDE = re.compile(r"(countdown|fanfare|victory|finish|intro|start_race|gp_end|energy_bar|goal|lifeup|"
                     r"invincible|tada|welldone|excellent|savebell|upgrade|coin|gnu_flute|hogchant|valkyries|"
                     r"yoohoo|whistle|hellish|custom|extratime|suddendeath|homerun|invulnerable|lowgravity|"
                     r"wilhelm|ugh|wee|yipee|letsgo|ohno|goodidea|grunts|beep|bzzt|boing|portal|warp|static|"
                     r"sara_airport|/(grow|pop|lifeup)\.|_pa\.|horn\.ogg|/[1-9][a-g]\.ogg|"
                     r"[-_](die|hit|laugh|scream|growl)|/(groan|wail|ugg))", re.I)


def fetch(root, packages=PACKAGES):
    """Downloads and unpacks the packages (again only where missing); returns where they unpacked."""
    refuse_forbidden(packages)
    debs = os.path.join(root, "debs")
    unpacked = os.path.join(root, "unpacked")
    os.makedirs(debs, exist_ok=True)
    os.makedirs(unpacked, exist_ok=True)
    refuse_forbidden(os.listdir(debs))  # a folder shared with the test sets' packages would mix them in
    for package in packages:
        if any(name.startswith(package + "_") for name in os.listdir(debs)):
            continue
        subprocess.run(["apt-get", "download", "-q", package], cwd=debs, check=True)
    for name in sorted(os.listdir(debs)):
        stamp = os.path.join(unpacked, "." + name)
        if not os.path.exists(stamp):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, name), unpacked], check=True)
            open(stamp, "w").close()
    for archive, members in ARCHIVES.items():
        archive = os.path.join(unpacked, archive)
        target = os.path.join(os.path.dirname(archive), "unpacked")
        if os.path.exists(archive) and not os.path.exists(os.path.join(target, ".done")):
            with zipfile.ZipFile(archive) as z:
                for member in z.namelist():
                    if any(fnmatch.fnmatch(member, p) for p in members):
                        z.extract(member, target)
            open(os.path.join(target, ".done"), "w").close()
    return unpacked


def refuse_forbidden(names):
    """Raises where a package kept for the engine's tests or an independent check is among names
    (package names or .deb file names)."""
    held = sorted(n for n in names if FORBIDDEN.match(os.path.basename(n)))
    if held:
        raise ValueError("packages kept out of training: " + ", ".join(held))


def _input_options(path):
    ext = os.path.splitext(path)[1]
    return {".g722": ["-f", "g722"], ".gsm": ["-f", "gsm"]}.get(ext, [])


def decode(path, seconds=None, channels=2):
    """The file as float32 (channels, samples) at 44.1 kHz; a mono file fills every channel."""
    cmd = ["ffmpeg", "-v", "error", "-nostdin"] + _input_options(path) + ["-i", path]
    if seconds:
        cmd += ["-t", str(seconds)]
    cmd += ["-f", "f32le", "-ac", str(channels), "-ar", str(SR), "-"]
    out = subprocess.run(cmd, capture_output=True, check=True).stdout
    return np.frombuffer(out, dtype="<f4").reshape(-1, channels).T.copy()


MUSIC_SECONDS = 150  # of every track: enough variety, bounded memory


def _decode_one(job):
    path, cached, role = job
    if not os.path.exists(cached):
        try:
            x = decode(path, MUSIC_SECONDS if role == "music" else 60)
        except subprocess.CalledProcessError:
            return None
        peak = float(np.abs(x).max()) if x.size else 0.0
        if x.shape[1] < SR // 10 or peak < 1e-4:
            return None
        x = np.round(x / peak * 32000).astype("<i2")
        np.save(cached + ".part.npy", x)
        os.replace(cached + ".part.npy", cached)
    return cached


def catalogue(root, jobs=os.cpu_count()):
    """{role: {kind: [decoded .npy paths]}} of every chosen file that decodes."""
    unpacked = os.path.join(root, "unpacked")
    decoded = os.path.join(root, "decoded")
    os.makedirs(decoded, exist_ok=True)
    work, seen = [], set()
    for role, kind, pattern in RULES:
        for path in sorted(glob.glob(os.path.join(unpacked, pattern))):
            rel = os.path.relpath(path, unpacked)
            if rel in seen or EXCLUDE.search("/" + rel):
                continue
            seen.add(rel)
            cached = os.path.join(decoded, rel.replace("/", "__") + ".npy")
            work.append((role, kind, (path, cached, role)))
    with multiprocessing.Pool(jobs) as pool:
        results = pool.map(_decode_one, [w[2] for w in work], chunksize=8)
    out = {}
    for (role, kind, _), cached in zip(work, results):
        if cached:
            out.setdefault(role, {}).setdefault(kind, []).append(cached)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    fetch(args.root)
    cat = catalogue(args.root)
    for role, kinds in sorted(cat.items()):
        print(role, ", ".join(f"{k} {len(v)}" for k, v in sorted(kinds.items())))


if __name__ == "__main__":
    main()
