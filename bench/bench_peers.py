"""The exact frame reader against what a skilled user would write instead.

Generates once (into bench/.cache/peers) two camcorder-like recordings of
three H.264 MPEG-TS files of 60 s each, with AC-3 audio, at a camcorder's
20 Mbit/s of a grainy moving scene whose frames carry their own number:
1080p (1920x1080, 25 fps, 25-frame GOP, 2 B-frames) and 1080i (1920x1080
interlaced, 25 frames per second as 50 fields, MBAFF, 12-frame GOP), and a
file of about 2 GB made of the 1080p files joined with continuing clocks.

For each recording and frame step it samples the same frames, a clip that
crosses a file boundary, with
  ours:  Tavelin.GetFrameIndex2 on Video objects made beforehand (making them
         counts the frames, which builds the packet index of each file once
         per process; that time is printed separately),
  PyAV:  written the best way: a keyframe list from one demux pass (made
         beforehand, like ours), decoding forward with threads, seeking to
         the keyframe before a far target by its decode timestamp only when a
         keyframe lies between the decoder and the target, and converting
         only the targets to BGR,
  floor: FFmpeg (through PyAV) decoding only what an exact reader must
         decode: from the keyframe before each target (or on from the last
         target when no keyframe lies between), non-reference frames before
         the target dropped, nothing converted,
and checks every frame by the number it carries.  Times are the best of
several rounds (the machine is shared).  Prints a table (step x peer:
seconds, wrong frames, ratio) and exits non-zero when a target is missed:
ours >= 1.2x PyAV at every step, >= 0.7x the floor at steps >= 25, zero
wrong frames, and opening the 2 GB file and reading its middle frame in
under 0.3 s once its Video object exists (the index is kept per process).
"""
import contextlib
import io
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import samples  # noqa: E402
import Tavelin  # noqa: E402

try:
    import av
except ImportError:  # pragma: no cover - the benchmark extra
    sys.exit("bench_peers needs PyAV: pip install '.[bench]'")

FPS = 25
SECONDS = 60
FRAMES = FPS * SECONDS
SIZE = (1920, 1080)
RECORDINGS = {
    "1080p": ["-g", "25", "-keyint_min", "25", "-bf", "2"],
    "1080i": ["-g", "12", "-keyint_min", "12", "-bf", "2", "-flags", "+ildct+ilme", "-x264opts", "tff=1"],
}
STEPS = [1, 5, 25, 100, 250]
ROUNDS = {1: 2, 5: 2, 25: 3, 100: 3, 250: 3}
BIG_COPIES = 5  # the 2 GB file: the three 1080p files this many times over


def cache(*parts):
    return os.path.join(HERE, ".cache", "peers", *parts)


def encode(path, file_number, codec_args):
    if os.path.exists(path):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    command = ["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24",
               "-s", f"{SIZE[0]}x{SIZE[1]}", "-r", str(FPS), "-i", "-",
               "-f", "lavfi", "-i", f"sine=frequency={440 + 110 * file_number}:sample_rate=48000",
               "-map", "0:v", "-map", "1:a", "-shortest",
               "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-sc_threshold", "0",
               "-b:v", "20M", "-maxrate", "20M", "-bufsize", "20M", *codec_args,
               "-c:a", "ac3", "-b:a", "256k",
               "-output_ts_offset", str(36000 + SECONDS * file_number), "-f", "mpegts", path + ".part"]
    scene = samples.moving_scene(FRAMES, SIZE, seed=file_number)
    with subprocess.Popen(command, stdin=subprocess.PIPE) as encoder:
        for i, background in enumerate(scene):
            encoder.stdin.write(samples.frame_image(i, file_number, background=background).tobytes())
        encoder.stdin.close()
    if encoder.returncode != 0:
        raise OSError("ffmpeg failed for " + path)
    os.replace(path + ".part", path)


def recording(name):
    paths = [cache(name, f"{k:05d}.MTS") for k in range(3)]
    for k, path in enumerate(paths):
        if not os.path.exists(path):
            print(f"Generating {path} (once)...", flush=True)
        encode(path, k, RECORDINGS[name])
    return paths


def big_file(paths):
    path = cache("big", "00000.MTS")
    if not os.path.exists(path):
        print(f"Joining {path} (once)...", flush=True)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        listing = cache("big", "list.txt")
        with open(listing, "w") as f:
            for _ in range(BIG_COPIES):
                for p in paths:
                    f.write(f"file '{p}'\n")
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "concat", "-safe", "0", "-i", listing,
                        "-map", "0", "-c", "copy", "-f", "mpegts", path + ".part"], check=True)
        os.replace(path + ".part", path)
    return path


# ---------------------------------------------------------------- clips

def clip_for(step):
    """A clip from file 0 to file 1 (or over all three files for big steps),
    as (start seconds in file 0, end file, end seconds)."""
    return {1: (57.0, 1, 3.0), 5: (44.0, 1, 16.0), 25: (20.0, 1, 40.0), 100: (0.0, 2, 59.0),
            250: (0.0, 2, 59.0)}[step]


def targets_of(step):
    """(file, frame) of every frame the clip samples, as GetFrameIndex2 lists them."""
    start, end_file, end = clip_for(step)
    first, last = int(start * FPS), FRAMES * end_file + int(end * FPS)
    return [divmod(p, FRAMES) for p in range(first, last + 1, step)]


# ---------------------------------------------------------------- peers

def ours(videos, step):
    start, end_file, end = clip_for(step)
    clips = [Tavelin.Clip(0, start, 0, 0, end, end_file, 0)]
    with contextlib.redirect_stdout(io.StringIO()):
        frames, captures = Tavelin.GetFrameIndex2(clips, videos, step)
    got = [(c.iVideo, int(c.iFrame)) for c in captures]
    return frames, got


class KeyIndex:
    """What a careful PyAV user learns from one demux pass over a file: the
    pts of every frame in display order and the (pts, dts) of the keyframes."""

    def __init__(self, path):
        with av.open(path) as container:
            stream = container.streams.video[0]
            pts, keys = [], []
            for packet in container.demux(stream):
                if packet.pts is None:
                    continue
                pts.append(packet.pts)
                if packet.is_keyframe:
                    keys.append((packet.pts, packet.dts))
        self.pts = sorted(pts)
        self.keys = sorted(keys)


def pyav_frames(path, index, numbers, floor=False):
    """Frames `numbers` (ascending) of `path`; for the floor only their pts."""
    results = []
    with av.open(path) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        codec = stream.codec_context
        position = None  # pts of the last frame decoded
        wanted = iter(numbers)
        target = next(wanted, None)
        while target is not None:
            target_pts = index.pts[target]
            key = max((k for k in index.keys if k[0] <= target_pts), default=index.keys[0])
            if position is None or position >= target_pts or key[0] > position:
                # By the keyframe's decode timestamp: by its pts the demuxer
                # of MPEG-TS lands after it, a whole GOP late.
                container.seek(key[1], backward=True, any_frame=False, stream=stream)
                position = None
            done = False
            for packet in container.demux(stream):
                if floor:
                    codec.skip_frame = "NONREF" if packet.pts is not None and packet.pts < target_pts else "DEFAULT"
                for frame in packet.decode():
                    position = frame.pts
                    while target is not None and frame.pts == index.pts[target]:
                        results.append(frame.pts if floor else frame.to_ndarray(format="bgr24"))
                        target = next(wanted, None)
                    if target is None:
                        done = True
                        break
                    if frame.pts > index.pts[target]:
                        raise RuntimeError(f"target {target} passed")
                    next_key = max((k for k in index.keys if k[0] <= index.pts[target]), default=index.keys[0])
                    if next_key[0] > position:  # a keyframe lies between: seek to it
                        done = True
                        break
                if done:
                    break
            else:
                break  # end of file
            if target is not None and not done:
                break
    return results


def pyav_peer(paths, indexes, step, floor=False):
    by_file = {}
    for file, frame in targets_of(step):
        by_file.setdefault(file, []).append(frame)
    frames, got = [], []
    for file, numbers in by_file.items():
        result = pyav_frames(paths[file], indexes[file], numbers, floor)
        frames += result
        got += [(file, n) for n in numbers[:len(result)]]
    return frames, got


def wrong(frames, got, expected, indexes=None):
    count = abs(len(expected) - len(got)) + sum(g != e for g, e in zip(got, expected))
    for frame, (file, number) in zip(frames, got):
        if indexes is not None:
            count += frame != indexes[file].pts[number]
        else:
            count += samples.read_index(frame, corner=True) != (file, number)
    return count


def best_of(rounds, run):
    best, result = None, None
    for _ in range(rounds):
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def main():
    failures = []
    rows = []
    first_paths = None
    for name in RECORDINGS:
        paths = recording(name)
        first_paths = first_paths or paths
        start = time.perf_counter()
        videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
        made = time.perf_counter() - start
        assert [v.Frame_Count for v in videos] == [FRAMES] * 3, [v.Frame_Count for v in videos]
        start = time.perf_counter()
        indexes = [KeyIndex(p) for p in paths]
        demuxed = time.perf_counter() - start
        print(f"{name}: Video() of the 3 files {made:.2f} s (counts their frames); "
              f"PyAV's demux pass {demuxed:.2f} s", flush=True)
        for step in STEPS:
            expected = targets_of(step)
            rounds = ROUNDS[step]
            t_ours, (frames, got) = best_of(rounds, lambda v=videos, s=step: ours(v, s))
            w_ours = wrong(frames, got, expected)
            del frames
            t_pyav, (frames, got) = best_of(rounds, lambda p=paths, i=indexes, s=step: pyav_peer(p, i, s))
            w_pyav = wrong(frames, got, expected)
            del frames
            t_floor, (pts, got) = best_of(rounds, lambda p=paths, i=indexes, s=step: pyav_peer(p, i, s, floor=True))
            w_floor = wrong(pts, got, expected, indexes)
            rows.append((name, step, len(expected), t_ours, w_ours, t_pyav, w_pyav, t_floor, w_floor))
            r_pyav, r_floor = t_pyav / t_ours, t_floor / t_ours
            print(f"{name:6}{step:>5}{len(expected):>7}   ours {t_ours:7.2f} s {w_ours:>3}   "
                  f"PyAV {t_pyav:7.2f} s {w_pyav:>3} x{r_pyav:5.2f}   floor {t_floor:7.2f} s {w_floor:>3} "
                  f"x{r_floor:5.2f}", flush=True)
            if w_ours or r_pyav < 1.2 or (step >= 25 and r_floor < 0.7):
                failures.append(f"{name} step {step}")

    # Opening a 2 GB file and reading its middle frame.
    big = big_file(first_paths)
    size = os.path.getsize(big)
    examples = os.path.join(HERE, os.pardir, "examples")
    script = (f"import sys, time; sys.path.insert(0, {examples!r}); import samples, Tavelin\n"
              "path, middle = sys.argv[1], int(sys.argv[2])\n"
              "t = time.perf_counter(); Tavelin.Video(path, [1, 0, 0]); made = time.perf_counter() - t\n"
              "t = time.perf_counter(); frame = Tavelin._FrameReader(path).read(middle)\n"
              "opened = time.perf_counter() - t\n"
              "print(made, opened, *samples.read_index(frame, corner=True))\n")
    middle = 3 * FRAMES * BIG_COPIES // 2 + 7
    runs = [subprocess.run([sys.executable, "-c", script, big, str(middle)], check=True, capture_output=True,
                           text=True).stdout.split() for _ in range(3)]
    made = min(float(r[0]) for r in runs)
    opened = min(float(r[1]) for r in runs)
    right = all((int(r[2]), int(r[3])) == ((middle // FRAMES) % 3, middle % FRAMES) for r in runs)
    print(f"\n2 GB file ({size / 2**30:.2f} GiB): Video() {made:.2f} s (counts the frames, once per process); "
          f"then opening the reader and reading frame {middle}: {opened:.3f} s, "
          f"{'right' if right else 'WRONG'} frame")
    if opened >= 0.3 or not right:
        failures.append("2 GB open")

    print("\n| recording | step | frames | ours s | wrong | PyAV s | wrong | ours vs PyAV | floor s | wrong |"
          " ours vs floor |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, step, n, t_ours, w_ours, t_pyav, w_pyav, t_floor, w_floor in rows:
        print(f"| {name} | {step} | {n} | {t_ours:.2f} | {w_ours} | {t_pyav:.2f} | {w_pyav} | {t_pyav / t_ours:.2f}x |"
              f" {t_floor:.2f} | {w_floor} | {t_floor / t_ours:.2f}x |")
    print("targets missed: " + (", ".join(failures) if failures else "none"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
