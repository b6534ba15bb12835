"""Phase masks of 1080p frames: Tavelin.Separate_Seq against the plain OpenCV steps.

The plain version is the direct transcription of the formula rules: every term
converts the frame to HSV with cv2.cvtColor, takes cv2.inRange of its range and
joins it to the running mask with cv2.bitwise_and / bitwise_or / AND NOT.
Three phases of two terms each, on the same generated frames; the masks of
both must be identical before any time is reported. Exits non-zero below the
target ratio.

    .venv/bin/python bench/bench_phases.py [--frames N] [--rounds N]
"""
import argparse
import os
import statistics
import sys
import time

import cv2
import numpy as np
import Tavelin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from plain_phases import plain_separate  # noqa: E402

WIDTH, HEIGHT = 1920, 1080
TARGET = 2.0  # times faster than the plain version; the script exits non-zero below it


def experiment_frame(seed):
    """A frame like the recordings': a grainy, unevenly lit porous sample with
    a blue and a red dye front fingering into it and a few dark grains."""
    rng = np.random.default_rng(seed)
    small = rng.normal(0, 1, (HEIGHT // 8, WIDTH // 8)).astype(np.float32)
    texture = cv2.resize(cv2.GaussianBlur(small, (0, 0), 2), (WIDTH, HEIGHT), interpolation=cv2.INTER_CUBIC)
    light = np.linspace(0.8, 1.1, WIDTH, dtype=np.float32)[None, :]
    base = np.clip((170 + 25 * texture) * light, 0, 255)
    frame = np.dstack([base * 0.85, base * 0.95, base]).astype(np.float32)  # beige sand

    def front(phase_shift, reach):
        rows = np.arange(HEIGHT, dtype=np.float32)[:, None]
        cols = np.arange(WIDTH, dtype=np.float32)[None, :]
        fingers = reach + 120 * np.sin(rows / 37 + phase_shift) + 60 * np.sin(rows / 11 + 2 * phase_shift)
        return cv2.GaussianBlur(((cols < fingers) * 1.0 + 0.4 * texture).astype(np.float32), (0, 0), 3)

    blue, red = front(seed, WIDTH * 0.35), front(seed + 1.3, WIDTH * 0.6)
    blue_weight = np.clip(blue, 0, 1)[..., None]
    red_weight = np.clip(red - blue, 0, 1)[..., None]
    frame = frame * (1 - blue_weight) + np.array([200, 80, 40], np.float32) * blue_weight
    frame = frame * (1 - red_weight) + np.array([50, 40, 190], np.float32) * red_weight
    grains = rng.random((HEIGHT, WIDTH)) < 0.002
    frame[cv2.dilate(grains.astype(np.uint8), np.ones((5, 5), np.uint8)) > 0] *= 0.3
    frame += rng.normal(0, 4, frame.shape)
    return np.clip(frame, 0, 255).astype(np.uint8)


def phase(name, ranges, formula):
    p = Tavelin.Phases()
    p.name, p.subPhase, p.PhaseSequence = name, ranges, formula
    return p


PHASES = [
    # Blue dye: blue hue AND well saturated.
    phase("Water", [[[95, 0, 0], [130, 255, 255]], [[0, 90, 40], [179, 255, 255]]], "=0*1"),
    # Red dye: hue wraps round 0, so two ranges joined.
    phase("Oil", [[[0, 80, 40], [10, 255, 255]], [[165, 80, 40], [179, 255, 255]]], "=0+1"),
    # Sand: pale pixels, minus the dark grains.
    phase("Sand", [[[5, 10, 80], [35, 140, 255]], [[0, 0, 0], [179, 255, 110]]], "=0-1"),
]


def per_frame_ms(separate, frames):
    start = time.perf_counter()
    for frame in frames:
        separate(frame, PHASES)
    return (time.perf_counter() - start) * 1000 / len(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=6)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    frames = [experiment_frame(seed) for seed in range(args.frames)]
    for frame in frames:
        expected, got = plain_separate(frame, PHASES), Tavelin.Separate_Seq(frame, PHASES)
        assert len(got) == len(expected)
        for p, e, g in zip(PHASES, expected, got):
            assert g.dtype == np.uint8 and g.shape == e.shape and np.array_equal(g, e), f"{p.name} differs"
            assert 0 < np.count_nonzero(e) < e.size, f"{p.name} selects nothing or everything"
    coverage = ", ".join(f"{p.name} {np.count_nonzero(m) / m.size:.0%}"
                         for p, m in zip(PHASES, Tavelin.Separate_Seq(frames[0], PHASES)))
    print(f"{len(frames)} frames {WIDTH}x{HEIGHT}, phases {[p.PhaseSequence for p in PHASES]}, "
          f"masks identical ({coverage} of frame 0)")

    # Alternate the two sides so that load from elsewhere on the machine hits both alike.
    plain, module = [], []
    for _ in range(args.rounds):
        plain.append(per_frame_ms(plain_separate, frames))
        module.append(per_frame_ms(Tavelin.Separate_Seq, frames))
    plain_ms, module_ms = statistics.median(plain), statistics.median(module)
    print(f"plain cv2 (convert per term): {plain_ms:7.2f} ms per frame (median of {args.rounds} rounds)")
    print(f"Tavelin.Separate_Seq:         {module_ms:7.2f} ms per frame")
    ratio = plain_ms / module_ms
    print(f"ratio: {ratio:.1f}x faster (OpenCV threads: {cv2.getNumThreads()}), target {TARGET}x")
    return 0 if ratio >= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
