"""fluidlab analyse on all cores against one thread, on the same recording.

Generates (once, into bench/.cache/fluidlab) the injection experiment of
examples/experiment.py as three 1280x720 camcorder files of 20 s. The
recording and the job of ``fluidlab analyse --every 0.48s`` (125 frames:
decoding, separation of two phases, areas and a PNG overlay per frame) are
set up once; then the analysis itself runs with one worker thread and with
N (the machine's cores), alternately, each into a fresh folder. Both must
write the same areas.csv and the same overlays before a time is reported.
The command's fixed costs (starting Python, importing, reading the files'
indexes, the plot: about 2 s, the same for both and nothing beside hours of
video) are timed once as the whole command, for reference. Prints the best
time of each, their ratio and the load average seen; exits with 1 when all
cores analyse less than 1.6 times as fast as one thread on a machine of two
or more cores.

    .venv/bin/python bench/bench_fluidlab.py [--rounds N] [--jobs N]
"""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import experiment  # noqa: E402

FOLDER = os.path.join(HERE, ".cache", "fluidlab", "videos")
PHASES = os.path.join(HERE, os.pardir, "examples", "phases.toml")
FILES, SECONDS, SIZE = 3, 20.0, (1280, 720)
TARGET = 1.6
EVERY = 0.48  # seconds: 12 frames at 25 fps


def recording():
    paths = [os.path.join(FOLDER, f"{k:05d}.MTS") for k in range(FILES)]
    if not all(os.path.exists(p) for p in paths):
        print(f"Filming {FILES} files of {SECONDS:g} s into {os.path.relpath(FOLDER)} ...", flush=True)
        experiment.write_experiment_videos(FOLDER, files=FILES, seconds=SECONDS, size=SIZE)
    return paths


def digest(folder):
    """A hash of areas.csv and of every overlay, in name order."""
    h = hashlib.sha256()
    h.update(open(os.path.join(folder, "areas.csv"), "rb").read())
    for name in sorted(os.listdir(os.path.join(folder, "overlays"))):
        h.update(name.encode())
        h.update(open(os.path.join(folder, "overlays", name), "rb").read())
    return h.hexdigest()


def command(jobs, out):
    """The whole command, in a fresh process: its wall time and peak resident memory (MB)."""
    began = time.perf_counter()
    process = subprocess.Popen([sys.executable, "-m", "fluidlab", "analyse", FOLDER, "--phases", PHASES, "--every",
                                f"{EVERY}s", "--jobs", str(jobs), "--out", out, "--quiet"], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"fluidlab analyse failed with status {process.returncode}")
    return time.perf_counter() - began, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)))
    args = parser.parse_args()
    recording()
    sys.path.insert(0, os.path.join(HERE, os.pardir))
    from fluidlab import analyse
    from fluidlab.phases import load_phases
    from fluidlab.progress import ToolkitOutput, bar
    from fluidlab.recording import find_videos, open_recording

    videos = open_recording(*find_videos([FOLDER]), jobs=args.jobs)
    step = round(EVERY * videos.fps)
    count = (videos.frames - 1) // step + 1

    def run(jobs, out):
        job = analyse.Job(videos, load_phases(PHASES), 0, step, count, analyse.Region.rectangle(None, videos.size),
                          None, None, out, jobs)
        with bar(count, "", "frame", True) as progress, ToolkitOutput() as output:
            began = time.perf_counter()
            analyse.run(job, progress, output)
            return time.perf_counter() - began

    times = {1: [], args.jobs: []}
    digests = set()
    loads = [os.getloadavg()[0]]
    with tempfile.TemporaryDirectory() as scratch:
        for round_ in range(args.rounds):
            for jobs in (1, args.jobs):
                out = os.path.join(scratch, f"jobs{jobs}-{round_}")
                times[jobs].append(run(jobs, out))
                digests.add(digest(out))
            loads.append(os.getloadavg()[0])
        whole = {jobs: command(jobs, os.path.join(scratch, f"command{jobs}")) for jobs in (1, args.jobs)}
        loads.append(os.getloadavg()[0])
    if len(digests) != 1:
        print("different results with one thread and with all cores")
        return 1
    one, many = min(times[1]), min(times[args.jobs])
    ratio = one / many
    print(f"fluidlab analyse, {count} frames of {SIZE[0]}x{SIZE[1]} every {EVERY} s (same areas.csv and overlays):")
    print(f"  analysis: --jobs 1 {one:6.2f} s ({count / one:5.1f} frames/s), --jobs {args.jobs} {many:6.2f} s "
          f"({count / many:5.1f} frames/s): all cores {ratio:.2f}x as fast")
    (t1, m1), (tn, mn) = whole[1], whole[args.jobs]
    print(f"  the whole command: --jobs 1 {t1:6.2f} s (peak {m1:.0f} MB), --jobs {args.jobs} {tn:6.2f} s "
          f"(peak {mn:.0f} MB): {t1 / tn:.2f}x with the fixed costs")
    print(f"  1-min load average {min(loads):.2f}-{max(loads):.2f} during the runs")
    if args.jobs >= 2 and ratio < TARGET:
        print(f"below the target of {TARGET}x")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
