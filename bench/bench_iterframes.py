"""Memory of Tavelin.IterFrames against GetFrameIndex2 on the same clips.

Generates (once, into bench/.cache) two 60 s files of 1920x1080 H.264 MPEG-TS
at 25 fps whose frames carry their own number. Each reader then runs in a
fresh interpreter, reading every frame (step 1) of a clip, and reports the
process's peak resident memory (its maximum RSS), and that peak above the
one it had after importing the modules. GetFrameIndex2 keeps every frame of
the call; IterFrames holds one. IterFrames is also run over the whole two
minutes, to show that its memory does not grow with the length.

Exits non-zero when IterFrames needs 300 MB or more, or when the two readers
disagree on a frame.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import samples  # noqa: E402

SIZE = (1920, 1080)
FRAMES_PER_FILE = 1500
LIMIT_MB = 300

CHILD = r"""
import json, resource, sys, zlib
import Tavelin
paths, reader, seconds = json.loads(sys.argv[1])
def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
last = len(paths) - 1
clips = [Tavelin.Clip(0, 0, 0, 0, seconds, last, 0)]
base = peak_mb()
sums = []
with open("/dev/null", "w") as sink:
    stdout, sys.stdout = sys.stdout, sink
    if reader == "GetFrameIndex2":
        frames, captures = Tavelin.GetFrameIndex2(clips, videos, 1)
        sums = [zlib.crc32(f) for f in frames]
    else:
        for frame, capture in Tavelin.IterFrames(clips, videos, 1):
            sums.append(zlib.crc32(frame))
    sys.stdout = stdout
print(json.dumps({"frames": len(sums), "crc": zlib.crc32(json.dumps(sums).encode()), "mb": peak_mb(),
                  "added": peak_mb() - base}))
"""


def recording():
    return samples.camcorder_recording(os.path.join(HERE, ".cache", "iterframes"), [FRAMES_PER_FILE] * 2, SIZE, "17M")


def run(paths, reader, seconds):
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps([paths, reader, seconds])],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def main():
    paths = recording()
    short = run(paths[:1], "GetFrameIndex2", 12)  # frames 0 to 300 of the first file
    stream = run(paths[:1], "IterFrames", 12)
    whole = run(paths, "IterFrames", 60)  # both files: 3000 frames
    print(f"{'reader':<16}{'frames':>8}{'peak RSS':>12}{'above import':>16}")
    for name, result in [("GetFrameIndex2", short), ("IterFrames", stream), ("IterFrames", whole)]:
        print(f"{name:<16}{result['frames']:>8}{result['mb']:>9.0f} MB{result['added']:>13.0f} MB")
    print(f"peak RSS, GetFrameIndex2 / IterFrames on the same {short['frames']} frames: "
          f"{short['mb'] / stream['mb']:.1f}x")
    failures = []
    if short["crc"] != stream["crc"] or short["frames"] != stream["frames"]:
        failures.append("IterFrames and GetFrameIndex2 gave different frames")
    for result in (stream, whole):
        if result["mb"] >= LIMIT_MB:
            failures.append(f"IterFrames needed {result['mb']:.0f} MB over {result['frames']} frames "
                            f"(limit {LIMIT_MB} MB)")
    for failure in failures:
        print("MISSED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
