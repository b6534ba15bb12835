"""A recording: the consecutive video files of one experiment, described once.

Times in the recording ("elapsed" seconds, ``--from``/``--to``) are counted
from the first frame of the first file and across the files by their frame
counts: file k starts at the sum of the durations (frames / frame rate) of
the files before it, whatever gap the camcorder left between them. Positions
are frame numbers counted the same way (file 0's frames first).
"""
from __future__ import annotations

import math
import os
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import Tavelin
import Tessil

from fluidlab.errors import FluidlabError

VIDEO_EXTENSIONS = (".mts", ".m2ts", ".mp4", ".mov", ".m4v", ".avi", ".mkv", ".ts", ".mpg", ".mpeg", ".wmv")


def record_time(path: str) -> tuple[list[int], str, list[str]]:
    """The clock time [hour, minute, second] at which the file's recording
    started, where it was read from ("avchd", "container" or "file"), and the
    warnings given on the way (a camcorder clock that disagrees with itself)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        time, source = Tessil.GetRecordTime(path, with_source=True)
    return list(time), source, [str(w.message) for w in caught]


def frames_of(clips, videos, space):
    """The (frame, Capture) pairs of the clips, one frame held at a time
    (Tavelin.IterFrames: GetFrameIndex2's frames, captures and printed lines)."""
    return Tavelin.IterFrames(clips, videos, space)


@dataclass
class RecordingFile:
    index: int
    path: str
    video: object          # the Tavelin.Video (Frame_Count set to the exact count)
    frames: int            # frames a forward read delivers
    exact: bool            # False: OpenCV's estimate (the reader could not count them)
    fps: float
    size: tuple[int, int]  # width, height
    start: list[int]       # clock time [h, m, s] of frame 0
    source: str            # where the start time came from
    notes: list[str] = field(default_factory=list)  # what reading the start time warned of
    offset: float = 0.0    # elapsed seconds of frame 0
    first: int = 0         # position of frame 0

    @property
    def name(self) -> str:
        return os.path.basename(self.path)

    @property
    def duration(self) -> float:
        return self.frames / self.fps

    @property
    def start_seconds(self) -> float:
        """The start time as seconds after midnight."""
        hour, minute, second = self.start
        return hour * 3600 + minute * 60 + second


@dataclass
class Recording:
    files: list[RecordingFile]
    ignored: list[str] = field(default_factory=list)

    @property
    def fps(self) -> float:
        return self.files[0].fps

    @property
    def size(self) -> tuple[int, int]:
        return self.files[0].size

    @property
    def frames(self) -> int:
        return sum(f.frames for f in self.files)

    @property
    def duration(self) -> float:
        return sum(f.duration for f in self.files)

    @property
    def videos(self) -> list:
        return [f.video for f in self.files]

    def locate(self, position: int) -> tuple[int, int]:
        """(file index, frame) of a position."""
        for f in self.files:
            if position < f.first + f.frames:
                return f.index, position - f.first
        raise IndexError(f"position {position} is past the end of the recording")

    def elapsed(self, file_index: int, frame: int) -> float:
        f = self.files[file_index]
        return f.offset + frame / f.fps

    def clock(self, file_index: int, frame: int) -> float:
        """Seconds after midnight (may pass 86400) of a frame, from its file's start time."""
        f = self.files[file_index]
        return f.start_seconds + frame / f.fps

    def position_at(self, seconds: float, after: bool) -> int:
        """The position of the first frame at or after ``seconds`` of elapsed
        time (``after``), or of the last frame at or before it."""
        for f in self.files:
            if seconds < f.offset + f.duration:
                exact = (seconds - f.offset) * f.fps
                if after:
                    return f.first + min(max(math.ceil(exact - 1e-6), 0), f.frames)
                return f.first + min(math.floor(exact + 1e-6), f.frames - 1)
        return self.frames if after else self.frames - 1

    def check_one_size(self) -> None:
        sizes = {f.size for f in self.files}
        if len(sizes) > 1:
            listed = ", ".join(f"{f.name} {f.size[0]}x{f.size[1]}" for f in self.files)
            raise FluidlabError(f"the files of the recording differ in frame size ({listed}); "
                                "analyse one size at a time")

    def clip(self, first: int, last: int, rate: float = 0):
        """A Tavelin.Clip (files counted from 0) from position ``first`` to
        position ``last``, both included, whose frame numbers the readers
        truncate to exactly these frames."""
        start_file, start_frame = self.locate(first)
        end_file, end_frame = self.locate(last)
        start_fps = self.files[start_file].fps
        # The reader takes frame FPS * (minutes * 60 + seconds), truncated:
        # the smallest seconds whose product reaches the frame.
        start_sec = start_frame / start_fps
        while start_fps * (0 * 60 + start_sec) < start_frame:
            start_sec = math.nextafter(start_sec, math.inf)
        end_sec = (end_frame + 0.5) / self.files[end_file].fps
        return Tavelin.Clip(0, start_sec, start_file, 0, end_sec, end_file, rate)


def find_videos(sources: list[str], pattern: str | None = None) -> tuple[list[str], list[str]]:
    """The recording's files in recording order, and the video files of the
    folder left out. A folder gives its video files of the most common
    extension (or those matching ``pattern``), sorted by name; files given
    one by one are taken in the order given."""
    if len(sources) == 1 and os.path.isdir(sources[0]):
        folder = sources[0]
        names = sorted(os.listdir(folder))
        paths = [os.path.join(folder, n) for n in names if os.path.isfile(os.path.join(folder, n))]
        if pattern:
            import fnmatch
            chosen = [p for p in paths if fnmatch.fnmatch(os.path.basename(p), pattern)]
            if not chosen:
                raise FluidlabError(f"no file in {folder} matches --pattern {pattern!r}")
            videos = [p for p in paths if p.lower().endswith(VIDEO_EXTENSIONS)]
            return chosen, [p for p in videos if p not in chosen]
        videos = [p for p in paths if p.lower().endswith(VIDEO_EXTENSIONS)]
        if not videos:
            raise FluidlabError(f"no video files in {folder} (looked for {', '.join(VIDEO_EXTENSIONS)})")
        extensions = [os.path.splitext(p)[1].lower() for p in videos]
        # The camcorder's files: the extension most of them share (the first on a tie).
        common = max(dict.fromkeys(extensions), key=extensions.count)
        chosen = [p for p, e in zip(videos, extensions) if e == common]
        return chosen, [p for p in videos if p not in chosen]
    for source in sources:
        if os.path.isdir(source):
            raise FluidlabError(f"{source} is a folder: give one folder, or video files")
        if not os.path.exists(source):
            raise FluidlabError(f"no such file or folder: {source}")
    return list(sources), []


def describe(path: str, index: int, start: list[int], source: str) -> RecordingFile:
    """Opens one file of a recording, whose recording started at ``start``:
    frame rate, exact frame count and size."""
    video = Tavelin.Video(path, start)
    video.start_time = start  # kept as given, [0, 0, 0] (midnight) included
    reader = Tavelin._FrameReader(path)
    if video.FPS <= 0 or not reader.is_open():
        raise FluidlabError(f"{path}: not a video file that can be read")
    counted = reader.frame_count()
    frames = counted if counted >= 0 else video.Frame_Count
    if frames <= 0:
        raise FluidlabError(f"{path}: the video has no frames")
    video.Frame_Count = frames  # the readers spread the step over the files by these counts
    return RecordingFile(index, path, video, frames, counted >= 0, float(video.FPS),
                         tuple(reader.frame_size()), start, source)


def open_recording(paths: list[str], ignored: list[str] = (), jobs: int = 1, progress=None) -> Recording:
    """Describes the files of a recording (``jobs`` at a time), found with
    find_videos. ``progress`` is called once per file described."""
    lock = threading.Lock()
    for path in paths:
        if not os.path.isfile(path):
            raise FluidlabError(f"no such file: {path}")
    # The clocks first, here: warnings are caught in this thread only.
    clocks = [record_time(path) for path in paths]

    def one(item):
        result = describe(item[1], item[0], *clocks[item[0]][:2])
        result.notes = clocks[item[0]][2]
        if progress:
            with lock:
                progress()
        return result

    with ThreadPoolExecutor(max(1, min(jobs, len(paths)))) as pool:
        files = list(pool.map(one, enumerate(paths)))
    offset, first = 0.0, 0
    for f in files:
        f.offset, f.first = offset, first
        offset += f.duration
        first += f.frames
    return Recording(files, list(ignored))


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def warn(message: str, quiet: bool) -> None:
    if not quiet:
        print(f"fluidlab: {message}", file=sys.stderr)
