"""Capture and phase analysis."""
from collections.abc import Iterable, Iterator, Sequence
from os import PathLike
from typing import Any

import cv2
import numpy as np
from Dravio import GetIndex as GetIndex
from Dravio import cv_GenImage as cv_GenImage
from Hollark import *
from numpy.typing import NDArray
from Rimwell import *
from Tessil import *

_Path = str | PathLike[str]
_Image = NDArray[np.uint8]
_Mask = NDArray[np.uint8]

class Clip:
    """A stretch of a recording and its injection rate."""

    start_min: Any
    start_sec: Any
    start_i: Any
    end_min: Any
    end_sec: Any
    end_i: Any
    InjRate: Any
    def __init__(self, start_min: float, start_sec: float, start_videoIndex: int, end_min: float, end_sec: float,
                 end_videoIndex: int, InjRate: Any) -> None: ...

def TimeCal(t1: list[Any], sec: float) -> list[Any]:
    """The clock time t1 advanced by sec seconds."""

class Capture:
    """One frame with its identifiers, clock time and analysis results."""

    iClip: Any
    iVideo: Any
    iFrame: Any
    time: Any
    InjRate: Any
    Phase_frames: list[_Mask]
    name: str
    frame: _Image
    PhaseNum: int
    Phase_frames_names: list[str]
    PhaseArea: list[int]
    colorframe: _Image
    def __init__(self, iClip: int, iVideo: Any, iFrame: Any, Capture_time: Any, InjRate: Any) -> None: ...
    def GetFrame(self, frame: _Image) -> None: ...
    def Separate(self, Phase: Sequence[Any]) -> None: ...
    def Rimwell(self) -> None: ...
    def CalArea(self) -> None: ...
    def ColorFrame(self, binary_image: _Mask, c: Sequence[float], mask: _Mask) -> None: ...
    def WriteFile(self, path: _Path) -> None: ...
    def _destory(self) -> None: ...

class Phases:
    """A phase definition: name, subPhase ranges and the PhaseSequence formula."""

    name: str
    subPhase: list[Any]
    PhaseSequence: str
    def __init__(self) -> None: ...

def color_seperate(image: _Image, lower_hsv: Any, upper_hsv: Any) -> _Mask:
    """The mask of one inclusive HSV range."""

def Separate_Seq(frame: _Image, Phase: Iterable[Any]) -> list[_Mask]:
    """One mask per phase definition."""

def Rimwell(image: _Image) -> _Mask:
    """The filled mask of outlines picked with the mouse."""

def GetFrameIndex(Cliplist: Sequence[Clip], Videos: Iterable[Video], FrameSpace: float
                  ) -> tuple[list[_Image | None], list[Capture | None]]:
    """Frames and captures of the clips, file by file (files counted from 1)."""

def GetFrameIndex2(Cliplist: Iterable[Clip], Videos: Sequence[Video], FrameSpace: float
                   ) -> tuple[list[_Image], list[Capture]]:
    """Frames and captures of the clips, clip by clip (files counted from 0)."""

class _ClipFrames(Iterator[tuple[_Image, Capture]]):
    def __next__(self) -> tuple[_Image, Capture]: ...
    def close(self) -> None: ...
    def __enter__(self) -> _ClipFrames: ...
    def __exit__(self, *args: object) -> None: ...

def IterFrames(Cliplist: Iterable[Clip], Videos: Sequence[Video], FrameSpace: float) -> _ClipFrames:
    """The (frame, capture) pairs of GetFrameIndex2, one at a time."""

def GetFrames_multi(_Video: cv2.VideoCapture, video: Video, FramesIndex: Any, n: int, ivideo: Any,
                    Cliplist: Sequence[Clip]) -> tuple[_Image | None, Capture]:
    """One frame of an open capture and its Capture."""

def ExtractFromVideos(Videos: Sequence[Video | _Path], TimeSpace: float = 0, Sm: float = 0, Ss: float = 0,
                      Em: float = 0, Es: float = 0) -> list[_Image | None] | bool:
    """The frames of a whole recording every TimeSpace seconds."""

def Image2Capture(Imagepaths: Sequence[_Path]) -> tuple[list[_Image], list[Capture]]:
    """One capture per image file."""

def Img2Video(path: _Path, fps: float, crop: Any = 0) -> None:
    """The images of a folder, oldest first, as path/Video.mp4."""
