"""The phase-formula rules of Separate_Seq transcribed with plain cv2 calls, one
HSV conversion and one cv2.inRange per term: the tests' oracle and the
benchmark's baseline."""
import cv2
import numpy as np


def in_range(frame, lower, upper):
    return cv2.inRange(cv2.cvtColor(frame, cv2.COLOR_BGR2HSV), np.asarray(lower), np.asarray(upper))


def plain_separate(frame, phases):
    """One mask per phase: after the first "=", a digit d is the mask of
    subPhase[d], joined by the first armed of AND ("*"), AND NOT ("-") and OR
    ("+"), or replacing the running mask; the running mask starts full."""
    full = np.full(frame.shape[:2], 255, np.uint8)
    masks = []
    for p in phases:
        running, armed = full, {"*": False, "-": False, "+": False}
        for char in p.PhaseSequence.partition("=")[2]:
            if char in "0123456789":
                bounds = np.asarray(p.subPhase[int(char)])
                mask = in_range(frame, bounds[0], bounds[1])
                if armed["*"]:
                    running, armed["*"] = cv2.bitwise_and(running, mask), False
                elif armed["-"]:
                    running, armed["-"] = cv2.bitwise_and(running, cv2.bitwise_not(mask)), False
                elif armed["+"]:
                    running, armed["+"] = cv2.bitwise_or(running, mask), False
                else:
                    running = mask
            elif char in armed:
                armed[char] = True
        masks.append(running)
    return masks
