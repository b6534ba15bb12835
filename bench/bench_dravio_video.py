"""Dravio's VideoCombine and RegularVideo against the plain OpenCV-Python
version and against the ffmpeg command line doing the same job.

Generates (once, into bench/.cache) a two-file H.264 MPEG-TS recording as
camcorders write it (1280x720, 25 fps, 25-frame GOP with B-frames, 12 Mbit/s;
260 and 240 frames) of a grainy textured scene in motion whose frames carry their own number
in the top-left quarter. Then makes, with each of the three:
  VideoCombine at the steps 1 and 10 (the step restarts in every file),
  RegularVideo at the steps 10 and 50 (the step runs across the files),
all as MPEG-4 part 2 (mp4v). Every output is decoded and its frame numbers are
compared with the frames the job selects, and a few of its frames with the
source frames, before the times and the ratios are printed. The plain version
is a direct transcription that seeks before every read; OpenCV's seek is not
exact on MPEG-TS, so its wrong frames are counted and reported, not fatal.
Times are the best of a few runs (one for the plain version at step 1, which
takes long), since the machine may be shared.
"""
import contextlib
import io
import os
import subprocess
import sys
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import Dravio  # noqa: E402
import samples  # noqa: E402

SIZE = (1280, 720)
FPS = 25
COUNTS = [260, 240]
RUNS = 3
JOBS = [("VideoCombine", 1), ("VideoCombine", 10), ("RegularVideo", 10), ("RegularVideo", 50)]
TARGETS = {("VideoCombine", 1): ("plain", 10), ("VideoCombine", 10): ("plain", 5),
           ("RegularVideo", 50): ("plain", 3)}
TARGETS_FFMPEG = {("RegularVideo", 50): 1.5}


# ---------------------------------------------------------------- recording

def read_stamp(frame):
    return samples.read_index(frame, corner=True)


def recording():
    return samples.camcorder_recording(os.path.join(HERE, ".cache", "dravio_video"), COUNTS, SIZE, "12M", FPS)


# ---------------------------------------------------------- plain version

def plain_video_writer(path, format, fps, size):
    if format == ".mp4":
        fourcc = cv2.VideoWriter_fourcc("m", "p", "4", "v")
        video = cv2.VideoWriter(path, fourcc, fps, size, True)
    elif format == ".avi":
        fourcc = cv2.VideoWriter_fourcc("X", "V", "I", "D")
        video = cv2.VideoWriter(path, fourcc, fps, size, True)
    return video


def plain_get_index(Framelist, Clip, space):
    _start, _end, _startInd, _endInd = Clip[0], Clip[1], Clip[2], Clip[3]
    _totalFrame = 0
    for i in list(range(_start, _end + 1)):
        if i == _end:
            _totalFrame += _endInd + 1
        elif i == _start:
            _totalFrame += Framelist[i] - _startInd
        else:
            _totalFrame += Framelist[i]
    _Framelist = Framelist.copy()
    for i in range(_start):
        _Framelist[i] = 0
    cumFrame = np.insert(np.cumsum(_Framelist), 0, 0)
    print(cumFrame)
    Frameindex = np.arange(_startInd, _totalFrame + 1, space)
    Videoindex, FrameindexInVideo, Ind = [], [], 0
    for i in range(_start, _end + 1):
        to_Ind = Ind + np.sum(Frameindex >= cumFrame[i]) - np.sum(Frameindex > cumFrame[i + 1] - 1)
        Videoindex.append(i)
        FrameindexInVideo.append(list(Frameindex[Ind:to_Ind] - cumFrame[i]))
        Ind = to_Ind
    return Videoindex, FrameindexInVideo


def plain_video_combine(VdoPathList, path, format=".mp4", space=1):
    if len(VdoPathList) == 0:
        return False
    vdo = cv2.VideoCapture(VdoPathList[0])
    fps = vdo.get(cv2.CAP_PROP_FPS)
    size = (int(vdo.get(cv2.CAP_PROP_FRAME_WIDTH)), int(vdo.get(cv2.CAP_PROP_FRAME_HEIGHT)))
    vdo.release()
    video = plain_video_writer(path, format, fps, size)
    for VdoPath in VdoPathList:
        vdo = cv2.VideoCapture(VdoPath)
        VdoLength = int(vdo.get(cv2.CAP_PROP_FRAME_COUNT))
        for i in range(0, VdoLength, space):
            vdo.set(cv2.CAP_PROP_POS_FRAMES, i)
            ret, frame = vdo.read()
            video.write(frame)
        vdo.release()
    video.release()


def plain_regular_video(VdoPathList, OutPath, times, format=".mp4", fps=0):
    if len(VdoPathList) == 0:
        return False
    _vdo = cv2.VideoCapture(VdoPathList[0])
    if fps == 0:
        fps = _vdo.get(cv2.CAP_PROP_FPS)
    size = (int(_vdo.get(cv2.CAP_PROP_FRAME_WIDTH)), int(_vdo.get(cv2.CAP_PROP_FRAME_HEIGHT)))
    _vdo.release()
    video = plain_video_writer(OutPath, format, int(fps), size)
    Framelist = []
    for p in VdoPathList:
        _vdo = cv2.VideoCapture(p)
        Framelist.append(int(_vdo.get(cv2.CAP_PROP_FRAME_COUNT)))
        _vdo.release()
    _vdo = cv2.VideoCapture(VdoPathList[-1])
    _endIndofLastVideo = int(_vdo.get(cv2.CAP_PROP_FRAME_COUNT)) - 1
    _vdo.release()
    VideoInd, FrameInd = plain_get_index(Framelist, [0, len(VdoPathList) - 1, 0, _endIndofLastVideo], times)
    for i in VideoInd:
        vdo = cv2.VideoCapture(VdoPathList[i])
        for fr in FrameInd[i]:
            vdo.set(cv2.CAP_PROP_POS_FRAMES, fr)
            ret, frame = vdo.read()
            if ret:
                video.write(frame)
        vdo.release()
    video.release()


# ------------------------------------------------------------ ffmpeg CLI

def ffmpeg_job(job, paths, out, step):
    """The same job as one ffmpeg command: select every step-th frame (of each
    file, or of the joined recording) and encode MPEG-4 part 2 at OpenCV's
    bit rate for this size."""
    inputs = [arg for p in paths for arg in ("-i", p)]
    select = f"select='not(mod(n\\,{step}))'"
    joined = "".join(f"[{k}:v]" for k in range(len(paths)))
    if job == "VideoCombine":
        parts = ";".join(f"[{k}:v]{select}[s{k}]" for k in range(len(paths)))
        graph = parts + ";" + "".join(f"[s{k}]" for k in range(len(paths))) + \
            f"concat=n={len(paths)}:v=1:a=0,setpts=N/({FPS}*TB)[out]"
    else:
        graph = f"{joined}concat=n={len(paths)}:v=1:a=0,{select},setpts=N/({FPS}*TB)[out]"
    command = ["ffmpeg", "-y", "-loglevel", "error", *inputs, "-filter_complex", graph, "-map", "[out]",
               "-fps_mode", "passthrough", "-r", str(FPS), "-c:v", "mpeg4", "-tag:v", "mp4v",
               "-b:v", str(FPS * SIZE[0] * SIZE[1]), out]
    subprocess.run(command, check=True)


# ---------------------------------------------------------------- checks

def expected_frames(job, step, counts):
    if job == "VideoCombine":
        return [(k, i) for k, n in enumerate(counts) for i in range(0, n, step)]
    positions = range(0, sum(counts), step)
    starts = np.cumsum([0] + counts)
    return [(k, p - starts[k]) for p in positions for k in range(len(counts)) if starts[k] <= p < starts[k + 1]]


def decode(path):
    return samples.read_frames(path)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def check(name, out, expected, sources, exact):
    """Compares the output's frame numbers with the selection and three of its
    frames with the source frames; returns the number of wrong frames."""
    frames = decode(out)
    stamps = [read_stamp(f) for f in frames]
    if len(frames) != len(expected):
        raise SystemExit(f"{name}: {len(frames)} frames written, {len(expected)} selected")
    wrong = sum(s != e for s, e in zip(stamps, expected))
    if exact and wrong:
        raise SystemExit(f"{name}: {wrong} of {len(frames)} frames are not the selected ones")
    for k in (0, len(frames) // 2, len(frames) - 1):
        file_number, index = stamps[k]
        quality = psnr(frames[k], sources[file_number][index])
        if stamps[k] == expected[k] and quality < 20:  # another frame of the scene scores about 10 dB
            raise SystemExit(f"{name}: frame {k} differs from its source ({quality:.1f} dB)")
    return wrong


def timed(runs, function, *args):
    """The best wall-clock time of `runs` calls."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            function(*args)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    paths = recording()
    counts = [int(cv2.VideoCapture(p).get(cv2.CAP_PROP_FRAME_COUNT)) for p in paths]
    sources = [decode(p) for p in paths]
    assert [len(s) for s in sources] == counts == COUNTS, (counts, [len(s) for s in sources])
    assert all(read_stamp(f) == (k, i) for k, s in enumerate(sources) for i, f in enumerate(s))
    out = os.path.join(HERE, ".cache", "dravio_video", "out")
    os.makedirs(out, exist_ok=True)
    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; times: best of {RUNS} runs")

    print(f"{'job':<18}{'frames':>7}{'Dravio':>9}{'plain':>9}{'ffmpeg':>9}{'plain/Dravio':>14}"
          f"{'ffmpeg/Dravio':>15}  plain's wrong frames")
    failures = []
    for job, step in JOBS:
        expected = expected_frames(job, step, counts)
        ours_path, plain_path, ffmpeg_path = (os.path.join(out, f"{job}-{step}-{who}.mp4")
                                              for who in ("dravio", "plain", "ffmpeg"))
        plain_runs = 1 if step == 1 else RUNS
        if job == "VideoCombine":
            ours = timed(RUNS, Dravio.VideoCombine, paths, ours_path, ".mp4", step)
            plain = timed(plain_runs, plain_video_combine, paths, plain_path, ".mp4", step)
        else:
            ours = timed(RUNS, Dravio.RegularVideo, paths, ours_path, step)
            plain = timed(plain_runs, plain_regular_video, paths, plain_path, step)
        ffmpeg = timed(RUNS, ffmpeg_job, job, paths, ffmpeg_path, step)

        check(f"Dravio {job} {step}", ours_path, expected, sources, exact=True)
        check(f"ffmpeg {job} {step}", ffmpeg_path, expected, sources, exact=True)
        plain_wrong = check(f"plain {job} {step}", plain_path, expected, sources, exact=False)

        print(f"{job + ' ' + str(step):<18}{len(expected):>7}{ours:>8.2f}s{plain:>8.2f}s{ffmpeg:>8.2f}s"
              f"{plain / ours:>13.1f}x{ffmpeg / ours:>14.2f}x  {plain_wrong} of {len(expected)}", flush=True)
        if (job, step) in TARGETS and plain / ours < TARGETS[job, step][1]:
            failures.append(f"{job} {step}: {plain / ours:.1f}x the plain version, target {TARGETS[job, step][1]}x")
        if (job, step) in TARGETS_FFMPEG and ffmpeg / ours < TARGETS_FFMPEG[job, step]:
            failures.append(f"{job} {step}: {ffmpeg / ours:.2f}x the ffmpeg command line, "
                            f"target {TARGETS_FFMPEG[job, step]}x")
    for failure in failures:
        print("below target:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
