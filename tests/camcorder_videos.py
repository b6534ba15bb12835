"""Small recordings laid out as camcorders and ffmpeg write H.264, for the
exactness tests of the frame readers.

Layouts (name -> what is special): progressive and interlaced (MBAFF from
x264, field pictures from field_h264 with one PES packet per field or per
frame), open GOPs, a stream whose only random-access points are recovery
points (intra refresh, no IDR frame), a GOP as long as the file, clocks
starting at 10 h or wrapping past 2**33 ticks, a file cut in the middle of a
GOP, 192-byte M2TS packets, AC-3 / AAC / LPCM audio, 29.97 frames per second
and anamorphic pixels.  Every frame carries its file and frame number in its
top half (samples.frame_image), a moving texture below.
"""
from __future__ import annotations

import os
import subprocess

import field_h264
import numpy as np
import reader_videos
import samples

SIZE = (160, 128)  # field coding needs a height that is a multiple of 32


def frame(index, file_number, maker, size=SIZE):
    width, height = size
    image = maker.frame(index).copy()
    image[:height // 2] = samples.frame_image(index, file_number, (width, height // 2))
    return image


def number_of(image):
    """The (file, frame) numbers that frame() drew into `image`."""
    return samples.read_index(image[:image.shape[0] // 2])


AUDIO = {
    "ac3": ["-c:a", "ac3", "-b:a", "192k"],
    "aac": ["-c:a", "aac", "-b:a", "128k"],
    "lpcm": ["-c:a", "pcm_bluray"],
}

X264 = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-crf", "20"]


def closed_gop(length, bframes=2):
    return ["-g", str(length), "-keyint_min", str(length), "-sc_threshold", "0", "-bf", str(bframes)]


# name -> frames, fps, encoder arguments, audio, muxer arguments, size
LAYOUTS = {
    "progressive": (75, 25, X264 + closed_gop(12), "ac3", [], SIZE),
    "mbaff": (75, 30000 / 1001, X264 + closed_gop(15) + ["-flags", "+ildct+ilme", "-x264opts", "tff=1"],
              "aac", [], SIZE),
    "open_gop": (75, 25, X264 + closed_gop(24, 3) + ["-x264opts", "open-gop=1"], "ac3", [], SIZE),
    "intra_refresh": (90, 25, X264 + ["-bf", "0", "-x264opts", "intra-refresh=1:keyint=20"], "ac3", [], SIZE),
    "long_gop": (150, 25, X264 + ["-g", "1000", "-keyint_min", "1000", "-sc_threshold", "0", "-bf", "2"],
                 "ac3", [], SIZE),
    "late_start": (75, 25, X264 + closed_gop(12), "lpcm", ["-output_ts_offset", "36000"], SIZE),
    # 2**33 ticks of 90 kHz are 95443.718 s: the clock wraps after 0.7 s.
    "wrap": (75, 25, X264 + closed_gop(12), "ac3", ["-output_ts_offset", "95443"], SIZE),
    "m2ts": (75, 25, X264 + closed_gop(12), "ac3", ["-mpegts_m2ts_mode", "1"], SIZE),
    "anamorphic": (60, 30000 / 1001, X264 + closed_gop(15) + ["-vf", "setsar=4/3"], "aac", [], (144, 108)),
    # Field pictures: one PES per field (as ffmpeg writes them) or one per
    # frame in 192-byte packets (as AVCHD camcorders do).
    "paff_fields": (75, 25, "fields", "ac3", {"per_field": True}, SIZE),
    "paff_frames": (75, 25, "fields", "ac3", {"per_field": False, "m2ts": True}, SIZE),
}

# Derived from a layout: name -> (source, how)
DERIVED = {
    "cut_mid_gop": ("progressive", "cut"),         # starts at a P-frame in the middle of a GOP
    "paff_remuxed": ("paff_fields", "remux"),       # field pictures through ffmpeg's own muxer
    "no_idr": ("intra_refresh", "cut"),            # starts after the IDR: recovery points only
}


def _ffmpeg_video(path, count, fps, encoder, audio, muxer, size, file_number, start_seconds):
    width, height = size
    maker = reader_videos.FrameMaker(width, height, seed=file_number + 1)
    command = ["ffmpeg", "-y", "-loglevel", "error",
               "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", f"{width}x{height}",
               "-r", samples._rate_text(fps), "-i", "-",
               "-f", "lavfi", "-i", f"sine=frequency={300 + 100 * file_number}:sample_rate=48000",
               "-map", "0:v", "-map", "1:a", "-shortest", *encoder, *AUDIO[audio]]
    muxer = list(muxer)
    offset = start_seconds
    if "-output_ts_offset" in muxer:
        at = muxer.index("-output_ts_offset")
        offset += float(muxer[at + 1])
        del muxer[at:at + 2]
    command += muxer
    if offset:
        command += ["-output_ts_offset", f"{offset:.6f}"]
    command += ["-f", "mpegts", path]
    encoder_process = subprocess.Popen(command, stdin=subprocess.PIPE)
    try:
        for i in range(count):
            encoder_process.stdin.write(frame(i, file_number, maker, size).tobytes())
    finally:
        encoder_process.stdin.close()
    if encoder_process.wait() != 0:
        raise OSError(f"ffmpeg could not write {path}")


def _field_video(path, count, fps, audio, options, size, file_number, start_seconds):
    width, height = size
    maker = reader_videos.FrameMaker(width, height, seed=file_number + 1)
    frames = [frame(i, file_number, maker, size) for i in range(count)]

    def changing(rows, cols, display):  # the numbered top half and a moving column
        coded = np.zeros((rows, cols), bool)
        coded[:rows // 2] = True
        coded[:, display % cols] = True
        return coded

    fields = field_h264.encode_fields(frames, fps=fps, gop=12, bframes=2, changing=changing)
    audio_path = path + ".ac3"
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                    f"sine=frequency={300 + 100 * file_number}:sample_rate=48000:duration={count / fps + 0.2}",
                    "-c:a", "ac3", "-b:a", "192k", "-f", "ac3", audio_path], check=True)
    audio_frames = field_h264.ac3_frames(audio_path)
    os.remove(audio_path)
    start = round((1 + start_seconds) * field_h264.TS_CLOCK)
    field_h264.mux_ts(path, fields, fps=fps, start=start, audio_frames=audio_frames, **options)


def write_layout(path, name, file_number=0, start_seconds=0.0, count=None):
    """Writes one file of layout `name` to `path` (its clock `start_seconds`
    after the layout's own start); returns the path."""
    path = os.fspath(path)
    if name in DERIVED:
        source, how = DERIVED[name]
        source_path = path + ".source.MTS"
        write_layout(source_path, source, file_number, start_seconds, count)
        if how == "cut":
            reader_videos.cut_ts(source_path, path, 17 if name == "cut_mid_gop" else 25)
        else:
            subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-i", source_path, "-map", "0", "-c", "copy",
                            "-f", "mpegts", path], check=True)
        os.remove(source_path)
        return path
    frames, fps, encoder, audio, muxer, size = LAYOUTS[name]
    frames = count or frames
    if encoder == "fields":
        _field_video(path, frames, fps, audio, muxer, size, file_number, start_seconds)
    else:
        _ffmpeg_video(path, frames, fps, encoder, audio, muxer, size, file_number, start_seconds)
    return path


def write_recording(folder, name, counts):
    """Consecutive files of layout `name` whose clocks continue from file to
    file, as a camcorder splits a long recording; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    fps = LAYOUTS[DERIVED[name][0] if name in DERIVED else name][1]
    paths, elapsed = [], 0.0
    for k, count in enumerate(counts):
        path = os.path.join(folder, f"{k:05d}.MTS")
        if not os.path.exists(path):
            write_layout(path + ".part", name, k, elapsed, count)
            os.replace(path + ".part", path)
        paths.append(path)
        elapsed += count / fps
    return paths
