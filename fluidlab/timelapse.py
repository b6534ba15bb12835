"""fluidlab timelapse: one frame every interval of the recording, as a video.

Without ``--clock`` the video is ``Dravio.RegularVideo`` over the files: the
step runs across the files, the output plays at the first file's frame
rate. RegularVideo reports nothing while it works, so the bar shows the
frames to write and the time spent, and completes when the video is done.
With ``--clock`` the same frames (every step-th frame of the recording,
counted across the files) come from the stream reader one at a time, get
the recording's clock time written in, and go to the writer of
``Dravio.cv_VideoWriter``: there the bar counts every frame. What the
toolkit prints meanwhile goes to X-toolkit-output.txt beside the video X.mp4.
"""
from __future__ import annotations

import os
import threading

import cv2
import Dravio
import Tavelin

from fluidlab.errors import FluidlabError
from fluidlab.options import format_clock, format_duration, parse_interval
from fluidlab.recording import frames_of, warn


def run(args) -> int:
    from fluidlab.cli import interval_frames, load_recording
    from fluidlab.progress import ToolkitOutput, bar

    every = parse_interval(args.every)
    folder = os.path.dirname(os.path.abspath(args.out))
    if os.path.isdir(args.out):
        raise FluidlabError(f"--out {args.out} is a folder: give the video's file name, e.g. {args.out}/timelapse.mp4")
    recording = load_recording(args)
    recording.check_one_size()
    step = interval_frames(recording, every, "--every", args.quiet)
    count = (recording.frames - 1) // step + 1
    os.makedirs(folder, exist_ok=True)
    output = ToolkitOutput()
    with output:
        with bar(count, "timelapse", "frame", args.quiet) as progress:
            with output.collect("main"):
                if args.clock:
                    written = with_clock(recording, step, args, progress)
                else:
                    written = regular_video(recording, step, args, progress, count)
    log = os.path.splitext(args.out)[0] + "-toolkit-output.txt"
    with open(log, "w", encoding="utf-8") as file:
        file.write(output.text())
    if not os.path.exists(args.out) or os.path.getsize(args.out) == 0:
        raise FluidlabError(f"the video {args.out} could not be written (codec {args.format} unavailable?)")
    print(f"{args.out}: {written} frames, one every {step / recording.fps:g} s of "
          f"{format_duration(recording.duration)}, {int(recording.fps)} fps "
          f"({step}x faster)")
    print(f"{log}: the toolkit's printed lines")
    return 0


def regular_video(recording, step: int, args, progress, count: int) -> int:
    """RegularVideo on the main thread (Ctrl-C reaches it); a helper thread
    keeps the bar's clock running meanwhile."""
    done = threading.Event()

    def tick():
        while not done.wait(0.5):
            progress.refresh()

    ticker = threading.Thread(target=tick, daemon=True)
    ticker.start()
    try:
        Dravio.RegularVideo([f.path for f in recording.files], args.out, step, args.format)
    finally:
        done.set()
        ticker.join()
    progress.update(count)
    # What was written, counted in the video: RegularVideo spreads the step
    # by OpenCV's frame counts, which can differ from the exact ones.
    written = Tavelin._FrameReader(args.out).frame_count()
    return written if written >= 0 else count


def with_clock(recording, step: int, args, progress) -> int:
    width, height = recording.size
    writer = Dravio.cv_VideoWriter(args.out, args.format, int(recording.fps), (width, height))
    if not writer.isOpened():
        raise FluidlabError(f"cannot write the video {args.out} with codec {args.format}")
    clip = recording.clip(0, recording.frames - 1)
    written = 0
    scale = max(0.5, width / 1000)
    thickness = max(1, round(scale * 2))
    try:
        with frames_of([clip], recording.videos, step) as pairs:
            for frame, capture in pairs:
                file_index, number = int(capture.iVideo), int(capture.iFrame)
                text = (f"{format_clock(recording.clock(file_index, number))}   "
                        f"+{format_duration(recording.elapsed(file_index, number))}")
                (w, h), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)
                cv2.rectangle(frame, (0, height - h - base - 16), (w + 20, height), (0, 0, 0), -1)
                cv2.putText(frame, text, (10, height - base - 8), cv2.FONT_HERSHEY_SIMPLEX, scale,
                            (255, 255, 255), thickness, cv2.LINE_AA)
                writer.write(frame)
                written += 1
                progress.update(1)
    finally:
        writer.release()
    if written == 0:
        warn("no frame could be read", args.quiet)
    return written
