"""Videos of every kind the frame reader meets, for its tests: MJPG, MPEG-4
part 2, H.264 in MP4 and MPEG-TS (closed and open GOPs), 10-bit and odd-sized
pictures, recordings cut mid-stream or trimmed, rotated, without timestamps or
with wrong ones. Their frames carry their own frame index.

Each frame is split into a 4x3 grid of cells; the centre block of every cell
is black or white and encodes one bit of the frame index (12 bits, so up to
4096 frames).  Around the blocks the frame holds drifting texture, a moving
blob and fresh noise, so encoders see ordinary motion and the blocks still
survive lossy coding.  decode_index() reads the index back from any image;
make_small(folder) writes all the files (160x120 unless noted).
"""
import os
import subprocess

import cv2
import numpy as np

GRID_COLS, GRID_ROWS = 4, 3
BITS = GRID_COLS * GRID_ROWS
BLACK, WHITE = 30, 225


def _cells(w, h):
    cw, ch = w // GRID_COLS, h // GRID_ROWS
    for bit in range(BITS):
        r, c = divmod(bit, GRID_COLS)
        yield bit, c * cw, r * ch, cw, ch


class FrameMaker:
    """Deterministic frame source: frame(i) always gives the same image."""

    def __init__(self, w, h, seed=1):
        self.w, self.h = w, h
        rng = np.random.default_rng(seed)
        # Smooth texture twice the frame size; a window into it pans over time.
        small = rng.integers(0, 256, (h // 8 + 2, w // 8 + 2), dtype=np.uint8)
        tex = cv2.resize(small, (2 * w, 2 * h), interpolation=cv2.INTER_CUBIC)
        self.tex = cv2.GaussianBlur(tex, (0, 0), max(1.0, w / 160.0))
        self.seed = seed
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        self.yy, self.xx = yy, xx

    def frame(self, i):
        w, h = self.w, self.h
        t = i / 25.0
        ox = int((w / 2) * (1 + np.sin(0.31 * t)))
        oy = int((h / 2) * (1 + np.sin(0.23 * t + 1.0)))
        g = self.tex[oy:oy + h, ox:ox + w].astype(np.int16)
        # A blob drifting like injected dye.
        cx = w * (0.5 + 0.35 * np.sin(0.7 * t))
        cy = h * (0.5 + 0.35 * np.cos(0.5 * t))
        r2 = ((self.xx - cx) ** 2 + (self.yy - cy) ** 2) / (0.04 * w * w)
        g = g + (80 * np.exp(-r2)).astype(np.int16)
        rng = np.random.default_rng(self.seed * 100003 + i)
        g = g + rng.integers(-6, 7, (h, w), dtype=np.int16)
        img = np.empty((h, w, 3), np.uint8)
        img[..., 0] = np.clip(g, 0, 255)
        img[..., 1] = np.clip(g * 3 // 4 + 40, 0, 255)
        img[..., 2] = np.clip(255 - g, 0, 255)
        for bit, x, y, cw, ch in _cells(w, h):
            bx, by = cw // 4, ch // 4
            img[y + by:y + ch - by, x + bx:x + cw - bx] = WHITE if (i >> bit) & 1 else BLACK
        return img


def decode_index(img):
    """Frame index encoded in img (BGR or gray), or -1 if a block is unclear."""
    if img is None or img.size == 0:
        return -1
    gray = img if img.ndim == 2 else cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    h, w = gray.shape
    value = 0
    for bit, x, y, cw, ch in _cells(w, h):
        m = float(gray[y + 3 * ch // 8:y + 5 * ch // 8, x + 3 * cw // 8:x + 5 * cw // 8].mean())
        if m > 170:
            value |= 1 << bit
        elif m > 85:
            return -1
    return value


def _ffmpeg(path, w, h, n, maker, args, extra_inputs=(), fps=25):
    cmd = ["ffmpeg", "-y", "-loglevel", "error",
           "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", f"{w}x{h}", "-r", str(fps), "-i", "-",
           *extra_inputs, *args, path]
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    for i in range(n):
        p.stdin.write(maker.frame(i).tobytes())
    p.stdin.close()
    if p.wait() != 0:
        raise RuntimeError("ffmpeg failed for " + path)


def _cv_writer(path, fourcc, w, h, n, maker, fps=25):
    vw = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), fps, (w, h))
    if not vw.isOpened():
        raise RuntimeError("VideoWriter failed for " + path)
    for i in range(n):
        vw.write(maker.frame(i))
    vw.release()


# name -> (frames, writer[, (width, height)]); writers get (path, w, h, n, maker).
SMALL = {
    "mjpg.avi": (70, lambda p, w, h, n, m: _cv_writer(p, "MJPG", w, h, n, m)),
    "mp4v.mp4": (90, lambda p, w, h, n, m: _cv_writer(p, "mp4v", w, h, n, m)),
    # Default B-frame settings (3, pyramid) and scene-cut keyframes.
    "h264.mp4": (110, lambda p, w, h, n, m: _ffmpeg(
        p, w, h, n, m, ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "24", "-crf", "18"])),
    # Camcorder-like: fixed 25-frame closed GOP, 2 B-frames, AC-3 audio alongside.
    "h264.MTS": (130, lambda p, w, h, n, m: _ffmpeg(
        p, w, h, n, m,
        ["-map", "0:v", "-map", "1:a", "-shortest",
         "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25", "-keyint_min", "25",
         "-sc_threshold", "0", "-bf", "2", "-crf", "18", "-c:a", "ac3", "-f", "mpegts"],
        extra_inputs=["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"])),
    # Open GOPs: leading B-frames after each I-frame reference the previous GOP.
    "opengop.MTS": (130, lambda p, w, h, n, m: _ffmpeg(
        p, w, h, n, m,
        ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25", "-keyint_min", "25",
         "-sc_threshold", "0", "-bf", "3", "-x264-params", "open-gop=1", "-crf", "18",
         "-f", "mpegts"])),
    # Files on which OpenCV's exact conversion settings show: 10-bit 4:2:0 at
    # a height that is not a multiple of 16 (coded size differs from the
    # picture size, no dedicated fast converter), and odd-sized 4:2:0 MJPEG.
    "h264_10bit.mp4": (40, lambda p, w, h, n, m: _ffmpeg(
        p, w, h, n, m, ["-c:v", "libx264", "-pix_fmt", "yuv420p10le", "-crf", "18"])),
    "odd_mjpeg.avi": (30, lambda p, w, h, n, m: _ffmpeg(
        p, w, h, n, m, ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-q:v", "3"]), (161, 121)),
}


def packet_positions(path):
    """Byte position of every video packet, in decode order (via ffprobe)."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_packets",
                          "-show_entries", "packet=pos", "-of", "csv=p=0", path],
                         check=True, capture_output=True, text=True).stdout
    return [int(line.split(",")[0]) for line in out.splitlines() if line.strip()]


def cut_ts(src, dst, packet):
    """Copy of MPEG-TS `src` starting at video packet `packet` (decode order),
    like a recording split mid-stream: the tables before the first packet are
    kept, everything up to `packet` is dropped."""
    pos = packet_positions(src)
    with open(src, "rb") as f:
        data = f.read()
    with open(dst, "wb") as f:
        f.write(data[:pos[0]] + data[pos[packet]:])


# Files derived from SMALL ones: name -> function(src_paths, dst).
DERIVED = {
    # Starts at an open-GOP I-frame followed by leading B-frames whose
    # reference lies before the cut.
    "cut_open.MTS": lambda src, dst: cut_ts(src["opengop.MTS"], dst, 49),
    # Starts at a P-frame in the middle of a GOP.
    "cut_mid.MTS": lambda src, dst: cut_ts(src["opengop.MTS"], dst, 40),
    # Trimmed without re-encoding: an edit list starts the video mid-GOP, so
    # the packets before the cut are decoded but marked as discarded.
    "trimmed.mp4": lambda src, dst: subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-ss", "1.3", "-i", src["h264.mp4"], "-c", "copy", dst],
        check=True),
    # Raw H.264 elementary stream: packets carry no timestamps at all.
    "raw.h264": lambda src, dst: subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-i", src["h264.MTS"], "-map", "0:v", "-c", "copy",
         "-f", "h264", dst], check=True),
    # Timestamps rewritten to decode order (pts = dts) although the stream
    # has B-frames: the packet list looks sound but frames do not match it.
    "badpts.MTS": lambda src, dst: subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-i", src["h264.MTS"], "-map", "0:v", "-c", "copy",
         "-bsf:v", "setts=pts=DTS", "-f", "mpegts", dst], check=True),
}


def _rotated(angle):
    return lambda src, dst: subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-i", src["h264.mp4"], "-c", "copy",
         "-metadata:s:v:0", f"rotate={angle}", dst], check=True)


# Display matrix asking players (and OpenCV) to rotate the picture.
for _angle in (90, 180, 270):
    DERIVED[f"rot{_angle}.mp4"] = _rotated(_angle)


def make_small(outdir, w=160, h=120):
    os.makedirs(outdir, exist_ok=True)
    paths = {}
    for name, (n, writer, *size) in SMALL.items():
        path = os.path.join(outdir, name)
        if not os.path.exists(path):
            fw, fh = size[0] if size else (w, h)
            writer(path, fw, fh, n, FrameMaker(fw, fh))
        paths[name] = path
    for name, derive in DERIVED.items():
        path = os.path.join(outdir, name)
        if not os.path.exists(path):
            derive(paths, path)
        paths[name] = path
    return paths
