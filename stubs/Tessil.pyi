"""Video timing: Video, GetCaptures and the recording time of a file."""
import operator as operator
import os as os
import time as time
from os import PathLike
from typing import Any

import cv2 as cv2
from Wendrel import *

_Path = str | PathLike[str]

def GetCreatTime(path: _Path) -> list[int]:
    """[hour, minute, second] of the file's creation time."""

def GetRecordTime(path: _Path, with_source: bool = False) -> list[int] | tuple[list[int], str]:
    """[hour, minute, second] of the recording time written in the file (the camcorder's
    clock, else the container's creation_time), else GetCreatTime(path); with_source=True
    gives (time, "avchd" | "container" | "file")."""

class Video:
    """One video file of a recording."""

    Vdo: cv2.VideoCapture
    path: Any
    FPS: float
    Frame_Count: int
    start_time: Any
    def __init__(self, path: _Path, start_time: Any = [0, 0, 0]) -> None: ...
    def GetCaptures(self, Space: float, Sm: float = 0, Ss: float = 0, Em: float = 0, Es: float = 0) -> list[int]:
        """The frame numbers of the window Sm:Ss to Em:Es at the step Space."""

def GetCaptures(FPS: float, Frame_Count: int, Space: float, Sm: float = 0, Ss: float = 0, Em: float = 0,
                Es: float = 0) -> list[int]:
    """Video.GetCaptures for a file given by its frame rate and frame count."""
