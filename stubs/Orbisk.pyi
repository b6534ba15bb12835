"""Batch jobs over a recording; importing the module runs the fixed batch job."""
import os as os
import sys as sys
from collections.abc import Sequence
from os import PathLike
from typing import Any

import cv2 as cv2
import imageio as imageio
import numpy as np
from Dravio import *
from numpy.typing import NDArray
from Tavelin import *

_Path = str | PathLike[str]

hub: Any
ProcessSeq: list[process]
videos: list[Video]
path: str
pathlist: list[str]
VideoNumber: int
Cliplist: list[Clip]
p: str  # the last values of the driver's two loops
i: int

class process:
    """A batch job: paths, Video objects, frame step and clips of a recording."""

    path: Any
    videos: Any
    Times: Any
    Cliplist: Any
    def __init__(self, _path: Any, _videos: Any, _Times: Any, _Cliplist: Any) -> None: ...

def Speed_Fig(images: Sequence[NDArray[np.uint8]] | None, paths: Any, Times: Any, Space: Any,
              output_dir: _Path) -> None:
    """The images as output_dir/X{Times}.mp4 at 25 frames per second."""

def Speed_Vdo(videos: Sequence[Video] | None, paths: Sequence[_Path] | None, Times: Any, Cliplist: Sequence[Clip],
              output_dir: _Path, visualization: bool = False) -> None:
    """Every Times-th frame of the clips as output_dir/X{Times}.mp4."""

def Speed(path: Sequence[_Path], videos: Sequence[Video], Times: Any, Cliplist: Sequence[Clip]) -> None:
    """Every Times-th frame of the clips as X{Times}.mp4 next to the first file."""

def GetCapture(path: Sequence[_Path], videos: Sequence[Video], Times: Any, Cliplist: Sequence[Clip]) -> None:
    """Every Times-th frame of the clips as the stills Capture/t={i*Times} s.jpg."""

def CaptureCrop(pathlist: Sequence[_Path], crop: Sequence[int]) -> None:
    """A block of every image as a PNG in the subfolder "Capture Crop"."""

def MakeDyImg(pathlist: Sequence[_Path], loc: int, width: int, dir: str = "x") -> None:
    """The band loc-width:loc+width of every image, joined into one BMP strip."""
