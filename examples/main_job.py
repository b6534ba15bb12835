"""The main job: the whole toolkit on a generated injection experiment.

1. Generates (once) the experiment under demo/drives: oil invading a
   water-filled porous medium, filmed as three consecutive camcorder files
   (H.264 in MPEG-TS, 1280x720, 25 fps, 65 s each) in the folder the batch
   driver reads from drive I:, and twelve .tiff stills (1600x900) of a second
   run in the folder it reads from drive F:.
2. Imports Orbisk with ORBISK_DRIVE_ROOT=demo/drives, so that its fixed batch
   job writes X50.mp4 and the Capture stills next to the videos, and 000.mp4
   and the "Capture Crop" images next to the stills. Its printed progress
   goes to demo/driver-log.txt.
3. Runs the fluidlab command on the recording, as a researcher types it:
   ``fluidlab info`` (the files and their clocks), ``fluidlab analyse`` (a
   frame every 5 s, oil and water separated with examples/phases.toml, into
   demo/analysis: areas.csv, areas.png and the overlays) and ``fluidlab
   timelapse --clock`` (demo/timelapse.mp4, a frame every 2 s with its time).
4. Checks the measured oil areas against the generator's truth.
"""
import contextlib
import csv
import os
import shlex
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import experiment  # noqa: E402

DEMO = os.path.normpath(os.path.join(HERE, os.pardir, "demo"))
DRIVES = os.path.join(DEMO, "drives")
VIDEO_FOLDER = os.path.join(DRIVES, "i", "Water Porous(Repaired-指示剂更正)", "Water 1mm(40ml瓶×2)-2")
STILL_FOLDER = os.path.join(DRIVES, "f", "Ca(OH)2 Sensitive Experiments", "5MPa", "5MPa+3mm-1")
ANALYSIS = os.path.join(DEMO, "analysis")
TIMELAPSE = os.path.join(DEMO, "timelapse.mp4")
PHASES = os.path.join(HERE, "phases.toml")
FILES, SECONDS, FPS = 3, 65.0, 25.0
INJECTION_RATE = 0.5  # ml/min
SCALE = 8.0  # pixels per millimetre of the flow cell


def generate():
    """The experiment's files, made when missing (about a minute)."""
    videos = [os.path.join(VIDEO_FOLDER, f"{k:05d}.MTS") for k in range(FILES)]
    if not all(os.path.exists(p) for p in videos):
        print("Filming the experiment (three 65 s camcorder files)...", flush=True)
        experiment.write_experiment_videos(VIDEO_FOLDER, FILES, SECONDS, FPS)
    if not os.path.isdir(STILL_FOLDER) or len([n for n in os.listdir(STILL_FOLDER) if n.endswith(".tiff")]) < 12:
        print("Photographing the stills...", flush=True)
        experiment.write_experiment_stills(STILL_FOLDER)
    # The driver's outputs of an earlier run are made anew.
    for stale in [os.path.join(VIDEO_FOLDER, "X50.mp4"), os.path.join(STILL_FOLDER, "000.mp4")]:
        if os.path.exists(stale):
            os.remove(stale)
    for stale in [os.path.join(VIDEO_FOLDER, "Capture"), os.path.join(STILL_FOLDER, "Capture Crop")]:
        shutil.rmtree(stale, ignore_errors=True)
    return videos


def run_driver():
    """Imports Orbisk, which runs its fixed batch job on the two folders."""
    os.environ["ORBISK_DRIVE_ROOT"] = DRIVES
    log = os.path.join(DEMO, "driver-log.txt")
    with open(log, "w") as out, contextlib.redirect_stdout(out):
        import Orbisk  # noqa: F401
    return log


def fluidlab(*arguments):
    """Runs the fluidlab command (python -m fluidlab) and shows its command line."""
    shown = [os.path.relpath(a) if os.path.isabs(a) else a for a in arguments]
    print("$ fluidlab " + " ".join(shlex.quote(a) for a in shown), flush=True)
    subprocess.run([sys.executable, "-m", "fluidlab", *arguments], check=True)


def analyse():
    """The recording through the fluidlab command; the oil's worst relative
    error against the truth once the oil fills 5 % of the frame."""
    fluidlab("info", VIDEO_FOLDER)
    shutil.rmtree(ANALYSIS, ignore_errors=True)
    x0, y0, x1, y1 = experiment.video_experiment(FILES, SECONDS).cell  # the flow cell inside its frame
    fluidlab("analyse", VIDEO_FOLDER, "--phases", PHASES, "--every", "5s", "--roi", f"{x0},{y0},{x1 - x0},{y1 - y0}",
             "--scale", str(SCALE), "--rate", str(INJECTION_RATE), "--out", ANALYSIS)
    fluidlab("timelapse", VIDEO_FOLDER, "--every", "2s", "--clock", "--out", TIMELAPSE)

    with open(os.path.join(ANALYSIS, "areas.csv"), newline="", encoding="utf-8-sig") as table:
        rows = list(csv.DictReader(table))
    worst, frame_area = 0.0, 1280 * 720
    for row in rows:
        truth = experiment.true_areas(float(row["elapsed s"]), FILES, SECONDS)
        if truth["oil"] >= 0.05 * frame_area:
            worst = max(worst, abs(int(row["oil px"]) - truth["oil"]) / truth["oil"])
    return rows, worst


def describe(root, heading):
    """Lists the files below `root` with their sizes; a long series in one line."""
    print(heading)
    for folder, subfolders, names in sorted(os.walk(root)):
        subfolders.sort()
        paths = [os.path.join(folder, name) for name in sorted(names, key=natural_order)]
        shown = os.path.relpath(folder, os.path.dirname(DEMO))
        if len(paths) > 6:
            total = sum(os.path.getsize(p) for p in paths)
            print(f"  {shown}/  {len(paths)} files, {os.path.basename(paths[0])} ... "
                  f"{os.path.basename(paths[-1])}  ({total / 1e6:.2f} MB)")
            continue
        for path in paths:
            print(f"  {os.path.relpath(path, os.path.dirname(DEMO))}  ({os.path.getsize(path) / 1e6:.2f} MB)")


def natural_order(name):
    """'t=50 s.jpg' before 't=100 s.jpg'."""
    digits = "".join(c if c.isdigit() else " " for c in name).split()
    return (int(digits[0]) if digits else -1, name)


def main():
    began = time.perf_counter()
    generate()
    generated = time.perf_counter()
    log = run_driver()
    driven = time.perf_counter()
    rows, worst = analyse()
    done = time.perf_counter()

    print(f"Generated the experiment in {generated - began:.0f} s; the batch driver ran in "
          f"{driven - generated:.0f} s (its progress is in {os.path.relpath(log)}); "
          f"fluidlab analysed {len(rows)} frames and made the time-lapse in {done - driven:.0f} s.")
    describe(os.path.join(VIDEO_FOLDER, "Capture"), "Batch driver, still series of the recording:")
    print(f"  {os.path.relpath(os.path.join(VIDEO_FOLDER, 'X50.mp4'), os.path.dirname(DEMO))}  "
          f"({os.path.getsize(os.path.join(VIDEO_FOLDER, 'X50.mp4')) / 1e6:.2f} MB, 50 times faster)")
    describe(os.path.join(STILL_FOLDER, "Capture Crop"), "Batch driver, crops of the stills:")
    print(f"  {os.path.relpath(os.path.join(STILL_FOLDER, '000.mp4'), os.path.dirname(DEMO))}  "
          f"({os.path.getsize(os.path.join(STILL_FOLDER, '000.mp4')) / 1e6:.2f} MB, the stills as a video)")
    describe(ANALYSIS, "fluidlab analyse:")
    print(f"fluidlab timelapse:\n  {os.path.relpath(TIMELAPSE, os.path.dirname(DEMO))}  "
          f"({os.path.getsize(TIMELAPSE) / 1e6:.2f} MB, a frame every 2 s with the recording's clock)")
    print(f"Measured oil area within {100 * worst:.2f} % of the truth once the oil fills 5 % of the frame.")
    if worst > 0.01:
        sys.exit("the measured oil area is more than 1 % off the truth")


if __name__ == "__main__":
    main()
