"""Synthetic recordings and image folders for the tests and the examples.

Every frame carries its own frame index and file number as a grid of large
black and white blocks, which survive lossy coding, so that a reader of the
frames can tell exactly which frame it received (see ``read_index``).
"""

from __future__ import annotations

import os
import subprocess
from fractions import Fraction
from pathlib import Path

import cv2
import numpy as np

# The code grid: 4 rows x 5 columns of blocks, 16 bits of frame index and
# 4 bits of file number, most significant bit first.
GRID_ROWS, GRID_COLS = 4, 5
INDEX_BITS, FILE_BITS = 16, 4


def frame_image(index: int, file_number: int = 0, size: tuple[int, int] = (160, 120),
                background: np.ndarray | None = None) -> np.ndarray:
    """A BGR frame of ``size`` (width, height) that encodes ``index`` and ``file_number``.

    Without ``background`` the code grid fills the frame. With one (an image of
    ``size``), the frame is that image with the grid in its top-left quarter,
    which ``read_index(image, corner=True)`` reads back.
    """
    if background is not None:
        image = background.copy()
        height, width = image.shape[:2]
        image[:height // 4, :width // 4] = frame_image(index, file_number, (width // 4, height // 4))
        return image
    width, height = size
    bits = [(index >> (INDEX_BITS - 1 - b)) & 1 for b in range(INDEX_BITS)]
    bits += [(file_number >> (FILE_BITS - 1 - b)) & 1 for b in range(FILE_BITS)]
    image = np.zeros((height, width, 3), np.uint8)
    for k, bit in enumerate(bits):
        row, col = divmod(k, GRID_COLS)
        y0, y1 = row * height // GRID_ROWS, (row + 1) * height // GRID_ROWS
        x0, x1 = col * width // GRID_COLS, (col + 1) * width // GRID_COLS
        image[y0:y1, x0:x1] = 255 if bit else 0
    return image


def read_index(image: np.ndarray, corner: bool = False) -> tuple[int, int]:
    """The (file_number, index) that ``frame_image`` encoded in ``image``
    (in its top-left quarter when ``corner``)."""
    if corner:
        image = image[:image.shape[0] // 4, :image.shape[1] // 4]
    height, width = image.shape[:2]
    grey = image.mean(axis=2) if image.ndim == 3 else image
    bits = []
    for k in range(INDEX_BITS + FILE_BITS):
        row, col = divmod(k, GRID_COLS)
        # Sample the middle half of the block, away from blurred edges.
        y0, y1 = row * height // GRID_ROWS, (row + 1) * height // GRID_ROWS
        x0, x1 = col * width // GRID_COLS, (col + 1) * width // GRID_COLS
        qy, qx = (y1 - y0) // 4, (x1 - x0) // 4
        bits.append(int(grey[y0 + qy:y1 - qy, x0 + qx:x1 - qx].mean() > 127))
    index = int("".join(map(str, bits[:INDEX_BITS])), 2)
    file_number = int("".join(map(str, bits[INDEX_BITS:])), 2)
    return file_number, index


def _rate_text(fps: float | Fraction) -> str:
    """ffmpeg's text for a frame rate: 29.97 is NTSC's 30000/1001."""
    if isinstance(fps, Fraction):
        return f"{fps.numerator}/{fps.denominator}"
    if abs(fps - 29.97) < 1e-9:
        return "30000/1001"
    return str(Fraction(fps).limit_denominator(1001))


def write_video(path: str | os.PathLike, count: int, file_number: int = 0,
                size: tuple[int, int] = (160, 120), fps: float = 25.0, frames=None,
                bitrate: str | None = None) -> str:
    """Writes ``count`` index-carrying frames (or the given ``frames``) to ``path``.

    The container and codec follow the extension: ``.avi`` is MJPG written by
    OpenCV; ``.MTS`` (MPEG-TS) and ``.mp4`` are H.264 from the ffmpeg command
    line with B-frames and a 25-frame GOP, as camcorders write, at constant
    quality or, given ``bitrate`` ("12M"), at the fixed rate of a camcorder.
    """
    path = os.fspath(path)
    if frames is None:
        frames = (frame_image(i, file_number, size) for i in range(count))
    extension = os.path.splitext(path)[1].lower()
    if extension == ".avi":
        writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), float(fps), size)
        if not writer.isOpened():
            raise OSError(f"cannot write {path}")
        try:
            for frame in frames:
                writer.write(frame)
        finally:
            writer.release()
        return path
    container = {".mts": "mpegts", ".ts": "mpegts", ".mp4": "mp4"}[extension]
    command = [
        "ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24",
        "-s", f"{size[0]}x{size[1]}", "-r", _rate_text(fps), "-i", "-",
        "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-keyint_min", "25",
        "-sc_threshold", "0", "-bf", "2", "-pix_fmt", "yuv420p",
        *(["-b:v", bitrate, "-maxrate", bitrate, "-bufsize", bitrate] if bitrate else []),
        "-f", container, path,
    ]
    with subprocess.Popen(command, stdin=subprocess.PIPE) as encoder:
        try:
            for frame in frames:
                encoder.stdin.write(np.ascontiguousarray(frame).tobytes())
        finally:
            encoder.stdin.close()
    if encoder.returncode != 0:
        raise OSError(f"ffmpeg could not write {path}")
    return path


def moving_scene(count: int, size: tuple[int, int], seed: int = 0, grain: int = 6):
    """``count`` frames of a textured scene panning slowly, with the sensor
    grain of a camcorder (uniform noise of +-``grain`` levels, new in every
    frame), as a camera sees a sample. Written at a camcorder's bit rate
    (``write_video(..., bitrate="12M")``) it gives the decoding work of real
    recordings."""
    width, height = size
    rng = np.random.default_rng(seed)
    texture = cv2.GaussianBlur(rng.integers(0, 256, (height * 2, width * 2, 3), np.uint8), (0, 0), 3)
    texture = cv2.normalize(texture, None, 0, 255, cv2.NORM_MINMAX)
    # A few noise fields, shifted every frame, so the grain never repeats.
    fields = [rng.integers(-grain, grain + 1, (height * 2, width * 2, 3), np.int16) for _ in range(4)] if grain else []
    for k in range(count):
        x = int(width / 2 * (1 + np.sin(k / 200))) % width
        y = (k // 3) % height
        frame = texture[y:y + height, x:x + width]
        if fields:
            dx, dy = (k * 7919) % width, (k * 104729) % height
            noise = fields[k % len(fields)][dy:dy + height, dx:dx + width]
            frame = np.clip(frame.astype(np.int16) + noise, 0, 255).astype(np.uint8)
        yield frame


def write_recording(folder: str | os.PathLike, counts: list[int], extension: str = ".MTS",
                    size: tuple[int, int] = (160, 120), fps: float = 25.0) -> list[str]:
    """A multi-file recording: one file per entry of ``counts`` (its frame count),
    named 00000.MTS, 00001.MTS, ... in recording order; file k's frames carry k."""
    os.makedirs(folder, exist_ok=True)
    return [write_video(os.path.join(folder, f"{k:05d}{extension}"), count, k, size, fps)
            for k, count in enumerate(counts)]


def write_image_folder(folder: str | os.PathLike, images, names=None, extension: str = ".jpg",
                       mtimes=None) -> list[str]:
    """Writes ``images`` into ``folder`` (names img000.jpg, ... unless given) and,
    when ``mtimes`` is given, sets each file's modification time (seconds since
    the epoch). Returns the paths in the order of ``images``."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for k, image in enumerate(images):
        name = names[k] if names else f"img{k:03d}{extension}"
        path = os.path.join(folder, name)
        ok, data = cv2.imencode(os.path.splitext(name)[1], image)
        if not ok:
            raise OSError(f"cannot encode {path}")
        Path(path).write_bytes(data.tobytes())
        if mtimes is not None:
            os.utime(path, (mtimes[k], mtimes[k]))
        paths.append(path)
    return paths


def read_frames(path: str | os.PathLike) -> list[np.ndarray]:
    """Every frame of a video file, as OpenCV reads it forward."""
    capture = cv2.VideoCapture(os.fspath(path))
    frames = []
    try:
        while True:
            ok, frame = capture.read()
            if not ok:
                return frames
            frames.append(frame)
    finally:
        capture.release()


def camcorder_recording(folder: str | os.PathLike, counts: list[int], size: tuple[int, int],
                        bitrate: str = "12M", fps: float = 25.0) -> list[str]:
    """A multi-file recording of the grainy moving scene at a camcorder's bit
    rate (H.264 in MPEG-TS, 00000.MTS, ...), each frame's number in the
    top-left quarter (``read_index(image, corner=True)``). Made once: files
    already there are kept, and a file appears only when it is complete."""
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, f"{k:05d}.MTS") for k in range(len(counts))]
    for k, (path, count) in enumerate(zip(paths, counts)):
        if os.path.exists(path):
            continue
        print(f"Generating {path} (once)...", flush=True)
        scene = moving_scene(count, size, seed=k)
        frames = (frame_image(i, k, background=b) for i, b in enumerate(scene))
        write_video(path + ".part.MTS", count, k, size, fps, frames=frames, bitrate=bitrate)
        os.replace(path + ".part.MTS", path)
    return paths
