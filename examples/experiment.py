"""A synthetic injection experiment: oil invading a water-filled porous medium.

A 2-D packing of irregular sand grains (light grey, with dark rims) fills a
flow cell held in a dark frame. The pore space is saturated with blue dyed
water; orange oil is injected through an inlet channel along the left side and
invades the pore space by invasion percolation: it always crosses the easiest
throat of its front next (the widest, give or take some disorder, with a small
bias toward the outlet), so it advances in capillary fingers, filling pore
after pore at a constant volume rate until it breaks through to the outlet
channel on the right. After breakthrough the pattern stays as it is.
In the videos the oil comes in 4 s after the recording starts and breaks
through at 94 % of it (183 s of 195 s); the stills' oil breaks through at the
last still. Uneven illumination, grain and dye
texture and a little sensor noise make the images look like a lab photograph.

Everything that costs time is computed once: the medium, and for every pore
pixel the moment the oil reaches it. A frame is then a threshold of that
"arrival time" map and a masked copy of a precomputed oil layer over a
precomputed water layer (about a millisecond at 1280x720).

The colours separate in HSV (OpenCV's scale: hue 0-179, saturation and value
0-255); ``HSV_RANGES`` holds, for each phase, its (lower, upper) ranges:

    oil     hue 3-25,   saturation 100-255, value 105-255
    water   hue 95-130, saturation 130-255, value 95-255
    grains  any hue,    saturation 0-55,    value 105-255

The grains' dark rims and the dark cell frame fall in none of them.

    write_experiment_videos(folder)   three .MTS files of 65 s, 00000.MTS ...
    write_experiment_stills(folder)   twelve .tiff stills, IMG_0001.tiff ...
    true_areas(t)                     pixel count of each phase at time t
    recording_time(file, frame)       the time t of a frame of the videos

Run ``python examples/experiment.py FOLDER`` to write both into FOLDER.
"""

from __future__ import annotations

import functools
import heapq
import math
import os
import sys
import time
from datetime import datetime

import cv2
import numpy as np
import samples

SEED = 20240314

# The phases' HSV ranges, inclusive (lower, upper) triples for cv2.inRange.
HSV_RANGES = {
    "oil": [((3, 100, 105), (25, 255, 255))],
    "water": [((95, 130, 95), (130, 255, 255))],
    "grains": [((0, 0, 105), (179, 55, 255))],
}

# When the camcorder started recording, and when the stills' injection started (local time).
START = datetime(2024, 3, 14, 10, 30, 0)
STILLS_START = datetime(2024, 3, 14, 14, 0, 0)

# Colours (BGR) before illumination: dyed water, dyed oil, grains, cell frame.
WATER_BGR = (168, 96, 30)
OIL_BGR = (28, 98, 224)
GRAIN_BGR = (176, 188, 198)
FRAME_BGR = (50, 52, 56)
RIM_SHADE = 0.35         # grain rims are this much darker than the grain
NOISE_VARIANTS = 4       # frames cycle through this many sensor-noise fields


def hsv_ranges() -> dict[str, list[tuple[tuple[int, int, int], tuple[int, int, int]]]]:
    """Phase name -> list of (lower, upper) HSV triples selecting that phase."""
    return {name: [(tuple(lower), tuple(upper)) for lower, upper in ranges]
            for name, ranges in HSV_RANGES.items()}


def phase_mask(image: np.ndarray, phase: str) -> np.ndarray:
    """The mask (0/255) of ``phase`` in a BGR image: its HSV ranges, joined."""
    hsv = cv2.cvtColor(image, cv2.COLOR_BGR2HSV)
    mask = np.zeros(image.shape[:2], np.uint8)
    for lower, upper in HSV_RANGES[phase]:
        mask |= cv2.inRange(hsv, np.array(lower), np.array(upper))
    return mask


class InjectionExperiment:
    """One flow cell and its invasion, ready to be rendered at any time.

    ``size`` is (width, height); lengths scale with the width (grains of about
    12 px radius at 1280 px). Oil enters at ``injection_start`` seconds and
    breaks through at ``breakthrough`` seconds, invading at a constant rate in
    between; the same ``seed`` always gives the same experiment.

    Masks of the truth: ``grains`` (grain bodies without their rims), ``rims``,
    ``pores`` (the pore space, channels included) and ``arrival`` (float32
    seconds at which oil reaches each pore pixel, inf where it never does).
    """

    def __init__(self, size=(1280, 720), seed: int = SEED, injection_start: float = 4.0,
                 breakthrough: float = 180.0):
        width, height = size
        if width < 160 or height < 90:
            raise ValueError(f"size {size} is too small for a porous medium (at least 160x90)")
        if not 0 <= injection_start < breakthrough:
            raise ValueError("the oil must be injected before it breaks through")
        self.size = (int(width), int(height))
        self.seed = seed
        self.injection_start = float(injection_start)
        self.breakthrough = float(breakthrough)
        rng = np.random.default_rng(seed)
        scale = width / 1280
        # The cell: a dark frame around the medium, grain-free channels at both ends.
        self.cell = (round(0.018 * width), round(0.06 * height),
                     width - round(0.018 * width), height - round(0.06 * height))
        self.channel = max(3, round(14 * scale))
        self.gap = max(2.0, 3.0 * scale)
        centres, radii = self._pack(rng, scale)
        grain_ids = self._draw_grains(rng, centres, radii, scale)
        self._invade(rng, centres, scale)
        self._paint(rng, grain_ids)

    # -- the medium ---------------------------------------------------------

    def _pack(self, rng, scale):
        """Grain centres and radii: random sequential addition, largest first,
        then every grain swells into the room its neighbours leave it."""
        x0, y0, x1, y1 = self.cell
        mean = 12.0 * scale
        gap = self.gap
        # Grains run on under the frame at the top and bottom, as in a larger packing.
        left, right = x0 + self.channel + gap, x1 - self.channel - gap
        top, bottom = y0 - 1.5 * mean, y1 + 1.5 * mean
        count = int(25 * (right - left) * (bottom - top) / (math.pi * mean * mean))
        radii = np.sort(np.clip(mean * np.exp(0.3 * rng.standard_normal(count)),
                                0.5 * mean, 1.9 * mean))[::-1]
        xs = rng.uniform(0, 1, count)
        ys = rng.uniform(0, 1, count)
        cx = np.empty(count)
        cy = np.empty(count)
        cr = np.empty(count)
        n = 0
        for r, u, v in zip(radii, xs, ys):
            x = left + r + u * (right - left - 2 * r)
            y = top + v * (bottom - top)
            if n and np.any((cx[:n] - x) ** 2 + (cy[:n] - y) ** 2 < (cr[:n] + r + gap) ** 2):
                continue
            cx[n], cy[n], cr[n] = x, y, r
            n += 1
        cx, cy, cr = cx[:n], cy[:n], cr[:n]
        for i in rng.permutation(n):
            room = np.hypot(cx - cx[i], cy - cy[i]) - cr - gap
            room[i] = np.inf
            walls = min(cx[i] - left, right - cx[i])
            cr[i] = min(1.6 * cr[i], room.min(), walls)
        return np.stack([cx, cy], axis=1), cr

    def _draw_grains(self, rng, centres, radii, scale):
        """Draws irregular grains; sets the masks and returns the grain id map."""
        width, height = self.size
        x0, y0, x1, y1 = self.cell
        ids = np.zeros((height, width), np.uint16)
        angles = np.linspace(0, 2 * np.pi, 32, endpoint=False)
        for k, ((x, y), r) in enumerate(zip(centres, radii)):
            # A rounded, lumpy outline: a few low harmonics and a little jitter.
            shape = np.ones_like(angles)
            for harmonic in range(2, 6):
                shape += rng.uniform(0, 0.22 / harmonic) * np.cos(
                    harmonic * angles + rng.uniform(0, 2 * np.pi))
            shape *= 1 + 0.025 * rng.standard_normal(angles.size)
            shape *= 1.06 / shape.max()
            turn = rng.uniform(0, 2 * np.pi)
            points = np.stack([x + r * shape * np.cos(angles + turn),
                               y + r * shape * np.sin(angles + turn)], axis=1)
            cv2.fillPoly(ids, [np.round(points * 16).astype(np.int32)], k + 1, cv2.LINE_8, 4)
        medium = np.zeros((height, width), np.uint8)
        medium[y0:y1, x0:x1] = 255
        inside = medium > 0
        solid = ids > 0
        rim = max(1, round(2 * scale))
        body = cv2.erode(solid.astype(np.uint8), np.ones((2 * rim + 1, 2 * rim + 1), np.uint8)) > 0
        self.grains = body & inside
        self.rims = solid & ~body & inside
        solid &= inside
        self.pores = inside & ~solid
        return ids

    # -- the invasion -------------------------------------------------------

    def _invade(self, rng, centres, scale):
        """Invasion percolation on the pore network, then an arrival time per pixel.

        Pore bodies are the Delaunay triangles of the grain centres and of
        points along the cell walls; a throat joins two triangles across the
        edge they share, as wide as the pore space along that edge.
        """
        width, height = self.size
        x0, y0, x1, y1 = self.cell
        spacing = 30.0 * scale
        walls = []          # (x, y, kind): 1 inlet side, 2 outlet side, 3 top or bottom
        for y in np.linspace(y0, y1, max(2, round((y1 - y0) / spacing)) + 1):
            walls += [(x0, y, 1), (x1, y, 2)]
        for x in np.linspace(x0, x1, max(2, round((x1 - x0) / spacing)) + 1)[1:-1]:
            walls += [(x, y0, 3), (x, y1, 3)]
        walls = np.array(walls)
        # Grains under the frame take no part; the wall points stand for them.
        inside = centres[(centres[:, 1] > y0 + 1) & (centres[:, 1] < y1 - 1)]
        points = np.concatenate([inside, walls[:, :2]])
        kinds = np.concatenate([np.zeros(len(inside), int), walls[:, 2].astype(int)])

        subdivision = cv2.Subdiv2D((x0 - 4, y0 - 4, x1 - x0 + 8, y1 - y0 + 8))
        vertex_point = {}
        for k, (x, y) in enumerate(points):
            vertex_point[subdivision.insert((float(x), float(y)))] = k
        where = {}
        for vertex, k in vertex_point.items():
            x, y = subdivision.getVertex(vertex)[0]
            where[(x, y)] = k
        triangles = []
        for row in subdivision.getTriangleList():
            corners = [where.get((float(row[2 * i]), float(row[2 * i + 1]))) for i in range(3)]
            if None not in corners:
                triangles.append(corners)
        triangles = np.array(triangles)

        # Which triangle each pixel belongs to.
        owner = np.zeros((height, width), np.uint16)
        for t, corners in enumerate(triangles):
            cv2.fillPoly(owner, [np.round(points[corners] * 16).astype(np.int32)], t + 1,
                         cv2.LINE_8, 4)

        # Throats: the pore pixels along each shared edge give its width and middle.
        sharing = {}
        for t, corners in enumerate(triangles):
            for i in range(3):
                a, b = sorted((corners[i], corners[(i + 1) % 3]))
                sharing.setdefault((a, b), []).append(t)
        neighbours = [[] for _ in triangles]
        inlet, outlet = set(), set()
        pores = self.pores
        widths = []
        for (a, b), owners in sharing.items():
            if len(owners) == 1:
                if kinds[a] == kinds[b] == 1:
                    inlet.add(owners[0])
                elif kinds[a] == kinds[b] == 2:
                    outlet.add(owners[0])
                continue
            steps = int(np.hypot(*(points[b] - points[a]))) + 2
            line = points[a] + np.linspace(0, 1, steps)[:, None] * (points[b] - points[a])
            xs = np.clip(np.round(line[:, 0]).astype(int), 0, width - 1)
            ys = np.clip(np.round(line[:, 1]).astype(int), 0, height - 1)
            open_ = pores[ys, xs]
            free = int(open_.sum())
            if free == 0:
                continue
            middle = line[open_].mean(axis=0)
            widths.append(free)
            neighbours[owners[0]].append((owners[1], free, middle))
            neighbours[owners[1]].append((owners[0], free, middle))
        typical = float(np.median(widths))

        def threshold(free, middle):
            # Capillary entry pressure ~ 1/width, some disorder, a pull toward the outlet.
            pressure = typical / free * math.exp(0.35 * rng.standard_normal())
            return pressure - 0.1 * (middle[0] - x0) / (x1 - x0)

        # Invasion percolation from the inlet channel: the pores along it open to
        # it across the gaps between its first grains; then the easiest throat
        # of the front is always crossed next, until the oil breaks through.
        opening = x0 + self.channel + round(self.gap)
        front = []
        for t in sorted(inlet):
            wall = [k for k in triangles[t] if kinds[k] == 1]
            top_, bottom_ = sorted(int(round(points[k][1])) for k in wall)
            ys = np.arange(top_, bottom_ + 1)
            open_ = pores[ys, opening]
            if open_.any():
                middle = np.array([opening, ys[open_].mean()])
                front.append((threshold(int(open_.sum()), middle), t, tuple(middle)))
        heapq.heapify(front)
        invaded = np.full(len(triangles), -1)
        entries = np.zeros((len(triangles), 2))
        order = 0
        while front:
            _, t, entry = heapq.heappop(front)
            if invaded[t] >= 0:
                continue
            invaded[t] = order
            entries[t] = entry
            order += 1
            if t in outlet:
                break
            for other, free, middle in neighbours[t]:
                if invaded[other] < 0:
                    heapq.heappush(front, (threshold(free, middle), other, tuple(middle)))

        # Pixels in order: the inlet channel outward from the port in its middle,
        # then pore by pore, in each pore outward from where the oil came in;
        # all at a constant rate from injection to breakthrough.
        channel = np.zeros_like(pores)
        channel[:, x0:x0 + self.channel] = pores[:, x0:x0 + self.channel]
        ys, xs = np.nonzero(channel)
        first = np.lexsort((xs, np.abs(ys - (y0 + y1) / 2)))
        channel_ys, channel_xs = ys[first], xs[first]
        ys, xs = np.nonzero(pores & ~channel & (owner > 0))
        pore_rank = invaded[owner[ys, xs].astype(int) - 1]
        reached = pore_rank >= 0
        ys, xs, pore_rank = ys[reached], xs[reached], pore_rank[reached]
        entry = entries[owner[ys, xs].astype(int) - 1]
        distance = np.hypot(xs - entry[:, 0], ys - entry[:, 1])
        sequence = np.lexsort((distance, pore_rank))
        ys = np.concatenate([channel_ys, ys[sequence]])
        xs = np.concatenate([channel_xs, xs[sequence]])
        span = self.breakthrough - self.injection_start
        times = self.injection_start + span * np.arange(1, len(ys) + 1) / len(ys)
        self.arrival = np.full((height, width), np.inf, np.float32)
        self.arrival[ys, xs] = times.astype(np.float32)
        self._sorted_arrivals = np.sort(self.arrival[np.isfinite(self.arrival)])

    # -- the look -----------------------------------------------------------

    def _paint(self, rng, grain_ids):
        """The water and oil layers (BGR, uint8), each in a few noise variants."""
        width, height = self.size

        def smooth_field(cells, amplitude):
            # Low-frequency variation: a coarse random grid, smoothly enlarged.
            coarse = rng.standard_normal((cells, max(2, cells * width // height))).astype(np.float32)
            return 1 + amplitude * cv2.resize(coarse, (width, height), interpolation=cv2.INTER_CUBIC)

        # Uneven illumination: brightest left of centre, darker corners and right side.
        yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
        radius2 = ((xx - 0.42 * width) / width) ** 2 + ((yy - 0.45 * height) / height) ** 2
        light = (1.04 - 0.7 * radius2 - 0.08 * xx / width) * smooth_field(3, 0.025)
        light = np.clip(light, 0.65, 1.05)

        def layer(bgr, variation):
            return np.asarray(bgr, np.float32) * variation[..., None]

        # Grains: a tint per grain and a fine sandy texture; rims darker.
        tint = np.concatenate([[1.0], rng.uniform(0.88, 1.06, int(grain_ids.max()))]).astype(np.float32)
        sand = cv2.GaussianBlur(rng.standard_normal((height, width)).astype(np.float32), (0, 0), 0.8)
        grains = layer(GRAIN_BGR, tint[grain_ids] * (1 + 0.06 * sand))
        solid = (self.grains | self.rims)
        frame = layer(FRAME_BGR, smooth_field(6, 0.05) * (1 + 0.04 * sand))
        water = layer(WATER_BGR, smooth_field(5, 0.05))
        oil = layer(OIL_BGR, smooth_field(5, 0.04))

        def compose(fluid):
            image = np.where(self.pores[..., None], fluid, frame)
            image = np.where(solid[..., None], grains, image)
            image[self.rims] *= RIM_SHADE
            image *= light[..., None]
            return cv2.GaussianBlur(image, (0, 0), 0.6)

        base_water, base_oil = compose(water), compose(oil)
        self._water, self._oil = [], []
        for _ in range(NOISE_VARIANTS):
            noise = 1.6 * rng.standard_normal((height, width, 3)).astype(np.float32)
            self._water.append(np.clip(base_water + noise, 0, 255).astype(np.uint8))
            self._oil.append(np.clip(base_oil + noise, 0, 255).astype(np.uint8))

    # -- what the main job uses ---------------------------------------------

    def oil_mask(self, t: float) -> np.ndarray:
        """Boolean mask of the pore pixels the oil has reached at time ``t`` (s)."""
        return self.arrival <= np.float32(t)

    def frame(self, t: float, variant: int = 0) -> np.ndarray:
        """The BGR image at time ``t`` (s); ``variant`` picks the sensor noise."""
        variant %= NOISE_VARIANTS
        image = self._water[variant].copy()
        cv2.copyTo(self._oil[variant], self.oil_mask(t).view(np.uint8), image)
        return image

    def areas(self, t: float) -> dict[str, int]:
        """Pixel count of each phase at time ``t``: the invaded oil, the water
        left in the pore space and the grain bodies."""
        oil = int(np.searchsorted(self._sorted_arrivals, np.float32(t), side="right"))
        return {"oil": oil, "water": int(self.pores.sum()) - oil, "grains": int(self.grains.sum())}


@functools.lru_cache(maxsize=4)
def _video_experiment(size, seed, duration):
    return InjectionExperiment(size, seed, injection_start=min(4.0, 0.05 * duration),
                               breakthrough=0.94 * duration)


def video_experiment(files: int = 3, seconds: float = 65.0, size=(1280, 720),
                     seed: int = SEED) -> InjectionExperiment:
    """The experiment that ``write_experiment_videos`` films with these parameters."""
    return _video_experiment(tuple(size), seed, files * seconds)


def recording_time(file_index: int, frame_index: int, fps: float = 25.0,
                   seconds: float = 65.0) -> float:
    """Seconds since the recording started of frame ``frame_index`` of file ``file_index``."""
    return (file_index * round(seconds * fps) + frame_index) / fps


def true_areas(t: float, files: int = 3, seconds: float = 65.0, size=(1280, 720),
               seed: int = SEED) -> dict[str, int]:
    """Pixel count of each phase ("oil", "water", "grains") in the videos that
    ``write_experiment_videos`` writes with these parameters, at time ``t`` (s)."""
    return video_experiment(files, seconds, size, seed).areas(t)


def write_experiment_videos(folder, files: int = 3, seconds: float = 65.0, fps: float = 25.0,
                            size=(1280, 720), seed: int = SEED, start: datetime = START) -> list[str]:
    """Films the experiment as ``files`` consecutive camcorder files of ``seconds``
    each (H.264 in MPEG-TS, 00000.MTS, 00001.MTS, ...), the invasion running on
    from one file into the next. Each file's modification time is the moment
    its recording ended, counted from ``start``. Returns the paths in order."""
    count = round(seconds * fps)
    if files < 1 or count < 1:
        raise ValueError("the recording needs at least one file of at least one frame")
    if size[0] % 2 or size[1] % 2:
        raise ValueError(f"H.264 (4:2:0) needs an even width and height, not {size}")
    experiment = video_experiment(files, seconds, size, seed)
    os.makedirs(folder, exist_ok=True)
    paths = []
    for k in range(files):
        path = os.path.join(folder, f"{k:05d}.MTS")
        first = k * count
        frames = (experiment.frame((first + i) / fps, first + i) for i in range(count))
        samples.write_video(path, count, frames=frames, size=tuple(size), fps=fps)
        ended = start.timestamp() + (first + count) / fps
        os.utime(path, (ended, ended))
        paths.append(path)
    return paths


def still_times(count: int = 12, interval: float = 15.0) -> list[float]:
    """The times (s after injection started) of the stills ``write_experiment_stills`` takes."""
    return [(k + 1) * interval for k in range(count)]


def still_experiment(count: int = 12, interval: float = 15.0, size=(1600, 900),
                     seed: int = SEED + 1) -> InjectionExperiment:
    """The experiment that ``write_experiment_stills`` photographs: the oil
    breaks through at the last still."""
    return _still_experiment(tuple(size), seed, count * interval)


@functools.lru_cache(maxsize=2)
def _still_experiment(size, seed, duration):
    return InjectionExperiment(size, seed, injection_start=0.0, breakthrough=duration)


def write_experiment_stills(folder, count: int = 12, interval: float = 15.0, size=(1600, 900),
                            seed: int = SEED + 1, start: datetime = STILLS_START,
                            prefix: str = "IMG_") -> list[str]:
    """Photographs a second experiment of the same kind every ``interval``
    seconds: ``count`` TIFF stills IMG_0001.tiff, IMG_0002.tiff, ... whose name
    order and modification times follow the invasion. Returns the paths."""
    if count < 1 or interval <= 0:
        raise ValueError("the stills need a positive count and interval")
    experiment = still_experiment(count, interval, size, seed)
    times = still_times(count, interval)
    names = [f"{prefix}{k + 1:04d}.tiff" for k in range(count)]
    images = (experiment.frame(t, k) for k, t in enumerate(times))
    mtimes = [start.timestamp() + t for t in times]
    return samples.write_image_folder(folder, images, names, mtimes=mtimes)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} FOLDER   (writes FOLDER/videos/*.MTS and FOLDER/stills/*.tiff)")
        return 2
    folder = argv[1]
    began = time.perf_counter()
    videos = write_experiment_videos(os.path.join(folder, "videos"))
    filmed = time.perf_counter()
    stills = write_experiment_stills(os.path.join(folder, "stills"))
    done = time.perf_counter()
    for path in videos + stills:
        stamp = datetime.fromtimestamp(os.path.getmtime(path)).strftime("%Y-%m-%d %H:%M:%S")
        print(f"{path}  {os.path.getsize(path) / 1e6:7.1f} MB  modified {stamp}")
    print(f"videos: {filmed - began:.1f} s, stills: {done - filmed:.1f} s")
    for name, ranges in hsv_ranges().items():
        print(f"{name:>6}: HSV ranges {ranges}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
