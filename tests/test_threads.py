"""Threads: readers and writers running at once in two threads give what they
give one after the other, and a long read or write leaves the GIL to the
other Python threads."""
import threading
import time

import Dravio
import numpy as np
import pytest
import samples
import Tavelin


@pytest.fixture(scope="module")
def two_recordings(tmp_path_factory):
    """Two recordings of two files each, 640x480, whose frames carry their numbers."""
    root = tmp_path_factory.mktemp("threads")
    return [samples.write_recording(root / name, [40, 40], ".avi", size=(640, 480)) for name in ("a", "b")]


def in_threads(*calls):
    """Runs the calls at once, one thread each, released together; their results in order."""
    results = [None] * len(calls)
    errors = []
    barrier = threading.Barrier(len(calls))

    def run(k, call):
        barrier.wait()
        try:
            results[k] = call()
        except BaseException as error:  # re-raised in the test's thread
            errors.append(error)
    threads = [threading.Thread(target=run, args=(k, call)) for k, call in enumerate(calls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    if errors:
        raise errors[0]
    return results


def read(paths, step, capsys=None):
    videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
    frames, captures = Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 3, 1, 0.5)], videos, step)
    return [f.copy() for f in frames], [(c.iVideo, c.iFrame, c.time) for c in captures]


def same_frames(a, b):
    return len(a) == len(b) and all(np.array_equal(x, y) for x, y in zip(a, b))


@pytest.mark.parametrize("steps", [(1, 1), (3, 7)])
def test_two_readers_at_once_read_what_they_read_alone(two_recordings, steps, capsys):
    first, second = two_recordings
    alone = [read(first, steps[0]), read(second, steps[1])]
    together = in_threads(lambda: read(first, steps[0]), lambda: read(second, steps[1]))
    for (frames, captures), (frames_alone, captures_alone) in zip(together, alone):
        assert captures == captures_alone
        assert same_frames(frames, frames_alone)
    # The frames are the ones asked for, not only the same twice.
    step = steps[0]
    assert [samples.read_index(f) for f in alone[0][0][:3]] == [(0, 0), (0, step), (0, 2 * step)]


def test_two_writers_at_once_write_what_they_write_alone(two_recordings, tmp_path, capsys):
    first, second = two_recordings

    def write(paths, name, times):
        out = str(tmp_path / name)
        Dravio.RegularVideo(paths, out, times)
        return [samples.read_index(f) for f in samples.read_frames(out)]
    alone = [write(first, "a1.mp4", 3), write(second, "b1.mp4", 5)]
    together = in_threads(lambda: write(first, "a2.mp4", 3), lambda: write(second, "b2.mp4", 5))
    assert together == alone
    assert alone[0][:3] == [(0, 0), (0, 3), (0, 6)]

    frames = [samples.frame_image(k, 2, (640, 480)) for k in range(30)]

    def to_video(name):
        out = str(tmp_path / name)
        assert Dravio.cv_toVideo(frames, out, 25) is True
        return [samples.read_index(f) for f in samples.read_frames(out)]
    assert in_threads(lambda: to_video("c.mp4"), lambda: to_video("d.mp4")) == [[(2, k) for k in range(30)]] * 2


def longest_pause_of_a_counting_thread(call):
    """Runs `call` while a Python thread counts; the call's duration and the
    longest time the counting thread did not advance during it."""
    stamps = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0)  # a bytecode loop; the GIL is what it waits for
    counter = threading.Thread(target=count)
    counter.start()
    while not stamps:
        time.sleep(0.001)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    counter.join()
    during = [start] + [s for s in stamps if start <= s <= end] + [end]
    return end - start, max(b - a for a, b in zip(during, during[1:])), len(during) - 2


@pytest.mark.parametrize("what", ["GetFrameIndex2", "RegularVideo", "cv_toVideo"])
def test_a_long_call_lets_other_threads_run(two_recordings, tmp_path, what, capsys):
    first, second = two_recordings
    frames = [samples.frame_image(k, 0, (640, 480)) for k in range(80)]
    calls = {
        "GetFrameIndex2": lambda: read(first + second, 1),
        "RegularVideo": lambda: Dravio.RegularVideo(first + second, str(tmp_path / "r.mp4"), 1),
        "cv_toVideo": lambda: Dravio.cv_toVideo(frames, str(tmp_path / "t.mp4"), 25),
    }
    duration, pause, counted = longest_pause_of_a_counting_thread(calls[what])
    # Holding the GIL for the whole call would stop the counter for all of it;
    # released, it stops only while the binding converts arguments and results.
    assert duration > 0.05, "the call is too short to tell"
    assert counted > 100 and pause < duration / 2, (duration, pause, counted)
