"""fluidlab pick: choose a phase's HSV ranges by looking, like Fiji's Color Threshold.

The window shows the frame with the current phase's mask tinted in its
colour (``Tavelin.Separate_Seq``), live, and six trackbars for the lower and
upper hue, saturation and value of the current range. A click on a pixel
widens the current range so that it includes the pixel (a new range starts
empty: the first click makes it exactly that pixel). Under the frame a status
bar shows the phase, the range and the keys:

    a  add a range to the phase        Tab    next range
    d  delete the range                Space  next phase
    p  new phase                       n      name the phase (type, Enter; Esc cancels)
    s  save                            q      save and quit
    Esc  quit without saving           (closing the window saves and quits)
"""
from __future__ import annotations

import contextlib
import os
import sys
import tomllib

import cv2
import numpy as np

from fluidlab.errors import FluidlabError
from fluidlab.phases import PALETTE, Phase, dumps_phases, load_phases, parse_phases, union_formula

WINDOW = "fluidlab pick"
IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".webp")
EMPTY = ([179, 255, 255], [0, 0, 0])  # a range that selects nothing: lower above upper
BARS = [("H low", 0, 0, 179), ("H high", 1, 0, 179), ("S low", 0, 1, 255), ("S high", 1, 1, 255),
        ("V low", 0, 2, 255), ("V high", 1, 2, 255)]  # name, bound (0 lower, 1 upper), channel, maximum
STATUS_WIDTH = 860  # pixels: the status lines fit in a window at least this wide
KEYS_HELP = "click: widen range  a: add range  Tab: next range  d: delete range  p: new phase  " \
            "Space: next phase  n: name  s: save  q: save+quit  Esc: quit"


def split_source(text: str) -> tuple[str, str | None]:
    """FRAME_OR_VIDEO[:time] -> (path, time text or None)."""
    if os.path.exists(text):
        return text, None
    for k, character in enumerate(text):
        if character == ":" and os.path.exists(text[:k]):
            return text[:k], text[k + 1:]
    raise FluidlabError(f"no such file or folder: {text.split(':')[0] if ':' in text else text}")


def load_frame(text: str):
    """The frame to pick on: an image file, or the frame of a video (or a
    recording's folder) at the given time since its start (0:00 without one)."""
    import Hollark

    from fluidlab.options import format_duration, parse_time
    from fluidlab.recording import find_videos, frames_of, open_recording
    path, when = split_source(text)
    if os.path.isfile(path) and path.lower().endswith(IMAGE_EXTENSIONS):
        if when is not None:
            raise FluidlabError(f"{path} is an image: a time ({when}) is only for videos")
        try:
            return Hollark.cv_imread(path)
        except (OSError, ValueError) as error:
            raise FluidlabError(f"{path}: {error}") from None
    seconds = parse_time(when, "the time after ':'") if when else 0.0
    recording = open_recording(*find_videos([path]))
    if seconds >= recording.duration:
        raise FluidlabError(f"{text}: {format_duration(seconds)} is after the end of {path} "
                            f"({format_duration(recording.duration)})")
    position = recording.position_at(seconds, after=True)
    # The reader's printed frame table is of no use here.
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), \
            frames_of([recording.clip(position, position)], recording.videos, 1) as pairs:
        for frame, capture in pairs:
            if hasattr(capture, "frame"):
                return frame
    raise FluidlabError(f"{text}: the frame could not be read")


class Picker:
    """The picking state and its window."""

    def __init__(self, frame: np.ndarray, phases: list[Phase], out: str):
        self.frame = frame
        self.hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
        self.out = out
        self.phases = [{"name": p.name, "ranges": [[list(lo), list(hi)] for lo, hi in p.ranges],
                        "formula": p.formula, "colour": p.colour} for p in phases]
        if not self.phases:
            self.new_phase()
        self.phase, self.range = 0, 0
        self.naming: str | None = None  # the name being typed
        self.message = f"saving to {out}"
        self.dirty = False
        self.saved: list[Phase] = []

    # -- the model --------------------------------------------------------

    @property
    def current(self) -> dict:
        return self.phases[self.phase]

    @property
    def bounds(self) -> list[list[int]]:
        return self.current["ranges"][self.range]

    def new_phase(self) -> None:
        names = {p["name"] for p in self.phases}
        number = len(self.phases) + 1
        while f"phase {number}" in names:
            number += 1
        self.phases.append({"name": f"phase {number}", "ranges": [[list(EMPTY[0]), list(EMPTY[1])]],
                            "formula": "=0", "colour": PALETTE[(len(self.phases)) % len(PALETTE)]})
        self.phase, self.range = len(self.phases) - 1, 0

    def ranges_changed(self) -> None:
        self.current["formula"] = union_formula(len(self.current["ranges"]))
        self.dirty = True

    def widen(self, x: int, y: int) -> None:
        """The current range grows to include the pixel at (x, y)."""
        pixel = [int(v) for v in self.hsv[y, x]]
        lower, upper = self.bounds
        empty = any(lo > hi for lo, hi in zip(lower, upper))
        for c in range(3):
            lower[c] = pixel[c] if empty else min(lower[c], pixel[c])
            upper[c] = pixel[c] if empty else max(upper[c], pixel[c])
        self.dirty = True
        self.message = f"added pixel ({x}, {y}): HSV {pixel[0]}, {pixel[1]}, {pixel[2]}"

    def key(self, code: int) -> str | None:
        """Handles one key; returns "save", "quit" or None."""
        if self.naming is not None:
            if code in (13, 10):
                if self.naming.strip() and self.naming not in {p["name"] for p in self.phases}:
                    self.current["name"] = self.naming.strip()
                    self.dirty = True
                self.naming = None
            elif code == 27:
                self.naming = None
            elif code in (8, 127):
                self.naming = self.naming[:-1]
            elif 32 <= code < 127 and chr(code) not in '\\/:*?"<>|':
                self.naming += chr(code)
            return None
        character = chr(code) if 0 <= code < 0x110000 else ""
        if character == "a":
            if len(self.current["ranges"]) >= 10:
                self.message = "a phase has at most 10 ranges (a formula names 0-9)"
            else:
                self.current["ranges"].append([list(EMPTY[0]), list(EMPTY[1])])
                self.range = len(self.current["ranges"]) - 1
                self.ranges_changed()
        elif code == 9:
            self.range = (self.range + 1) % len(self.current["ranges"])
        elif character == "d":
            if len(self.current["ranges"]) > 1:
                del self.current["ranges"][self.range]
                self.range = min(self.range, len(self.current["ranges"]) - 1)
            else:
                self.current["ranges"][0] = [list(EMPTY[0]), list(EMPTY[1])]
            self.ranges_changed()
        elif character == "p":
            self.new_phase()
            self.dirty = True
        elif character == " ":
            self.phase, self.range = (self.phase + 1) % len(self.phases), 0
        elif character == "n":
            self.naming = ""
        elif character == "s":
            return "save"
        elif character == "q":
            return "quit"
        elif code == 27:
            return "cancel"
        return None

    def result(self) -> list[Phase]:
        """The phases to save: their non-empty ranges; phases without any are left out."""
        phases = []
        for p in self.phases:
            kept = [(tuple(lo), tuple(hi)) for lo, hi in p["ranges"] if all(a <= b for a, b in zip(lo, hi))]
            if not kept:
                continue
            formula = p["formula"] if len(kept) == len(p["ranges"]) else union_formula(len(kept))
            phases.append(Phase(p["name"], kept, formula, tuple(p["colour"])))
        return phases

    def save(self) -> int:
        phases = self.result()
        if not phases:
            self.message = "nothing to save: click the phase's pixels first"
            return 0
        text = dumps_phases(phases)
        parse_phases(tomllib.loads(text), self.out)  # what is written always loads again
        temporary = self.out + ".part"
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(text)
        os.replace(temporary, self.out)
        self.dirty = False
        self.saved = phases
        self.message = f"saved {len(phases)} phases to {self.out}"
        return len(phases)

    # -- the window -------------------------------------------------------

    def mask(self) -> np.ndarray:
        """The current phase's mask, computed again only when its ranges change."""
        import Tavelin
        p = self.current
        key = repr((p["ranges"], p["formula"]))
        if getattr(self, "_mask_key", None) != key:
            phase = Phase(p["name"], [tuple(map(tuple, r)) for r in p["ranges"]], p["formula"], p["colour"])
            self._mask, self._mask_key = Tavelin.Separate_Seq(self.frame, [phase.definition()])[0], key
        return self._mask

    def render(self) -> np.ndarray:
        mask = self.mask() > 0
        image = self.frame.copy()
        tint = np.empty_like(image)
        tint[:] = self.current["colour"][::-1]
        image[mask] = cv2.addWeighted(self.frame, 0.45, tint, 0.55, 0)[mask]
        lower, upper = self.bounds
        p = self.current
        name = f"name: {self.naming}_" if self.naming is not None else f"'{p['name']}'"
        shown = "empty" if any(a > b for a, b in zip(lower, upper)) else \
            f"H {lower[0]}-{upper[0]}  S {lower[1]}-{upper[1]}  V {lower[2]}-{upper[2]}"
        lines = [f"phase {self.phase + 1}/{len(self.phases)} {name}  range {self.range + 1}/{len(p['ranges'])}: "
                 f"{shown}  formula {p['formula']}  {int(mask.sum())} px",
                 self.message + ("  (unsaved)" if self.dirty else ""), KEYS_HELP]
        # The frame at the top left, 1:1 (clicks are its pixels), the status below.
        width = max(image.shape[1], STATUS_WIDTH)
        canvas = np.full((image.shape[0] + 18 * len(lines) + 8, width, 3), 32, np.uint8)
        canvas[:image.shape[0], :image.shape[1]] = image
        for k, line in enumerate(lines):
            cv2.putText(canvas, line, (6, image.shape[0] + 18 + 18 * k), cv2.FONT_HERSHEY_SIMPLEX, 0.42,
                        (235, 235, 235), 1, cv2.LINE_AA)
        return canvas

    def sync_bars(self) -> None:
        for name, bound, channel, _ in BARS:
            cv2.setTrackbarPos(name, WINDOW, self.bounds[bound][channel])

    def on_bar(self, bound: int, channel: int, value: int) -> None:
        if self.bounds[bound][channel] != value:
            self.bounds[bound][channel] = value
            self.dirty = True

    def on_mouse(self, event, x, y, flags, param) -> None:
        if event == cv2.EVENT_LBUTTONDOWN and 0 <= y < self.frame.shape[0] and 0 <= x < self.frame.shape[1]:
            self.widen(x, y)
            self.sync_bars()

    def loop(self) -> None:
        cv2.namedWindow(WINDOW, cv2.WINDOW_AUTOSIZE)
        try:
            for name, bound, channel, maximum in BARS:
                cv2.createTrackbar(name, WINDOW, self.bounds[bound][channel], maximum,
                                   lambda value, b=bound, c=channel: self.on_bar(b, c, value))
            cv2.setMouseCallback(WINDOW, self.on_mouse)
            shown, drawn = None, None
            while True:
                if shown != (self.phase, self.range):
                    self.sync_bars()
                    shown = (self.phase, self.range)
                state = repr((self.phases, self.phase, self.range, self.naming, self.message, self.dirty))
                if state != drawn:  # redrawn only when something changed
                    cv2.imshow(WINDOW, self.render())
                    drawn = state
                code = cv2.waitKey(40)
                if cv2.getWindowProperty(WINDOW, cv2.WND_PROP_VISIBLE) < 1:
                    self.save()
                    return
                if code < 0:
                    continue
                action = self.key(code & 0xFF)
                if action == "save":
                    self.save()
                elif action == "quit":
                    self.save()
                    return
                elif action == "cancel":
                    if self.dirty:
                        print(f"fluidlab: quit without saving to {self.out}", file=sys.stderr)
                    return
        finally:
            try:
                cv2.destroyWindow(WINDOW)
                cv2.waitKey(1)
            except cv2.error:
                pass


def run(args) -> int:
    phases = load_phases(args.out) if os.path.exists(args.out) else []
    frame = load_frame(args.source)
    import Rimwell

    # OpenCV's Qt back end aborts the process on a display it cannot open.
    problem = Rimwell._display_problem()
    if problem is not None:
        raise FluidlabError(f"pick opens a window and there is no display: {problem}")
    picker = Picker(frame, phases, args.out)
    picker.loop()
    if picker.saved:
        print(f"{args.out}: {len(picker.saved)} phases ({', '.join(p.name for p in picker.saved)})")
    return 0
