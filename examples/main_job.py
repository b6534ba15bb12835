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
3. Analyses the recording with Tavelin: a frame every 5 s of the whole
   recording, oil and water separated by colour, their areas over clock time
   written to demo/analysis/areas.csv and drawn in demo/analysis/areas.png,
   one capture written with its masks, and the oil drawn in colour.
"""
import contextlib
import csv
import os
import shutil
import sys
import time
from datetime import timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cv2  # noqa: E402
import experiment  # noqa: E402
import numpy as np  # noqa: E402

DEMO = os.path.normpath(os.path.join(HERE, os.pardir, "demo"))
DRIVES = os.path.join(DEMO, "drives")
VIDEO_FOLDER = os.path.join(DRIVES, "i", "Water Porous(Repaired-指示剂更正)", "Water 1mm(40ml瓶×2)-2")
STILL_FOLDER = os.path.join(DRIVES, "f", "Ca(OH)2 Sensitive Experiments", "5MPa", "5MPa+3mm-1")
ANALYSIS = os.path.join(DEMO, "analysis")
FILES, SECONDS, FPS = 3, 65.0, 25.0
INJECTION_RATE = 0.5  # ml/min, carried by every capture of the clip


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


def clock(t):
    """[hour, minute, second] of the recording start advanced by t seconds."""
    moment = experiment.START + timedelta(seconds=t)
    return [moment.hour, moment.minute, moment.second]


def phase(name, ranges):
    import Tavelin
    definition = Tavelin.Phases()
    definition.name = name
    definition.subPhase = [list(r) for r in ranges]
    definition.PhaseSequence = "=0"
    return definition


def analyse(paths):
    """Areas of oil and water every 5 s, as CSV and plot; one capture on disk."""
    import Tavelin
    os.makedirs(ANALYSIS, exist_ok=True)
    # Each file starts where the previous one ended.
    videos = [Tavelin.Video(p, clock(k * SECONDS)) for k, p in enumerate(paths)]
    clips = [Tavelin.Clip(0, 0, 1, 1, 5, FILES, INJECTION_RATE)]  # from the start of file 1 to the end
    frames, captures = Tavelin.GetFrameIndex(clips, videos, int(5 * FPS))
    ranges = experiment.hsv_ranges()
    phases = [phase("Oil", ranges["oil"]), phase("Water", ranges["water"])]

    rows, worst = [], 0.0
    for capture in captures:
        capture.Separate(phases)
        capture.CalArea()
        seconds = experiment.recording_time(capture.iVideo - 1, capture.iFrame, FPS, SECONDS)
        truth = experiment.true_areas(seconds, FILES, SECONDS)
        if truth["oil"] > 20000:
            worst = max(worst, abs(capture.PhaseArea[0] - truth["oil"]) / truth["oil"])
        rows.append([f"{capture.time[0]:02.0f}:{capture.time[1]:02.0f}:{capture.time[2]:05.2f}", seconds,
                     capture.iVideo, capture.iFrame, *capture.PhaseArea, truth["oil"], truth["water"]])

    table = os.path.join(ANALYSIS, "areas.csv")
    with open(table, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["clock time", "seconds", "file", "frame", "oil px", "water px",
                         "oil px (truth)", "water px (truth)"])
        writer.writerows(rows)
    plot = os.path.join(ANALYSIS, "areas.png")
    draw_plot([r[1] for r in rows], {"oil": ([r[4] for r in rows], (28, 98, 224)),
                                     "water": ([r[5] for r in rows], (168, 96, 30))}, plot)

    last = captures[-1]
    last.WriteFile(ANALYSIS)
    last.ColorFrame(last.Phase_frames[0], (1.0, 0.45, 0.0), np.zeros_like(last.Phase_frames[0]))
    colour = os.path.join(ANALYSIS, "oil-in-colour.png")
    Tavelin.cv_imsave(last.colorframe, colour[:-4], ".png")
    return captures, worst


def draw_plot(times, series, path, size=(900, 500)):
    """A line plot of pixel areas over the recording's seconds, drawn with OpenCV."""
    width, height = size
    left, right, top, bottom = 90, 20, 40, 60
    image = np.full((height, width, 3), 255, np.uint8)
    top_value = max(max(values) for values, _ in series.values()) * 1.05
    end = max(times)
    x_of = lambda t: int(left + (width - left - right) * t / end)  # noqa: E731
    y_of = lambda v: int(height - bottom - (height - top - bottom) * v / top_value)  # noqa: E731
    cv2.rectangle(image, (left, top), (width - right, height - bottom), (0, 0, 0), 1)
    for k in range(6):
        value = top_value * k / 5
        cv2.putText(image, f"{value / 1000:.0f}k", (10, y_of(value) + 5), cv2.FONT_HERSHEY_SIMPLEX, 0.45, (0, 0, 0), 1)
        seconds = end * k / 5
        cv2.putText(image, f"{seconds:.0f}", (x_of(seconds) - 10, height - bottom + 20),
                    cv2.FONT_HERSHEY_SIMPLEX, 0.45, (0, 0, 0), 1)
    cv2.putText(image, "seconds since the recording started", (left + 250, height - 15),
                cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 0), 1)
    cv2.putText(image, "pixel area of each phase", (left, 25), cv2.FONT_HERSHEY_SIMPLEX, 0.55, (0, 0, 0), 1)
    for k, (name, (values, colour)) in enumerate(series.items()):
        points = np.array([[x_of(t), y_of(v)] for t, v in zip(times, values)], np.int32)
        cv2.polylines(image, [points], False, colour, 2, cv2.LINE_AA)
        cv2.line(image, (width - 170, 60 + 22 * k), (width - 140, 60 + 22 * k), colour, 3)
        cv2.putText(image, name, (width - 130, 65 + 22 * k), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 0), 1)
    cv2.imwrite(path, image)


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
    paths = generate()
    generated = time.perf_counter()
    log = run_driver()
    driven = time.perf_counter()
    captures, worst = analyse(paths)
    done = time.perf_counter()

    print(f"Generated the experiment in {generated - began:.0f} s; the batch driver ran in "
          f"{driven - generated:.0f} s (its progress is in {os.path.relpath(log)}); "
          f"the analysis of {len(captures)} frames took {done - driven:.0f} s.")
    describe(os.path.join(VIDEO_FOLDER, "Capture"), "Batch driver, still series of the recording:")
    print(f"  {os.path.relpath(os.path.join(VIDEO_FOLDER, 'X50.mp4'), os.path.dirname(DEMO))}  "
          f"({os.path.getsize(os.path.join(VIDEO_FOLDER, 'X50.mp4')) / 1e6:.2f} MB, 50 times faster)")
    describe(os.path.join(STILL_FOLDER, "Capture Crop"), "Batch driver, crops of the stills:")
    print(f"  {os.path.relpath(os.path.join(STILL_FOLDER, '000.mp4'), os.path.dirname(DEMO))}  "
          f"({os.path.getsize(os.path.join(STILL_FOLDER, '000.mp4')) / 1e6:.2f} MB, the stills as a video)")
    describe(ANALYSIS, "Analysis:")
    print(f"Measured oil area within {100 * worst:.1f} % of the truth once the oil is in the pores.")


if __name__ == "__main__":
    main()
