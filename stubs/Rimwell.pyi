"""Interactive contour filter."""
import copy as copy
import time as time

import cv2 as cv2
import numpy as np
from numpy.typing import NDArray

def ContoursFilterByMouse(images: NDArray[np.uint8]) -> list[NDArray[np.int32]]:
    """The outlines picked with the mouse in the window "Image", until Enter."""

def _display_problem() -> str | None:
    """Why no OpenCV window can be shown here, or None when one can."""
