"""The bad-input matrix: every public callable of the seven modules against
families of bad input, each call in a forked child process.

The cases are generated from one good call per callable (`GOOD_CALLS`): each
argument has a kind, and each kind a catalogue of bad values (`CATALOGUE`)
with the outcome decided for them. A few calls that need more than one
argument changed at once are listed in `extra_cases`. `run_matrix` runs the
cases and classifies each outcome:

- "exception": a Python exception of an accepted class (and, where the
  outcome is decided, the class and the argument's name in the message);
- "result": the call returned what it must (for views of one array that
  differ only in layout, byte order or writability, the very outcome of the
  plain array, written files included);
- "wrong": a returned value where an exception was decided, an exception of
  another class, or another outcome than the plain array's;
- "crash": the child died (a signal or an exit without a report);
- "hang": the child did not finish within the time limit.

scripts/bad_input_matrix.py prints the counts; tests/test_bad_input_matrix.py
fails on every call that is not an exception or a result.
"""
from __future__ import annotations

import hashlib
import io
import json
import math
import os
import pathlib
import select
import signal
import sys
import tempfile
import time
import traceback
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

MODULES = ["Hollark", "Wendrel", "Tessil", "Dravio", "Rimwell", "Tavelin", "Orbisk"]
# Long enough for the slowest good call on a loaded machine; a call that takes
# longer is reported as a hang.
CALL_TIMEOUT = 10.0


# ---------------------------------------------------------------- outcomes

def accepted_exceptions():
    import cv2
    # NameError: the specified UnboundLocalError of a codec key or strip
    # direction that names nothing; ArithmeticError: the specified division
    # by a frame rate of 0.
    return (TypeError, ValueError, OverflowError, OSError, RuntimeError, LookupError, AttributeError,
            MemoryError, NameError, ArithmeticError, cv2.error)


@dataclass
class Expect:
    """What a call must do. `raises`: the exception classes decided for it
    (None: any accepted class, or a return); `names`: words one of which the
    message must contain; `returns`: the call must return; `same`: the
    outcome must equal that of the reference call."""
    raises: tuple | None = None
    names: tuple = ()
    returns: bool = False
    same: bool = False

    def describe(self):
        if self.same:
            return "the plain array's outcome"
        if self.returns:
            return "a result"
        if self.raises:
            text = "/".join(c.__name__ for c in self.raises)
            return text + (f" naming {' or '.join(self.names)}" if self.names else "")
        return "an exception or a result"


ANY = Expect()


def fails(*names):
    """Any accepted exception; `names`: the message names one of them."""
    return Expect(raises=accepted_exceptions(), names=names)


def raises(*classes, names=()):
    return Expect(raises=classes, names=tuple(names))


RESULT = Expect(returns=True)
SAME = Expect(same=True)


# ---------------------------------------------------------------- inputs

class Inputs:
    """The good values the calls start from, made in the child (arrays) or
    once in the parent (files); `out` is a fresh folder for each call."""

    def __init__(self, root):
        self.root = pathlib.Path(root)
        files = json.loads((self.root / "files.json").read_text())
        for name, value in files.items():
            setattr(self, name, value)
        import Dravio
        import Hollark
        import Tavelin
        import Tessil
        import Wendrel
        self.Hollark, self.Wendrel, self.Tessil, self.Dravio, self.Tavelin = Hollark, Wendrel, Tessil, Dravio, Tavelin
        import Orbisk
        import Rimwell
        self.Orbisk, self.Rimwell = Orbisk, Rimwell
        import samples
        self.image = samples.frame_image(3, 1)
        self.mask = np.where(self.image[:, :, 0] > 128, 255, 0).astype(np.uint8)
        self.term = np.where(self.image[:, :, 1] > 100, 0, 255).astype(np.uint8)
        self.out = self.root / "out"

    def copy_of(self, source):
        """A copy of a file or folder inside this call's output folder, for
        calls that write next to their inputs."""
        import shutil
        target = self.out / "input" / os.path.basename(source)
        if not target.exists():
            if os.path.isdir(source):
                shutil.copytree(source, target)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(source, target)
        return str(target)

    def video(self, path=None):
        return self.Tessil.Video(path or self.videos[0], [10, 0, 0])

    def video_list(self):
        return [self.Tavelin.Video(p, [10, 0, 0]) for p in self.videos]

    def clip(self, first=0, last=1, end_sec=1):
        return self.Tavelin.Clip(0, 0, first, 0, end_sec, last, 0.5)

    def phase(self):
        phase = self.Tavelin.Phases()
        phase.name, phase.subPhase, phase.PhaseSequence = "dark", [((0, 0, 0), (179, 255, 100))], "=0"
        return phase

    def capture(self, frame=True, separated=False):
        capture = self.Tavelin.Capture(1, 0, 0, [10, 0, 0], 0.5)
        if frame:
            capture.GetFrame(self.image.copy())
        if separated:
            capture.Separate([self.phase()])
        return capture


def make_files(root):
    """The files the calls read, written once: a recording of two files, still
    images, damaged files and copies under a non-ASCII folder."""
    import samples
    root = pathlib.Path(root)
    recording = root / "recording"
    videos = samples.write_recording(recording, [30, 30], ".avi")
    images = samples.write_image_folder(root / "stills", [samples.frame_image(k, 0) for k in range(3)])
    unicode = root / "vidéo 視頻"
    unicode_videos = samples.write_recording(unicode, [30], ".avi")
    unicode_images = samples.write_image_folder(unicode / "stills", [samples.frame_image(0, 0)])
    damaged = root / "damaged"
    damaged.mkdir()
    (damaged / "empty.jpg").write_bytes(b"")
    (damaged / "empty.avi").write_bytes(b"")
    (damaged / "truncated.jpg").write_bytes(pathlib.Path(images[0]).read_bytes()[:200])
    (damaged / "truncated.avi").write_bytes(pathlib.Path(videos[0]).read_bytes()[:3000])
    noise = np.random.default_rng(7).integers(0, 256, 20000, dtype=np.uint8).tobytes()
    (damaged / "noise.jpg").write_bytes(noise)
    (damaged / "noise.avi").write_bytes(noise)
    (damaged / "folder.jpg").mkdir()
    # The batch driver's data folders, for importing Orbisk.
    from conftest import write_drive_root
    write_drive_root(root / "drives")
    files = {
        "videos": videos, "jpg": images[0], "jpgs": images, "stills": str(root / "stills"),
        "unicode_video": unicode_videos[0], "unicode_jpg": unicode_images[0], "unicode_stills": str(unicode / "stills"),
        "missing": str(root / "missing.jpg"), "missing_video": str(root / "missing.avi"),
        "directory": str(damaged / "folder.jpg"),
        "empty_jpg": str(damaged / "empty.jpg"), "empty_video": str(damaged / "empty.avi"),
        "truncated_jpg": str(damaged / "truncated.jpg"), "truncated_video": str(damaged / "truncated.avi"),
        "noise_jpg": str(damaged / "noise.jpg"), "noise_video": str(damaged / "noise.avi"),
    }
    (root / "files.json").write_text(json.dumps(files))
    return files


# ---------------------------------------------------------------- catalogue

@dataclass
class Pair:
    """A value and the plain value whose outcome it must give."""
    value: object
    plain: object

# Each entry: (label, make(v, good) -> value or (value, reference), expectation).
# A SAME entry makes a pair: the value and the plain value whose outcome it must give.

def _broadcast(v, good):
    small = good[(slice(0, 1),) * good.ndim]
    return Pair(np.broadcast_to(small, good.shape), np.ascontiguousarray(np.broadcast_to(small, good.shape)))


def _big_broadcast(v, good):
    shape = (1500, 1500) + good.shape[2:]
    small = good[(slice(0, 1),) * good.ndim]
    return Pair(np.broadcast_to(small, shape), np.ascontiguousarray(np.broadcast_to(small, shape)))


def _readonly(v, good):
    value = good.copy()
    value.flags.writeable = False
    return Pair(value, good.copy())


def _strided(v, good):
    return Pair(np.repeat(good, 2, axis=1)[:, ::2], good.copy())


def _reversed(v, good):
    return Pair(good[::-1, ::-1][::-1, ::-1], good.copy())


def _fortran(v, good):
    return Pair(np.asfortranarray(good), good.copy())


def _big_endian(v, good):
    plain = good.astype("<u2") * 3 + 1  # values whose two bytes differ
    return Pair(plain.astype(">u2"), plain)


def _channel_view(v, good):
    if good.ndim == 3:
        wide = np.concatenate([good, good[:, :, :1]], axis=2)
        return Pair(wide[:, :, :3], good.copy())
    return _strided(v, good)


ARRAY_VIEWS = [
    ("broadcast (stride 0)", _broadcast, SAME),
    ("large broadcast (stride 0)", _big_broadcast, SAME),
    ("read-only", _readonly, SAME),
    ("column step (non-contiguous)", _strided, SAME),
    ("reversed twice (negative strides)", _reversed, SAME),
    ("Fortran order", _fortran, SAME),
    ("channel slice", _channel_view, SAME),
    ("big-endian >u2", _big_endian, SAME),
]


def array_entries(name):
    return [
        ("None", lambda v, g: None, fails()),
        ("a string", lambda v, g: "image", fails()),
        ("float16", lambda v, g: g.astype(np.float16), raises(TypeError, names=("float16",))),
        ("complex64", lambda v, g: g.astype(np.complex64), raises(TypeError, names=("complex",))),
        ("int64", lambda v, g: g.astype(np.int64), ANY),
        ("uint64", lambda v, g: g.astype(np.uint64), ANY),
        ("bool", lambda v, g: g > 0, ANY),
        ("object array", lambda v, g: g.astype(object), fails()),
        ("0-size", lambda v, g: g[:0, :0], ANY),
        ("1-D", lambda v, g: g.reshape(-1), ANY),
        ("4-D", lambda v, g: g[None], ANY),
        ("4 channels", lambda v, g: np.dstack([g, g[:, :, :1]]) if g.ndim == 3 else np.dstack([g] * 4), ANY),
        ("1x1", lambda v, g: g[:1, :1], ANY),
        ("nested lists", lambda v, g: g[:4, :4].tolist(), ANY),
    ] + ARRAY_VIEWS


def number_entries(name, nan_decided=True):
    """A frame step, frame number, time or frame rate: NaN and infinities raise
    ValueError naming it; huge integers an OverflowError (or ValueError)."""
    nan = raises(ValueError, names=(name,)) if nan_decided else ANY
    return [
        ("None", lambda v, g: None, fails()),
        ("a string", lambda v, g: "5", ANY),
        ("NaN", lambda v, g: math.nan, nan),
        ("inf", lambda v, g: math.inf, nan),
        ("-inf", lambda v, g: -math.inf, nan),
        ("2**63", lambda v, g: 2**63, ANY),
        ("-2**63", lambda v, g: -(2**63), ANY),
        ("10**30", lambda v, g: 10**30, ANY),
        ("-1e30", lambda v, g: -1e30, ANY),
        ("numpy float64", lambda v, g: np.float64(g), RESULT),
        ("a list", lambda v, g: [g], fails()),
    ]


def integer_entries(name, step=False, exact=False):
    """A count, size, index or (step=True) a frame step: integers beyond the
    platform's range raise OverflowError (IndexError where Python's own
    indexing gives it, MemoryError for sizes too large to allocate); NaN and
    infinities are refused, a frame step's with ValueError naming it.
    exact=True: the callable computes with Python's own ints, so a huge one
    may also give its exact result (tests/test_bad_numbers_arrays.py compares
    those with range())."""
    huge = ANY if exact else raises(OverflowError, ValueError, MemoryError, IndexError)
    nan = raises(ValueError, names=(name,)) if step else fails()
    return [
        ("None", lambda v, g: None, fails()),
        ("a string", lambda v, g: "5", ANY),
        ("NaN", lambda v, g: math.nan, nan),
        ("inf", lambda v, g: math.inf, nan),
        ("2**63", lambda v, g: 2**63, huge),
        ("-2**63", lambda v, g: -(2**63), ANY),
        ("10**30", lambda v, g: 10**30, huge),
        ("numpy int64", lambda v, g: np.int64(g), RESULT),
        ("a list", lambda v, g: [g], fails()),
    ]


def path_entries(kind):
    """A file or folder to read. A NUL byte raises ValueError, as Python's os
    functions do; os.PathLike gives what the string gives. A video file that
    does not exist raises FileNotFoundError when it opens a Video; readers of
    image files raise on a missing one."""
    missing = {"image": "missing", "video": "missing_video", "video_open": "missing_video",
               "folder": "missing"}[kind]
    absent = {"image": fails(), "video_open": raises(FileNotFoundError)}.get(kind, ANY)
    entries = [
        ("None", lambda v, g: None, ANY),
        ("an int", lambda v, g: 5, ANY),
        ("NUL byte", lambda v, g: str(g) + "\0x", raises(ValueError)),
        ("os.PathLike", lambda v, g: Pair(pathlib.Path(g), str(g)), SAME),
        ("missing", lambda v, g: getattr(v, missing), absent),
        ("empty string", lambda v, g: "", absent),
    ]
    if kind == "image":
        entries += [
            ("directory", lambda v, g: v.directory, fails()),
            ("empty file", lambda v, g: v.empty_jpg, fails()),
            ("truncated file", lambda v, g: v.truncated_jpg, ANY),
            ("random bytes", lambda v, g: v.noise_jpg, fails()),
            ("non-ASCII path", lambda v, g: v.unicode_jpg, RESULT),
        ]
    elif kind in ("video", "video_open"):
        entries += [
            ("directory", lambda v, g: v.directory, ANY),
            ("empty file", lambda v, g: v.empty_video, ANY),
            ("truncated file", lambda v, g: v.truncated_video, ANY),
            ("random bytes", lambda v, g: v.noise_video, ANY),
            ("non-ASCII path", lambda v, g: v.unicode_video, RESULT),
        ]
    else:
        entries += [
            ("a file", lambda v, g: v.jpg, ANY),
            ("non-ASCII path", lambda v, g: v.unicode_stills, RESULT),
        ]
    return entries


def _existing_folder(path):
    os.makedirs(path, exist_ok=True)
    return path


def out_entries(writer=False, folder=False):
    """A file or folder to write: NUL raises ValueError; os.PathLike and
    non-ASCII names work; a path through an existing file raises OSError
    (`writer`: cv_VideoWriter, whose writer is specified to come back
    unopened instead, and whose path is a string only)."""
    return [
        ("None", lambda v, g: None, ANY),
        ("an int", lambda v, g: 5, ANY),
        ("NUL byte", lambda v, g: str(g) + "\0x", raises(ValueError)),
        ("os.PathLike", lambda v, g: pathlib.Path(g), ANY if writer else RESULT),
        ("non-ASCII name", lambda v, g: (_existing_folder if folder else str)(
            os.path.join(os.path.dirname(g), "sortie 出力 " + os.path.basename(g))), RESULT),
        ("an existing file as folder", lambda v, g: os.path.join(v.jpg, "x", os.path.basename(str(g))),
         ANY if writer else raises(OSError)),
    ]


def string_entries():
    return [
        ("None", lambda v, g: None, ANY),
        ("an int", lambda v, g: 5, ANY),
        ("empty", lambda v, g: "", ANY),
        ("NUL byte", lambda v, g: g + "\0", ANY),
        ("unknown word", lambda v, g: "nonsense", ANY),
    ]


def list_entries(item_entries=()):
    """A list: empty lists and lists of wrong items; `item_entries` apply the
    item's catalogue to every item."""
    entries = [
        ("None", lambda v, g: None, ANY),
        ("an int", lambda v, g: 5, fails()),
        ("empty list", lambda v, g: [], ANY),
        ("[None]", lambda v, g: [None], fails()),
        ("[an int]", lambda v, g: [7], fails()),
    ]
    for label, make, expect in item_entries:
        def each(v, g, make=make):
            made = [make(v, item) for item in g]
            if made and isinstance(made[0], Pair):
                return Pair([m.value for m in made], [m.plain for m in made])
            return made
        entries.append((f"items {label}", each, expect))
    return entries


def clip_entries(name):
    """Lists of clips: times that are NaN raise ValueError; a file number
    beyond the videos raises ValueError naming the clip."""
    return list_entries() + [
        ("clip time NaN", lambda v, g: [v.Tavelin.Clip(0, math.nan, 0, 0, 1, 1, 0.5)], raises(ValueError)),
        ("clip end -1e30", lambda v, g: [v.Tavelin.Clip(0, 0, 0, -1e30, 1, 1, 0.5)], ANY),
        ("clip end inf", lambda v, g: [v.Tavelin.Clip(0, 0, 0, 0, math.inf, 1, 0.5)], raises(ValueError)),
        ("clip file 2**63", lambda v, g: [v.Tavelin.Clip(0, 0, 0, 0, 1, 2**63, 0.5)], ANY),
        ("clip file -1", lambda v, g: [v.Tavelin.Clip(0, 0, -1, 0, 1, 1, 0.5)], ANY),
        ("clip of strings", lambda v, g: [v.Tavelin.Clip("a", 0, 0, 0, 1, 1, 0.5)], ANY),
    ]


def video_list_entries():
    return list_entries() + [
        ("[path strings]", lambda v, g: list(v.videos), ANY),
        ("a Video without frames", lambda v, g: [v.Tavelin.Video(v.empty_video, [0, 0, 0])], ANY),
    ]


def phase_entries():
    def phase(v, ranges, formula="=0"):
        p = v.Tavelin.Phases()
        p.name, p.subPhase, p.PhaseSequence = "p", ranges, formula
        return [p]
    return list_entries() + [
        ("range of NaN", lambda v, g: phase(v, [((math.nan, 0, 0), (10, 255, 255))]), ANY),
        ("range of 2**63", lambda v, g: phase(v, [((0, 0, 0), (2**63, 255, 255))]), ANY),
        ("range too short", lambda v, g: phase(v, [((0, 0), (10, 255))]), fails()),
        ("formula naming range 5", lambda v, g: phase(v, [((0, 0, 0), (10, 255, 255))], "=5"), fails()),
        ("formula without '='", lambda v, g: phase(v, [((0, 0, 0), (10, 255, 255))], "0"), ANY),
        ("no ranges", lambda v, g: phase(v, []), ANY),
    ]


def bounds_entries():
    return [
        ("None", lambda v, g: None, fails()),
        ("a string", lambda v, g: "abc", fails()),
        ("two values", lambda v, g: (0, 0), fails()),
        ("NaN", lambda v, g: (math.nan, 0, 0), ANY),
        ("2**63", lambda v, g: (2**63, 0, 0), ANY),
        ("ints and floats mixed", lambda v, g: (g[0] + 0.5, g[1], g[2]), RESULT),
        ("numpy array", lambda v, g: np.array(g), RESULT),
    ]


def clock_entries():
    return [
        ("None", lambda v, g: None, ANY),
        ("empty list", lambda v, g: [], ANY),
        ("NaN seconds", lambda v, g: [10, 0, math.nan], ANY),
        ("a string", lambda v, g: "10:00:00", ANY),
    ]


def size_entries():
    return [
        ("None", lambda v, g: None, fails()),
        ("zero", lambda v, g: (0, 0), ANY),
        ("negative", lambda v, g: (-5, -5), ANY),
        ("2**63", lambda v, g: (2**63, 5), raises(OverflowError, ValueError)),
        ("NaN", lambda v, g: (math.nan, 5), fails()),
        ("one value", lambda v, g: (5,), fails()),
    ]


def image_list_entries():
    return list_entries(ARRAY_VIEWS[:2] + ARRAY_VIEWS[7:] + [
        ("float16", lambda v, g: g.astype(np.float16), raises(TypeError, ValueError))]) + [
        ("sizes differing", lambda v, g: [g[0], g[1][:60, :80]] + list(g[2:]), raises(ValueError)),
        ("grey images", lambda v, g: [i[:, :, 0].copy() for i in g], ANY),
    ]


def flag_entries():
    return [("None", lambda v, g: None, ANY), ("a string", lambda v, g: "yes", ANY)]


CATALOGUE = {
    "image": array_entries, "mask": array_entries,
    "step": number_entries, "time": number_entries, "fps": number_entries,
    "float": lambda name: number_entries(name, nan_decided=False),
    "int": integer_entries, "istep": lambda name: integer_entries(name, step=True),
    "pyint": lambda name: integer_entries(name, exact=True),
    "writer_path": lambda name: out_entries(writer=True), "out_dir": lambda name: out_entries(folder=True),
    "video_open": lambda name: path_entries("video_open"),
    "image_path": lambda name: path_entries("image"), "video_path": lambda name: path_entries("video"),
    "folder": lambda name: path_entries("folder"), "out": lambda name: out_entries(),
    "str": lambda name: string_entries(), "paths": lambda name: list_entries(path_entries("video")[2:4]),
    "image_paths": lambda name: list_entries(path_entries("image")[2:]),
    "clips": clip_entries, "videos": lambda name: video_list_entries(), "phases": lambda name: phase_entries(),
    "bounds": lambda name: bounds_entries(), "clock": lambda name: clock_entries(),
    "size": lambda name: size_entries(), "images": lambda name: image_list_entries(),
    "flag": lambda name: flag_entries(), "any": lambda name: [("None", lambda v, g: None, ANY)],
    "ints": lambda name: [
        ("None", lambda v, g: None, fails()), ("empty list", lambda v, g: [], ANY),
        ("[None]", lambda v, g: [None], ANY),
        ("NaN item", lambda v, g: [math.nan], raises(ValueError, TypeError)),
        ("2**63 item", lambda v, g: [2**63], raises(OverflowError)),
        ("10**30 item", lambda v, g: [30, 10**30], raises(OverflowError))],
}


# ---------------------------------------------------------------- the good calls
# name -> (family, function of v giving the callable, [(argument, kind, good value of v)]).

def _frames(v):
    return [v.image.copy() for _ in range(3)]


def _method(make, name):
    return lambda v: getattr(make(v), name)


GOOD_CALLS = {
    # Hollark
    "Hollark.cv_imread": ("image files", lambda v: v.Hollark.cv_imread, [("path", "image_path", lambda v: v.jpg)]),
    "Hollark.cv_imsave": ("image files", lambda v: v.Hollark.cv_imsave, [
        ("image", "image", lambda v: v.image), ("base", "out", lambda v: str(v.out / "saved")),
        ("ext", "str", lambda v: ".png")]),
    "Hollark.bitwise_plus": ("masks", lambda v: v.Hollark.bitwise_plus, [
        ("mask", "mask", lambda v: v.mask), ("term", "mask", lambda v: v.term)]),
    "Hollark.bitwise_miner": ("masks", lambda v: v.Hollark.bitwise_miner, [
        ("mask", "mask", lambda v: v.mask), ("term", "mask", lambda v: v.term)]),
    # Wendrel
    "Wendrel.orange": ("numbers and files", lambda v: v.Wendrel.orange, [
        ("start", "pyint", lambda v: 0), ("stop", "pyint", lambda v: 10), ("step", "pyint", lambda v: 2)]),
    "Wendrel.GetFiles": ("numbers and files", lambda v: v.Wendrel.GetFiles, [
        ("folder", "folder", lambda v: v.stills), ("pattern", "str", lambda v: "*.jpg")]),
    "Wendrel.makedir": ("numbers and files", lambda v: v.Wendrel.makedir, [
        ("folder", "out", lambda v: str(v.out / "made" / "deeper"))]),
    # Tessil
    "Tessil.GetCreatTime": ("timing", lambda v: v.Tessil.GetCreatTime, [("path", "video_path", lambda v: v.videos[0])]),
    "Tessil.GetRecordTime": ("timing", lambda v: v.Tessil.GetRecordTime, [
        ("path", "video_path", lambda v: v.videos[0]), ("with_source", "flag", lambda v: True)]),
    "Tessil.Video": ("timing", lambda v: v.Tessil.Video, [
        ("path", "video_open", lambda v: v.videos[0]), ("start_time", "clock", lambda v: [10, 0, 0])]),
    "Tessil.Video.GetCaptures": ("timing", _method(lambda v: v.video(), "GetCaptures"), [
        ("Space", "step", lambda v: 5), ("Sm", "time", lambda v: 0), ("Ss", "time", lambda v: 0),
        ("Em", "time", lambda v: 0), ("Es", "time", lambda v: 1)]),
    "Tessil.GetCaptures": ("timing", lambda v: v.Tessil.GetCaptures, [
        ("FPS", "fps", lambda v: 25.0), ("Frame_Count", "pyint", lambda v: 30), ("Space", "step", lambda v: 5),
        ("Sm", "time", lambda v: 0), ("Ss", "time", lambda v: 0), ("Em", "time", lambda v: 0),
        ("Es", "time", lambda v: 1)]),
    # Dravio
    "Dravio.GetIndex": ("frame selection", lambda v: v.Dravio.GetIndex, [
        ("Framelist", "ints", lambda v: [30, 30]), ("Clip", "any", lambda v: [0, 0, 0, 2.0]),
        ("space", "step", lambda v: 5)]),
    "Dravio.cv_GenImage": ("images", lambda v: v.Dravio.cv_GenImage, [("img", "image", lambda v: v.image)]),
    "Dravio.cv_RandomImg": ("images", lambda v: v.Dravio.cv_RandomImg, [
        ("h", "int", lambda v: 16), ("v", "int", lambda v: 8)]),
    "Dravio.cv_VideoWriter": ("video writers", lambda v: v.Dravio.cv_VideoWriter, [
        ("path", "writer_path", lambda v: str(v.out / "w.mp4")), ("format", "str", lambda v: ".mp4"),
        ("fps", "fps", lambda v: 25.0), ("size", "size", lambda v: (160, 120))]),
    "Dravio.cv_toVideo": ("video writers", lambda v: v.Dravio.cv_toVideo, [
        ("frames", "images", _frames), ("path", "out", lambda v: str(v.out / "v.mp4")),
        ("fps", "fps", lambda v: 25.0), ("format", "str", lambda v: ".mp4"), ("space", "istep", lambda v: 1)]),
    "Dravio.cv_ExplodeVideo": ("video readers", lambda v: v.Dravio.cv_ExplodeVideo, [
        ("path", "video_path", lambda v: v.videos[0])]),
    "Dravio.VideoCombine": ("video writers", lambda v: v.Dravio.VideoCombine, [
        ("VdoPathList", "paths", lambda v: list(v.videos)), ("path", "out", lambda v: str(v.out / "c.mp4")),
        ("format", "str", lambda v: ".mp4"), ("space", "istep", lambda v: 5)]),
    "Dravio.RegularVideo": ("video writers", lambda v: v.Dravio.RegularVideo, [
        ("VdoPathList", "paths", lambda v: list(v.videos)), ("OutPath", "out", lambda v: str(v.out / "r.mp4")),
        ("times", "istep", lambda v: 5), ("format", "str", lambda v: ".mp4"), ("fps", "fps", lambda v: 0)]),
    "Dravio.evenLightImg": ("images", lambda v: v.Dravio.evenLightImg, [
        ("img", "image", lambda v: v.image), ("size", "int", lambda v: 21), ("channel", "str", lambda v: "v")]),
    "Dravio.evenLight": ("images", lambda v: v.Dravio.evenLight, [("input", "folder", lambda v: v.copy_of(v.stills))]),
    "Dravio.rotateImg": ("images", lambda v: v.Dravio.rotateImg, [("img", "image", lambda v: v.image)]),
    "Dravio.rotate": ("images", lambda v: v.Dravio.rotate, [("input", "image", lambda v: v.image)]),
    # Rimwell and the pickers: no screen in the child, so every call must raise.
    "Rimwell.ContoursFilterByMouse": ("picker", lambda v: v.Rimwell.ContoursFilterByMouse, [
        ("images", "image", lambda v: v.image)]),
    "Tavelin.Rimwell": ("picker", lambda v: v.Tavelin.Rimwell, [("image", "image", lambda v: v.image)]),
    "Tavelin.Capture.Rimwell": ("picker", _method(lambda v: v.capture(), "Rimwell"), []),
    # Tavelin: records and phases
    "Tavelin.Clip": ("records", lambda v: v.Tavelin.Clip, [
        ("start_min", "any", lambda v: 0), ("start_sec", "any", lambda v: 0), ("start_videoIndex", "any", lambda v: 0),
        ("end_min", "any", lambda v: 0), ("end_sec", "any", lambda v: 1), ("end_videoIndex", "any", lambda v: 1),
        ("InjRate", "any", lambda v: 0.5)]),
    "Tavelin.TimeCal": ("records", lambda v: v.Tavelin.TimeCal, [
        ("t1", "clock", lambda v: [10, 0, 0]), ("sec", "time", lambda v: 30)]),
    "Tavelin.Capture": ("records", lambda v: v.Tavelin.Capture, [
        ("iClip", "any", lambda v: 1), ("iVideo", "any", lambda v: 0), ("iFrame", "any", lambda v: 0),
        ("Capture_time", "clock", lambda v: [10, 0, 0]), ("InjRate", "any", lambda v: 0.5)]),
    "Tavelin.Capture.GetFrame": ("records", _method(lambda v: v.capture(frame=False), "GetFrame"), [
        ("frame", "any", lambda v: v.image)]),
    "Tavelin.Capture.Separate": ("phases", _method(lambda v: v.capture(), "Separate"), [
        ("Phase", "phases", lambda v: [v.phase()])]),
    "Tavelin.Capture.CalArea": ("phases", _method(lambda v: v.capture(separated=True), "CalArea"), []),
    "Tavelin.Capture.ColorFrame": ("phases", _method(lambda v: v.capture(), "ColorFrame"), [
        ("binary_image", "mask", lambda v: v.mask), ("c", "bounds", lambda v: (0.5, 0.25, 1.0)),
        ("mask", "mask", lambda v: v.term)]),
    "Tavelin.Capture.WriteFile": ("image files", _method(lambda v: v.capture(separated=True), "WriteFile"), [
        ("path", "out", lambda v: str(v.out / "captures"))]),
    "Tavelin.Capture._destory": ("records", _method(lambda v: v.capture(separated=True), "_destory"), []),
    "Tavelin.Phases": ("records", lambda v: v.Tavelin.Phases, []),
    "Tavelin.color_seperate": ("phases", lambda v: v.Tavelin.color_seperate, [
        ("image", "image", lambda v: v.image), ("lower_hsv", "bounds", lambda v: (0, 0, 0)),
        ("upper_hsv", "bounds", lambda v: (100, 255, 200))]),
    "Tavelin.Separate_Seq": ("phases", lambda v: v.Tavelin.Separate_Seq, [
        ("frame", "image", lambda v: v.image), ("Phase", "phases", lambda v: [v.phase()])]),
    # Tavelin: readers
    "Tavelin.GetFrameIndex": ("video readers", lambda v: v.Tavelin.GetFrameIndex, [
        ("Cliplist", "clips", lambda v: [v.clip(1, 2)]), ("Videos", "videos", lambda v: v.video_list()),
        ("FrameSpace", "step", lambda v: 10)]),
    "Tavelin.GetFrameIndex2": ("video readers", lambda v: v.Tavelin.GetFrameIndex2, [
        ("Cliplist", "clips", lambda v: [v.clip()]), ("Videos", "videos", lambda v: v.video_list()),
        ("FrameSpace", "step", lambda v: 10)]),
    "Tavelin.IterFrames": ("video readers", lambda v: (lambda *a: list(v.Tavelin.IterFrames(*a))), [
        ("Cliplist", "clips", lambda v: [v.clip()]), ("Videos", "videos", lambda v: v.video_list()),
        ("FrameSpace", "step", lambda v: 10)]),
    "Tavelin.GetFrames_multi": ("video readers", lambda v: v.Tavelin.GetFrames_multi, [
        ("_Video", "any", lambda v: __import__("cv2").VideoCapture(v.videos[0])), ("video", "any", lambda v: v.video()),
        ("FramesIndex", "int", lambda v: 3), ("n", "int", lambda v: 0), ("ivideo", "any", lambda v: 0),
        ("Cliplist", "clips", lambda v: [v.clip()])]),
    "Tavelin.ExtractFromVideos": ("video readers", lambda v: v.Tavelin.ExtractFromVideos, [
        ("Videos", "videos", lambda v: v.video_list()), ("TimeSpace", "step", lambda v: 0.5),
        ("Sm", "time", lambda v: 0), ("Ss", "time", lambda v: 0), ("Em", "time", lambda v: 0),
        ("Es", "time", lambda v: 1)]),
    "Tavelin.Image2Capture": ("image files", lambda v: v.Tavelin.Image2Capture, [
        ("Imagepaths", "image_paths", lambda v: list(v.jpgs))]),
    "Tavelin.Img2Video": ("video writers", lambda v: v.Tavelin.Img2Video, [
        ("path", "folder", lambda v: v.copy_of(v.stills)), ("fps", "fps", lambda v: 5), ("crop", "any", lambda v: 0)]),
    # Orbisk
    "Orbisk.process": ("batch", lambda v: v.Orbisk.process, [
        ("_path", "any", lambda v: list(v.videos)), ("_videos", "any", lambda v: v.video_list()),
        ("_Times", "any", lambda v: 10), ("_Cliplist", "any", lambda v: [v.clip()])]),
    "Orbisk.Speed_Fig": ("batch", lambda v: v.Orbisk.Speed_Fig, [
        ("images", "images", _frames), ("paths", "any", lambda v: None), ("Times", "any", lambda v: 10),
        ("Space", "any", lambda v: 1), ("output_dir", "out_dir", lambda v: str(v.out))]),
    "Orbisk.Speed_Vdo": ("batch", lambda v: v.Orbisk.Speed_Vdo, [
        ("videos", "any", lambda v: None), ("paths", "paths", lambda v: list(v.videos)),
        ("Times", "istep", lambda v: 10),
        ("Cliplist", "clips", lambda v: [v.clip()]), ("output_dir", "out_dir", lambda v: str(v.out)),
        ("visualization", "flag", lambda v: False)]),
    "Orbisk.Speed": ("batch", lambda v: v.Orbisk.Speed, [
        ("path", "paths", lambda v: [v.copy_of(p) for p in v.videos]), ("videos", "videos", lambda v: v.video_list()),
        ("Times", "istep", lambda v: 10), ("Cliplist", "clips", lambda v: [v.clip()])]),
    "Orbisk.GetCapture": ("batch", lambda v: v.Orbisk.GetCapture, [
        ("path", "paths", lambda v: [v.copy_of(p) for p in v.videos]), ("videos", "videos", lambda v: v.video_list()),
        ("Times", "istep", lambda v: 10), ("Cliplist", "clips", lambda v: [v.clip()])]),
    "Orbisk.CaptureCrop": ("batch", lambda v: v.Orbisk.CaptureCrop, [
        ("pathlist", "image_paths", lambda v: [v.copy_of(p) for p in v.jpgs]),
        ("crop", "any", lambda v: [10, 50, 20, 60])]),
    "Orbisk.MakeDyImg": ("batch", lambda v: v.Orbisk.MakeDyImg, [
        ("pathlist", "image_paths", lambda v: list(v.jpgs)), ("loc", "int", lambda v: 50),
        ("width", "int", lambda v: 2), ("dir", "str", lambda v: "x")]),
}


@dataclass
class Case:
    name: str                  # the callable, "Module.function" or "Module.Class.method"
    family: str
    label: str                 # what is bad, e.g. "img=broadcast (stride 0)"
    build: Callable            # v -> (callable, args, reference args or None)
    expect: Expect
    environment: dict = field(default_factory=dict)

    @property
    def key(self):
        return f"{self.name}({self.label})"


def _builder(name, argument, make):
    family, getter, arguments = GOOD_CALLS[name]

    def build(v):
        function = getter(v)
        args = [good(v) for _, _, good in arguments]
        reference = None
        if argument is not None:
            index = [a for a, _, _ in arguments].index(argument)
            made = make(v, args[index])
            if isinstance(made, Pair):
                reference = list(args)
                reference[index] = made.plain
                made = made.value
            args[index] = made
        return function, args, reference
    return build


def extra_cases():
    """Calls with more than one argument wrong, or an environment of their own."""
    cases = []

    def add(name, label, build, expect, **environment):
        cases.append(Case(name, GOOD_CALLS[name][0], label, build, expect, environment))

    add("Dravio.GetIndex", "clip end -1e30 (a cast that overflowed)",
        lambda v: (v.Dravio.GetIndex, [[100], [0, 0, -1e30, 50.0], 1], None), ANY)
    add("Dravio.GetIndex", "frame numbers near 2**63",
        lambda v: (v.Dravio.GetIndex, [[2**62, 2**62], [0, 0, 6.0e15, 0], 10**15], None), ANY)
    for name in ("Hollark.bitwise_plus", "Hollark.bitwise_miner"):
        # Both masks in the other byte order, or both broadcast: the plain masks' result.
        def both(v, name=name, make=_big_endian):
            function = getattr(v.Hollark, name.split(".")[1])
            mask, term = make(v, v.mask), make(v, v.term)
            return function, [mask.value, term.value], [mask.plain, term.plain]
        cases.append(Case(name, "masks", "mask and term big-endian >u2", both, SAME))
        cases.append(Case(name, "masks", "mask and term large broadcast",
                          lambda v, both=both: both(v, make=_big_broadcast), SAME))
    add("Tavelin.GetFrameIndex", "clip naming file 3 of 2", lambda v: (
        v.Tavelin.GetFrameIndex, [[v.clip(1, 3)], v.video_list(), 10], None), raises(ValueError, names=("clip",)))
    add("Tavelin.GetFrameIndex2", "clip naming file 2 of 0-1", lambda v: (
        v.Tavelin.GetFrameIndex2, [[v.clip(0, 2)], v.video_list(), 10], None), raises(ValueError, names=("clip",)))
    add("Tavelin.color_seperate", "bounds (0, 100, 50) and (10.5, 255, 255)", lambda v: (
        v.Tavelin.color_seperate, [v.image, (0, 100, 50), (10.5, 255, 255)], None), RESULT)
    for label, value in [("int64 mask", np.int64), ("uint64 mask", np.uint64)]:
        def calarea(v, dtype=value):
            capture = v.capture(separated=True)
            capture.Phase_frames = [f.astype(dtype) for f in capture.Phase_frames]
            return capture.CalArea, [], None
        add("Tavelin.Capture.CalArea", label, calarea, RESULT)
    add("Tessil.Video", "a path that does not exist", lambda v: (v.Tessil.Video, [v.missing_video], None),
        raises(FileNotFoundError))
    add("Wendrel.makedir", "'a\\0b'", lambda v: (v.Wendrel.makedir, [str(v.out / "a\0b")], None), raises(ValueError))
    add("Wendrel.orange", "stop 2**62 step 2**62 (overflowing the sum)",
        lambda v: (v.Wendrel.orange, [0, 2**63 - 1, 2**62], None), ANY)
    add("Wendrel.orange", "step 0", lambda v: (v.Wendrel.orange, [0, 10, 0], None), ANY)
    for name in ("Rimwell.ContoursFilterByMouse", "Tavelin.Rimwell"):
        add(name, "DISPLAY naming no display", lambda v, name=name: (
            getattr(getattr(v, name.split(".")[0]), name.split(".")[1]), [v.image], None), fails(),
            DISPLAY=":97")
    add("Tavelin.Capture.Rimwell", "DISPLAY naming no display", lambda v: (v.capture().Rimwell, [], None),
        fails(), DISPLAY=":97")
    add("Tavelin.Capture._destory", "a capture without a frame", lambda v: (
        v.capture(frame=False)._destory, [], None), fails())
    add("Tavelin.Capture.CalArea", "a capture not separated", lambda v: (v.capture().CalArea, [], None), ANY)
    add("Dravio.cv_RandomImg", "100000 x 100000 (huge size)", lambda v: (
        v.Dravio.cv_RandomImg, [100000, 100000], None), fails())
    add("Dravio.cv_toVideo", "image paths", lambda v: (
        v.Dravio.cv_toVideo, [list(v.jpgs), str(v.out / "p.mp4"), 5], None), RESULT)
    add("Orbisk.Speed_Fig", "images and paths both given", lambda v: (
        v.Orbisk.Speed_Fig, [_frames(v), list(v.jpgs), 10, 1, str(v.out)], None), RESULT)
    add("Orbisk.Speed_Vdo", "videos and paths both missing", lambda v: (
        v.Orbisk.Speed_Vdo, [None, None, 10, [v.clip()], str(v.out)], None), RESULT)
    return cases


# Outcomes decided for one callable where its kind's catalogue says less.
OVERRIDES = {
    **{(name, "Cliplist=clip file 2**63"): raises(ValueError, OverflowError)
       for name in ("Tavelin.GetFrameIndex", "Tavelin.GetFrameIndex2", "Tavelin.IterFrames")},
    ("Dravio.cv_GenImage", "img=float16"): ANY,  # only the shape is read
    ("Dravio.cv_GenImage", "img=complex64"): ANY,
    ("Dravio.cv_GenImage", "img=object array"): ANY,
    ("Tavelin.Capture.GetFrame", "frame=None"): ANY,  # stored as given
    ("Dravio.rotate", "input=None"): RESULT,  # "input Error" and None
    ("Dravio.evenLight", "input=os.PathLike"): RESULT,  # not a string: None, as specified
    # GetFrames_multi reads only the clip's InjRate.
    **{("Tavelin.GetFrames_multi", f"Cliplist={label}"): ANY for label in ("clip time NaN", "clip end inf")},
    ("Dravio.cv_VideoWriter", "fps=None"): ANY,  # an unopened writer, as specified
    ("Dravio.cv_VideoWriter", "size=None"): ANY,
}


def all_cases():
    cases = []
    for name, (family, _, arguments) in GOOD_CALLS.items():
        # The child has no screen: the picker's good call must raise too.
        good = fails() if family == "picker" else RESULT
        cases.append(Case(name, family, "good call", _builder(name, None, None), good))
        for argument, kind, _ in arguments:
            for label, make, expect in CATALOGUE[kind](argument):
                label = f"{argument}={label}"
                expect = OVERRIDES.get((name, label), expect)
                if family == "picker" and not expect.same:
                    expect = fails()  # no screen: everything raises
                cases.append(Case(name, family, label, _builder(name, argument, make), expect))
    return cases + extra_cases()


def families():
    return sorted({family for family, _, _ in GOOD_CALLS.values()})


def public_callables():
    """Every public callable the seven modules define (re-exports counted once,
    under the module that defines them), methods of their classes included;
    names with a leading underscore are the modules' own internals."""
    import importlib
    names = set()
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name in dir(module):
            value = getattr(module, name)
            if name.startswith("_") or not callable(value) or getattr(value, "__module__", None) != module_name:
                continue
            names.add(f"{module_name}.{name}")
            if isinstance(value, type):
                # Methods with one underscore are public too (Capture._destory).
                for attribute, member in vars(value).items():
                    if callable(member) and not attribute.startswith(("__", "_pybind11")):
                        names.add(f"{module_name}.{name}.{attribute}")
    return names


# ---------------------------------------------------------------- running

def _snapshot(folder):
    """What a call wrote: each file's name and content (decoded pixels of
    images and videos, so that encoders' headers do not count)."""
    import cv2
    result = {}
    for path in sorted(pathlib.Path(folder).rglob("*")):
        if not path.is_file():
            continue
        key = str(path.relative_to(folder))
        data = path.read_bytes()
        if path.suffix.lower() in (".mp4", ".avi", ".mkv", ".mov"):
            capture = cv2.VideoCapture(str(path))
            digest = hashlib.sha1()
            while True:
                ok, frame = capture.read()
                if not ok:
                    break
                digest.update(frame.tobytes())
            capture.release()
            result[key] = digest.hexdigest()
        else:
            result[key] = hashlib.sha1(data).hexdigest()
    return result


def _digest(value, depth=0):
    """A comparable summary of a result."""
    if depth > 4:
        return "..."
    if isinstance(value, np.ndarray):
        return ["array", value.shape, str(value.dtype), hashlib.sha1(np.ascontiguousarray(value).tobytes()).hexdigest()]
    if isinstance(value, (list, tuple)):
        return [type(value).__name__] + [_digest(item, depth + 1) for item in value[:50]]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (int, float, str, bool, type(None))):
        return value if not (isinstance(value, float) and math.isnan(value)) else "nan"
    if hasattr(value, "__dict__"):
        return [type(value).__name__] + [[k, _digest(x, depth + 1)] for k, x in sorted(vars(value).items())
                                         if k not in ("Vdo",)]
    return type(value).__name__


def _run_once(v, function, args, folder):
    """The outcome of one call: ('raised', class, message) or ('returned', digest)."""
    folder.mkdir(parents=True, exist_ok=True)
    try:
        result = function(*args)
        if hasattr(result, "release"):
            result.release()
        return {"outcome": "returned", "digest": _digest(result), "repr": repr(result)[:120],
                "files": _snapshot(folder)}
    except Exception as error:
        return {"outcome": "raised", "type": type(error).__name__, "message": str(error)[:300],
                "files": _snapshot(folder),
                "classes": [c.__name__ for c in type(error).__mro__]}


def _judge(case, result, reference):
    """'exception', 'result' or 'wrong' (with why) for a finished call."""
    expect = case.expect
    accepted = [c.__name__ for c in accepted_exceptions()]
    if result["outcome"] == "raised":
        if result["type"] in ("SystemError", "KeyboardInterrupt"):
            return "wrong", "raised " + result["type"]
    if expect.same:
        if reference is None:
            return "wrong", "no reference call"
        if result["outcome"] != reference["outcome"]:
            return "wrong", f"{_describe(result)}, where the plain array gives {_describe(reference)}"
        if result["outcome"] == "raised":
            if result["type"] != reference["type"]:
                return "wrong", f"{_describe(result)}, where the plain array gives {_describe(reference)}"
            return "exception", ""
        if result["digest"] != reference["digest"] or result["files"] != reference["files"]:
            return "wrong", "returned or wrote something else than the plain array gives"
        return "result", ""
    if result["outcome"] == "returned":
        if expect.raises is not None and not expect.returns:
            return "wrong", f"returned {result['repr']}, where {expect.describe()} was decided"
        return "result", ""
    if not set(result["classes"]) & set(accepted):
        return "wrong", f"raised {result['type']}, not an accepted class"
    if expect.returns:
        return "wrong", f"{_describe(result)}, where a result was decided"
    if expect.raises is not None:
        wanted = [c.__name__ for c in expect.raises]
        if not set(result["classes"]) & set(wanted):
            return "wrong", f"{_describe(result)}, where {expect.describe()} was decided"
        if expect.names and not any(n in result["message"] for n in expect.names):
            return "wrong", f"{_describe(result)}: the message does not name {' or '.join(expect.names)}"
    return "exception", ""


def _describe(result):
    if result["outcome"] == "raised":
        return f"raised {result['type']}: {result['message'][:150]}"
    return f"returned {result['repr']}"


def _child(case, v, write_end, number):
    """Runs in the forked child: the call (and its reference), one JSON line."""
    folder = v.root / "out" / str(number)
    folder.mkdir(parents=True, exist_ok=True)
    log = os.open(folder / "stderr.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(log, 2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.environ.update(case.environment)
    if "DISPLAY" not in case.environment:
        os.environ.pop("DISPLAY", None)
    sys.stdout = io.StringIO()
    try:
        v.out = folder / "call"
        function, args, reference_args = case.build(v)
        reference = None
        if reference_args is not None:
            # The plain call first, in a folder of its own, with inputs built
            # afresh for the call itself (methods change their capture).
            v.out = folder / "reference"
            function, _, reference_args = case.build(v)
            reference = _run_once(v, function, reference_args, v.out)
            v.out = folder / "call"
            function, args, _ = case.build(v)
        result = _run_once(v, function, args, v.out)
        result["reference"] = reference
        payload = json.dumps(result, default=str)
    except BaseException as error:  # the building of the inputs failed: a fault of the matrix itself
        payload = json.dumps({"outcome": "broken", "message": "".join(traceback.format_exception(error))[-600:]})
    os.write(write_end, (payload + "\n").encode())
    os._exit(0)


def run_matrix(root, cases, jobs=2, progress=None):
    """Runs `cases` in forked children, `jobs` at a time; returns one record
    per case: name, family, label, verdict, detail."""
    v = Inputs(root)
    pending = list(enumerate(cases))
    running = {}
    records = [None] * len(cases)
    while pending or running:
        while pending and len(running) < jobs:
            number, case = pending.pop(0)
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                _child(case, v, write_end, number)
            os.close(write_end)
            running[pid] = (number, case, read_end, time.monotonic(), bytearray())
        readable = [entry[2] for entry in running.values()]
        ready, _, _ = select.select(readable, [], [], 0.05)
        for pid, (number, case, read_end, started, buffer) in list(running.items()):
            if read_end in ready:
                chunk = os.read(read_end, 1 << 16)
                buffer.extend(chunk)
            finished, status = os.waitpid(pid, os.WNOHANG)
            timed_out = time.monotonic() - started > CALL_TIMEOUT
            if not finished and not timed_out:
                continue
            if not finished:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            while True:
                chunk = os.read(read_end, 1 << 16)
                if not chunk:
                    break
                buffer.extend(chunk)
            os.close(read_end)
            del running[pid]
            records[number] = _record(case, buffer, status if finished else None,
                                      pathlib.Path(root) / "out" / str(number) / "stderr.txt")
            if progress:
                progress(records[number])
    return records


def _record(case, buffer, status, stderr):
    record = {"name": case.name, "family": case.family, "label": case.label, "expected": case.expect.describe()}
    if status is None or not buffer:
        try:
            lines = [line for line in stderr.read_text(errors="replace").splitlines() if line.strip()]
            record["stderr"] = "\n".join(lines[-12:])
        except OSError:
            pass
    if status is None:
        record.update(verdict="hang", detail=f"did not finish within {CALL_TIMEOUT:.0f} s")
        return record
    text = buffer.decode(errors="replace").strip()
    if not text:
        if os.WIFSIGNALED(status):
            detail = f"killed by {signal.Signals(os.WTERMSIG(status)).name}"
        else:
            detail = f"exited with status {os.WEXITSTATUS(status)} without a result"
        record.update(verdict="crash", detail=detail)
        return record
    result = json.loads(text)
    if result["outcome"] == "broken":
        record.update(verdict="wrong", detail="the matrix could not build the call: " + result["message"])
        return record
    verdict, detail = _judge(case, result, result.get("reference"))
    record.update(verdict=verdict, detail=detail or _describe(result))
    return record


def summary(records):
    counts = {"calls": len(records)}
    for verdict in ("exception", "result", "wrong", "crash", "hang"):
        counts[verdict] = sum(r["verdict"] == verdict for r in records)
    return counts


def prepare(root):
    """Writes the input files under `root` and sets up this process (the
    parent of the children) for the calls: Orbisk imported with its driver on
    a small drive root, OpenCV's worker threads off (threads do not survive
    fork(), and a pool the parent started would wait on them in a child)."""
    import cv2
    cv2.setNumThreads(0)
    make_files(root)
    os.environ["ORBISK_DRIVE_ROOT"] = str(pathlib.Path(root) / "drives")
    saved = sys.stdout
    sys.stdout = io.StringIO()
    try:
        import Orbisk  # noqa: F401
    finally:
        sys.stdout = saved


def main_run(cases=None, jobs=2, progress=None):
    with tempfile.TemporaryDirectory(prefix="bad-input-") as root:
        prepare(root)
        return run_matrix(root, cases if cases is not None else all_cases(), jobs, progress)
