"""Tavelin's frame readers against the plain OpenCV-Python version.

Generates (once, into bench/.cache) a three-file H.264 MPEG-TS recording as
camcorders write it (1280x720, 25 fps, 25-frame GOP with B-frames, 12 Mbit/s
of a grainy moving scene, 60 s per file) whose frames carry their own number, then reads the same clips at the
frame steps 1, 5, 25, 100 and 250 with GetFrameIndex2 and GetFrameIndex and
with direct transcriptions of both that seek before every read, as the plain
version does. Prints the time of each, the ratio plain / ours, and each
reader's count of wrong frames (a frame that is not the one asked for). Exits non-zero
when a ratio is below its target or a frame is wrong.
"""
import contextlib
import io
import os
import sys
import time

import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import Dravio  # noqa: E402
import samples  # noqa: E402
import Tavelin  # noqa: E402

SIZE = (1280, 720)
FRAMES_PER_FILE = 1500
TARGETS = {1: 20, 5: 8, 25: 3, 100: 2, 250: 2}


def recording():
    return samples.camcorder_recording(os.path.join(HERE, ".cache", "readers"), [FRAMES_PER_FILE] * 3, SIZE, "12M")


# The clips of each step: each crosses a file boundary and yields about 20 to
# 120 frames, so that a run holds at most a few hundred frames.
def clips_for(step, one_based):
    first = 1 if one_based else 0
    spans = {
        1: (0, 57, 0, 0, 1.8, 1),
        5: (0, 50, 0, 0, 10, 1),
        25: (0, 10, 0, 0, 50, 1),
        100: (0, 0, 0, 0, 59, 2),
        250: (0, 0, 0, 0, 59, 2),
    }
    sm, ss, si, em, es, ei = spans[step]
    return [Tavelin.Clip(sm, ss, si + first, em, es, ei + first, 0)]


def plain_get_frame_index2(Cliplist, Videos, FrameSpace):
    """GetFrameIndex2 as a direct transcription: a seek before every read."""
    Captures, Frames, _FrameCount = [], [], [v.Frame_Count for v in Videos]
    record_frame = None
    for iclip, c in enumerate(Cliplist):
        _IndexFrom = Videos[c.start_i].FPS * (c.start_min * 60 + c.start_sec)
        _IndexTo = Videos[c.end_i].FPS * (c.end_min * 60 + c.end_sec)
        _VideoIndex, _FrameIndex = Dravio.GetIndex(_FrameCount, [c.start_i, c.end_i, _IndexFrom, _IndexTo], FrameSpace)
        for i, vi in enumerate(_VideoIndex):
            vdo = Videos[vi]
            VdoCap = cv2.VideoCapture(vdo.path)
            for fr in _FrameIndex[i]:
                capture = Tavelin.Capture(iclip, vi, fr, Tavelin.TimeCal(vdo.start_time, fr / vdo.FPS), c.InjRate)
                VdoCap.set(cv2.CAP_PROP_POS_FRAMES, fr)
                print(fr)
                ret, frame = VdoCap.read()
                if ret:
                    Frames.append(frame)
                    capture.GetFrame(frame)
                    record_frame = frame
                else:
                    Frames.append(Dravio.cv_GenImage(record_frame))
                Captures.append(capture)
            VdoCap.release()
    return Frames, Captures


def plain_get_frame_index(Cliplist, Videos, FrameSpace):
    """GetFrameIndex as a direct transcription: a seek before every read."""
    Captures, Frames = [], []
    n, ivideo, IsOver = 0, 0, False
    for video in Videos:
        ivideo += 1
        VdoCap = cv2.VideoCapture(video.path)
        while True:
            clip = Cliplist[n]
            if (clip.start_i < ivideo and clip.end_i < ivideo) or (clip.start_i > ivideo and clip.end_i > ivideo):
                break
            window, IsNextClip = (0, 0, 0, 0), False
            if clip.start_i == clip.end_i:
                window, IsNextClip = (clip.start_min, clip.start_sec, clip.end_min, clip.end_sec), True
            elif clip.start_i == ivideo:
                window = (clip.start_min, clip.start_sec, 0, 0)
            elif clip.end_i == ivideo:
                window, IsNextClip = (0, 0, clip.end_min, clip.end_sec), True
            FramesIndex = video.GetCaptures(FrameSpace, *window)
            VdoCap.set(cv2.CAP_PROP_POS_FRAMES, 0)
            _, Video_Frame = VdoCap.read()
            frames, caps = [Video_Frame] * len(FramesIndex), [None] * len(FramesIndex)
            frame_i = 0
            for iframe in FramesIndex:
                time = Tavelin.TimeCal(video.start_time, iframe / video.FPS)
                capture = Tavelin.Capture(n, ivideo, iframe, time, clip.InjRate)
                VdoCap.set(cv2.CAP_PROP_POS_FRAMES, iframe)
                ret, frame = VdoCap.read()
                if ret:
                    capture.frame = frame
                    frames[frame_i], caps[frame_i] = frame, capture
                    frame_i += 1
            Frames += frames
            Captures += caps
            if not IsNextClip:
                break
            n += 1
            if n == len(Cliplist):
                IsOver = True
                break
        VdoCap.release()
        if IsOver:
            break
    return Frames, Captures


def wrong_frames(frames, captures, one_based):
    wrong = 0
    for frame, capture in zip(frames, captures):
        expected = (capture.iVideo - one_based, int(capture.iFrame))
        wrong += samples.read_index(frame, corner=True) != expected
    return wrong


def timed(reader, clips, videos, step):
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        frames, captures = reader(clips, videos, step)
        return time.perf_counter() - start, frames, captures


def main():
    paths = recording()
    videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
    print(f"{'reader':<15}{'step':>5}{'frames':>8}{'plain s':>10}{'ours s':>9}{'ratio':>8}{'target':>8}"
          f"{'wrong plain':>13}{'wrong ours':>12}")
    failures = []
    for name, ours, plain, one_based in [("GetFrameIndex2", Tavelin.GetFrameIndex2, plain_get_frame_index2, 0),
                                         ("GetFrameIndex", Tavelin.GetFrameIndex, plain_get_frame_index, 1)]:
        for step, target in TARGETS.items():
            clips = clips_for(step, one_based)
            plain_time, frames, captures = timed(plain, clips, videos, step)
            plain_wrong = wrong_frames(frames, captures, one_based)
            count = len(frames)
            del frames, captures
            our_time, frames, captures = timed(ours, clips, videos, step)
            our_wrong = wrong_frames(frames, captures, one_based)
            assert len(frames) == count, "both versions must read the same frames"
            del frames, captures
            ratio = plain_time / our_time
            print(f"{name:<15}{step:>5}{count:>8}{plain_time:>10.2f}{our_time:>9.2f}{ratio:>8.1f}{target:>8}"
                  f"{plain_wrong:>13}{our_wrong:>12}", flush=True)
            if ratio < target or our_wrong:
                failures.append(f"{name} step {step}")
    print("below target or not exact: " + (", ".join(failures) if failures else "none"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
