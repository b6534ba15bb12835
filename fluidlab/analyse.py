"""fluidlab analyse: the phase areas of a recording over time.

Frames at a fixed interval are read by the toolkit's stream reader, each
phase is separated by its formula (``Capture.Separate``) and counted
(``Capture.CalArea``), and every frame is written with its masks drawn over
it (``cv_imsave``, PNG). The work is split into contiguous blocks of the
frames, one per worker thread; each worker reads its block with its own
reader, holding one frame at a time, so memory does not grow with the
length of the recording. The toolkit releases the GIL while it decodes,
separates and writes, so the workers run on all cores.
"""
from __future__ import annotations

import csv
import os
import queue
import threading
from dataclasses import dataclass

import cv2
import Hollark
import numpy as np

from fluidlab.errors import FluidlabError
from fluidlab.options import format_clock, format_duration
from fluidlab.phases import Phase
from fluidlab.recording import Recording, frames_of

OVERLAY_ALPHA = 0.55  # how strongly a phase's colour covers its pixels in the overlays


@dataclass
class Region:
    """Where areas are counted: a rectangle of the frame, and inside it the
    pixels outside a drawn ROI mask (None for the whole rectangle)."""
    x: int
    y: int
    w: int
    h: int
    outside: np.ndarray | None
    area: int
    whole_frame: bool

    @classmethod
    def rectangle(cls, roi, size):
        x, y, w, h = roi if roi else (0, 0, *size)
        return cls(x, y, w, h, None, w * h, roi is None or (w, h) == tuple(size))

    @classmethod
    def from_mask(cls, path: str, size):
        try:
            image = Hollark.cv_imread(path)
        except (OSError, ValueError) as error:
            raise FluidlabError(f"--roi-mask {path}: {error}") from None
        if (image.shape[1], image.shape[0]) != tuple(size):
            raise FluidlabError(f"--roi-mask {path} is {image.shape[1]}x{image.shape[0]}, the frames are "
                                f"{size[0]}x{size[1]}: the mask must have the frames' size")
        inside = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) > 0
        if not inside.any():
            raise FluidlabError(f"--roi-mask {path} is black everywhere: the ROI is its non-black pixels")
        x, y, w, h = cv2.boundingRect(inside.astype(np.uint8))
        outside = np.where(inside[y:y + h, x:x + w], 0, 255).astype(np.uint8)
        return cls(x, y, w, h, outside, int(inside.sum()), False)


@dataclass
class Job:
    recording: Recording
    phases: list[Phase]
    first: int            # position of the first frame
    step: int             # frames between two analysed frames
    count: int            # frames analysed
    region: Region
    scale: float | None   # pixels per mm
    rate: float | None    # ml/min
    out: str
    jobs: int
    overlays: bool = True  # write each frame with its masks drawn over it

    def position(self, k: int) -> int:
        return self.first + k * self.step

    def overlay_name(self, file_index: int, frame: int) -> str:
        files = self.recording.files
        stems = [os.path.splitext(f.name)[0] for f in files]
        stem = stems[file_index]
        if len(set(stems)) < len(stems):
            stem = f"{file_index:02d}_{stem}"
        return os.path.join("overlays", f"{stem}_{frame:06d}.png")


def columns(phases: list[Phase], scale, rate) -> list[str]:
    names = ["clock time", "elapsed s", "file", "frame"]
    for phase in phases:
        names.append(f"{phase.name} px")
        if scale:
            names.append(f"{phase.name} mm²")
        names += [f"{phase.name} fraction of ROI", f"{phase.name} saturation"]
    if rate is not None:
        names.append("injected ml")
    return names + ["overlay"]


class Measurer:
    """The per-frame work of one worker thread."""

    def __init__(self, job: Job):
        self.job = job
        self.definitions = [phase.definition() for phase in job.phases]
        region = job.region
        self.nothing = np.zeros((region.h, region.w), np.uint8)
        self.colours = [tuple(c / 255 for c in phase.colour) for phase in job.phases]

    def measure(self, k: int, frame, capture) -> dict:
        job, region = self.job, self.job.region
        file_index, number = int(capture.iVideo), int(capture.iFrame)
        expected = job.recording.locate(job.position(k))
        if (file_index, number) != expected:
            raise RuntimeError(f"the reader gave frame {number} of file {file_index} for frame {expected[1]} "
                               f"of file {expected[0]}")
        row = {"k": k, "file": file_index, "frame": number, "areas": None, "overlay": ""}
        if not hasattr(capture, "frame"):  # lost: the reader gave a white stand-in
            return row
        crop = frame[region.y:region.y + region.h, region.x:region.x + region.w]
        capture.GetFrame(crop)
        capture.Separate(self.definitions)
        if region.outside is not None:
            capture.Phase_frames = [Hollark.bitwise_miner(mask, region.outside) for mask in capture.Phase_frames]
        capture.CalArea()
        row["areas"] = list(capture.PhaseArea)
        if job.overlays:
            row["overlay"] = job.overlay_name(file_index, number)
            image = self.overlay(frame, capture, row)
            Hollark.cv_imsave(image, os.path.join(job.out, row["overlay"])[:-4], ".png")
        capture._destory()
        return row

    def overlay(self, frame, capture, row):
        """The frame with each phase's mask tinted in its colour, the ROI
        outlined and the frame's time written in the corner."""
        job, region = self.job, self.job.region
        image = frame.copy()
        inside = image[region.y:region.y + region.h, region.x:region.x + region.w]
        for mask, colour in zip(capture.Phase_frames, self.colours):
            capture.ColorFrame(mask, colour, self.nothing)
            tinted = cv2.addWeighted(inside, 1 - OVERLAY_ALPHA, capture.colorframe, OVERLAY_ALPHA, 0)
            cv2.copyTo(tinted, mask, inside)  # in place, in OpenCV (without the GIL)
        if region.outside is not None:
            edges = cv2.findContours(255 - region.outside, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[0]
            cv2.drawContours(inside, edges, -1, (255, 255, 255), 1)
        elif not region.whole_frame:
            cv2.rectangle(image, (region.x, region.y), (region.x + region.w - 1, region.y + region.h - 1),
                          (255, 255, 255), 1)
        recording = job.recording
        text = (f"{format_clock(recording.clock(row['file'], row['frame']))}  "
                f"+{format_duration(recording.elapsed(row['file'], row['frame']))}  "
                f"{recording.files[row['file']].name} #{row['frame']}")
        scale = max(0.35, image.shape[1] / 1800)
        thickness = max(1, round(scale * 2))
        (width, height), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)
        x = 6
        for phase in job.phases:
            (w, _), _ = cv2.getTextSize(phase.name, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)
            width += w + height + 16
        cv2.rectangle(image, (0, 0), (min(width + 24, image.shape[1] - 1), height + base + 10), (0, 0, 0), -1)
        cv2.putText(image, text, (x, height + 5), cv2.FONT_HERSHEY_SIMPLEX, scale, (255, 255, 255), thickness,
                    cv2.LINE_AA)
        x += cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)[0][0] + 12
        for phase in job.phases:  # the legend: a swatch and the name of each phase
            cv2.rectangle(image, (x, 5), (x + height, 5 + height), phase.bgr, -1)
            cv2.putText(image, phase.name, (x + height + 4, height + 5), cv2.FONT_HERSHEY_SIMPLEX, scale,
                        (255, 255, 255), thickness, cv2.LINE_AA)
            x += cv2.getTextSize(phase.name, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)[0][0] + height + 16
        return image


class Table:
    """areas.csv, written row by row in recording order as the rows come in
    (from any worker, in any order), flushed as it goes."""

    def __init__(self, job: Job):
        self.job = job
        self.path = os.path.join(job.out, "areas.csv")
        # UTF-8 with a byte-order mark, so that spreadsheet programs read "mm²" right.
        self.file = open(self.path, "w", newline="", encoding="utf-8-sig")
        self.writer = csv.writer(self.file)
        self.writer.writerow(columns(job.phases, job.scale, job.rate))
        self.file.flush()
        self.pending: dict[int, dict] = {}
        self.next = 0
        self.rows: list[dict] = []  # the rows written, for the plot
        self.lost = 0

    def add(self, row: dict) -> None:
        self.pending[row["k"]] = row
        while self.next in self.pending:
            self._write(self.pending.pop(self.next))
            self.next += 1
        self.file.flush()

    def close(self) -> None:
        """Writes what is still waiting (rows after a gap left by a stop), then closes."""
        for k in sorted(self.pending):
            self._write(self.pending.pop(k))
        self.file.close()

    def _write(self, row: dict) -> None:
        job, recording = self.job, self.job.recording
        elapsed = recording.elapsed(row["file"], row["frame"])
        row["elapsed"] = elapsed
        cells = [format_clock(recording.clock(row["file"], row["frame"])), f"{elapsed:.3f}",
                 recording.files[row["file"]].name, row["frame"]]
        areas = row["areas"]
        if areas is None:
            self.lost += 1
            per_phase = 4 if job.scale else 3
            cells += [""] * (per_phase * len(job.phases))
        else:
            total = sum(areas)
            for px in areas:
                cells.append(px)
                if job.scale:
                    cells.append(f"{px / job.scale ** 2:.4f}")
                cells.append(f"{px / job.region.area:.6f}")
                cells.append(f"{px / total:.6f}" if total else "")
        if job.rate is not None:
            start = recording.elapsed(*recording.locate(job.first))
            cells.append(f"{job.rate * (elapsed - start) / 60:.4f}")
        cells.append(row["overlay"])
        self.writer.writerow(cells)
        self.rows.append(row)


def plan_blocks(count: int, lanes: int) -> list[tuple[int, int]]:
    """``lanes`` contiguous blocks [start, end) covering range(count)."""
    lanes = max(1, min(lanes, count))
    edges = [round(count * i / lanes) for i in range(lanes + 1)]
    return [(edges[i], edges[i + 1]) for i in range(lanes) if edges[i] < edges[i + 1]]


def run(job: Job, bar, output) -> Table:
    """Analyses the job's frames with job.jobs workers; returns the closed table.
    On an error or Ctrl-C the rows done so far are written, then it is raised."""
    os.makedirs(os.path.join(job.out, "overlays") if job.overlays else job.out, exist_ok=True)
    table = Table(job)
    results: queue.Queue = queue.Queue()
    stop = threading.Event()
    blocks = plan_blocks(job.count, job.jobs)

    def work(number: int, start: int, end: int) -> None:
        try:
            measurer = Measurer(job)
            clip = job.recording.clip(job.position(start), job.position(end - 1), job.rate or 0)
            with output.collect(number):
                with frames_of([clip], job.recording.videos, job.step) as pairs:
                    for k, (frame, capture) in enumerate(pairs, start):
                        if stop.is_set():
                            break
                        results.put(("row", measurer.measure(k, frame, capture)))
                        del frame, capture
        except BaseException as error:  # handed to the main thread, which raises it
            stop.set()
            results.put(("error", error))
        finally:
            results.put(("done", number))

    threads = [threading.Thread(target=work, args=(n, s, e), name=f"fluidlab-{n}", daemon=True)
               for n, (s, e) in enumerate(blocks)]
    error = None
    try:
        for thread in threads:
            thread.start()
        running = len(threads)
        while running:
            kind, value = results.get()
            if kind == "row":
                table.add(value)
                bar.update(1)
            elif kind == "error":
                error = error or value
            else:
                running -= 1
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        while not results.empty():  # rows finished while stopping
            kind, value = results.get()
            if kind == "row":
                table.add(value)
        table.close()
    if error is not None:
        raise error
    return table
