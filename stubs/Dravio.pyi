"""Image and video utilities."""
import copy as copy
from collections.abc import Iterator, Sequence
from os import PathLike
from typing import Any

import cv2
import imageio as imageio
import numpy as np
from Hollark import *
from numpy.typing import NDArray
from Wendrel import *

_Path = str | PathLike[str]
_Image = NDArray[np.uint8]

def GetIndex(Framelist: list[int], Clip: Sequence[Any], space: float) -> tuple[list[int], list[list[Any]]]:
    """The files of a span and, per file, the frame numbers to visit."""

def cv_GenImage(img: Any, /) -> _Image:
    """A white image of img's height and width."""

def cv_RandomImg(h: int, v: int) -> _Image:
    """A random colour image h wide and v high."""

def cv_VideoWriter(path: _Path, format: str, fps: float, size: tuple[int, int]) -> cv2.VideoWriter:
    """A writer whose codec the key format names."""

def cv_toVideo(frames: Sequence[Any], path: _Path, fps: float, format: str = ".mp4", space: int = 1) -> bool:
    """Images or image paths as an MPEG-4 video; False for no frames."""

def cv_ExplodeVideo(path: _Path, /) -> list[_Image]:
    """Every frame of a video file."""

def VideoCombine(VdoPathList: Sequence[_Path], path: str, format: str = ".mp4", space: int = 1) -> bool | None:
    """Every space-th frame of each file, joined into one video."""

def RegularVideo(VdoPathList: Sequence[_Path], OutPath: str, times: int, format: str = ".mp4",
                 fps: float = 0) -> bool | None:
    """One frame every times frames of a multi-file recording, as a video."""

def evenLightImg(img: _Image, size: int, channel: str = "gray") -> NDArray[np.uint8]:
    """One plane of img evened out with CLAHE."""

def evenLight(input: str, /) -> list[NDArray[np.uint8]] | None:
    """evenLightImg(image, 21) of every JPEG image of a folder."""

def rotateImg(img: _Image, /) -> _Image:
    """img turned by 90 degrees about its centre, same size."""

def rotate(input: Any, /) -> list[_Image] | Iterator[_Image] | _Image | None:
    """rotateImg of a folder, a list of paths, a stack of images or one image."""
