"""Image-file and mask helpers."""
import types
from os import PathLike

import cv2 as cv2
import numpy
from numpy.typing import NDArray

_Path = str | PathLike[str]

np = numpy  # the NumPy module
cvFun: types.ModuleType  # cvFun.cv_toVideo is Dravio.cv_toVideo

def cv_imread(path: _Path) -> NDArray[numpy.uint8]:
    """The 8-bit BGR image of the file at path."""

def cv_imsave(image: NDArray[numpy.generic], base: _Path, ext: str) -> None:
    """Writes image to base + ext in the format ext names."""

def bitwise_plus(mask: NDArray[numpy.uint8], term: NDArray[numpy.uint8]) -> NDArray[numpy.uint8]:
    """The union of two masks."""

def bitwise_miner(mask: NDArray[numpy.uint8], term: NDArray[numpy.uint8]) -> NDArray[numpy.uint8]:
    """mask AND NOT term."""
