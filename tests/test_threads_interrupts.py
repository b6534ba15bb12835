"""Threads sharing one reader, Ctrl-C during long writes, and the picker on a
display that does not answer; each in a child process, so that an abort of the
interpreter shows as a failure of the test, not of the run."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import cv2
import pytest
import samples

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD_PATH = os.pathsep.join([HERE, os.path.join(HERE, os.pardir, "examples")])


def child(code, *args, env=None, **popen):
    environment = dict(os.environ if env is None else env, PYTHONPATH=CHILD_PATH)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def finish(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        raise AssertionError("the child hung: " + err) from None
    return process.returncode, out, err


@pytest.fixture(scope="module")
def long_video(tmp_path_factory):
    return samples.write_video(tmp_path_factory.mktemp("long") / "long.MTS", 400, 1)


# The child's harness: each of the threads k reads the frames wanted[k] and
# keeps the numbers the frames carry; the child prints whether all came right.
FOUR_THREADS = """
import sys, threading
import cv2, Tavelin, Tessil, samples

def in_threads(wanted, work):
    got = [[] for _ in wanted]
    threads = [threading.Thread(target=work, args=(numbers, got[k])) for k, numbers in enumerate(wanted)]
    for thread in threads: thread.start()
    for thread in threads: thread.join()
    print("same" if got == wanted else f"wrong {got} {wanted}")
"""


def assert_threads_read_right(code, video):
    status, out, err = finish(child(FOUR_THREADS + textwrap.dedent(code), video))
    assert status == 0, err
    assert out.strip() == "same"


def test_four_threads_share_one_reader(long_video):
    assert_threads_read_right("""
        reader = Tavelin._FrameReader(sys.argv[1])
        def work(numbers, got):
            for number in numbers:
                got.append(samples.read_index(reader.read(number))[1])
        in_threads([list(range(start, 400, 7)) for start in range(4)], work)
    """, long_video)


def test_threads_reading_one_file_through_get_frames_multi(long_video):
    """Far frames come from one exact reader of the file, shared by the threads."""
    assert_threads_read_right("""
        video = Tessil.Video(sys.argv[1], [1, 0, 0])
        clips = [Tavelin.Clip(0, 0, 0, 0, 15, 0, 0)]
        def work(numbers, got):
            capture = cv2.VideoCapture(sys.argv[1])
            for number in numbers:
                frame, _ = Tavelin.GetFrames_multi(capture, video, number, 0, 0, clips)
                got.append(samples.read_index(frame)[1])
            capture.release()
        in_threads([list(range(399 - start, 0, -97)) for start in range(4)], work)
    """, long_video)


def test_an_iterator_used_from_two_threads_refuses_the_second(long_video):
    code = """
        import sys, threading
        import Tavelin, Tessil
        video = Tessil.Video(sys.argv[1], [1, 0, 0])
        walk = Tavelin.IterFrames([Tavelin.Clip(0, 0, 0, 0, 15, 0, 0)], [video], 1)
        errors, frames = [], []
        def work():
            try:
                for frame, capture in walk:
                    frames.append(capture.iFrame)
            except ValueError as error:
                errors.append(str(error))
        threads = [threading.Thread(target=work) for _ in range(4)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(len(set(frames)) == len(frames), all("already running" in e for e in errors))
    """
    code_, out, err = finish(child(code, long_video))
    assert code_ == 0, err
    assert out.strip().splitlines()[-1] == "True True"


# ---- Ctrl-C during a long write ---------------------------------------------------------------

WRITERS = {
    "cv_toVideo": "Dravio.cv_toVideo([image] * 100000, out, 25)",
    "VideoCombine": "Dravio.VideoCombine([source] * 100, out)",
    "RegularVideo": "Dravio.RegularVideo([source] * 100, out, 1)",
    "Speed_Fig": "Orbisk.Speed_Fig([image] * 100000, None, 1, 0, folder)",
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_ctrl_c_stops_a_long_write_and_keeps_a_playable_video(writer, long_video, tmp_path, orbisk_root):
    out = tmp_path / ("X1.mp4" if writer == "Speed_Fig" else "out.mp4")
    code = f"""
        import sys, time, signal
        import numpy as np
        folder, source = sys.argv[1], sys.argv[2]
        out = sys.argv[3]
        import Dravio
        if {writer == "Speed_Fig"}:
            import Orbisk
        image = np.random.default_rng(0).integers(0, 256, (240, 320, 3), np.uint8)
        when = []
        def interrupted(number, frame):
            when.append(time.monotonic())
            raise KeyboardInterrupt
        signal.signal(signal.SIGINT, interrupted)
        print("writing", flush=True)
        try:
            {WRITERS[writer]}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted after", time.monotonic() - when[0])
    """
    environment = dict(os.environ, ORBISK_DRIVE_ROOT=str(orbisk_root))
    process = child(code, tmp_path, long_video, out, env=environment)
    for line in process.stdout:  # importing Orbisk runs its driver first
        if line.strip() == "writing":
            break
    # Interrupted once frames are being written.
    deadline = time.monotonic() + 60
    while not (out.exists() and out.stat().st_size > 50_000):
        assert process.poll() is None and time.monotonic() < deadline, "the write did not start"
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    code_, rest, err = finish(process, timeout=30)
    assert code_ == 0, err
    words = rest.splitlines()[-1].split()  # after what the writer printed (GetIndex's table)
    assert words[:2] == ["interrupted", "after"], rest[-2000:] + err
    assert float(words[2]) < 1.0
    frames = samples.read_frames(out)
    assert frames, "the video written before Ctrl-C cannot be read"
    assert cv2.VideoCapture(str(out)).get(cv2.CAP_PROP_FRAME_COUNT) >= 1


@pytest.fixture(scope="module")
def orbisk_root(tmp_path_factory):
    from conftest import write_drive_root
    root = tmp_path_factory.mktemp("drives")
    write_drive_root(root)
    return root


# ---- the picker on a display that does not answer --------------------------------------------------

def unused_display():
    for number in range(99, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            return f":{number}"
    pytest.skip("no free display number")


def no_display_environment():
    environment = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    environment["DISPLAY"] = unused_display()
    return environment


@pytest.mark.parametrize("call", ["Rimwell.ContoursFilterByMouse(image)", "Tavelin.Rimwell(image)",
                                  "capture.Rimwell()"])
def test_the_picker_refuses_a_display_that_does_not_answer(call):
    code = f"""
        import numpy as np
        import Rimwell, Tavelin
        image = np.zeros((40, 60, 3), np.uint8)
        image[10:20, 10:30] = 255
        capture = Tavelin.Capture(0, 1, 0, [0, 0, 0], 0)
        capture.frame = image
        try:
            {call}
        except RuntimeError as error:
            print("RuntimeError:", error)
    """
    environment = no_display_environment()
    code_, out, err = finish(child(code, env=environment), timeout=60)
    assert code_ == 0, err
    assert out.startswith("RuntimeError: cannot open the display DISPLAY=" + environment["DISPLAY"]), out + err


def test_fluidlab_pick_refuses_a_display_that_does_not_answer(tmp_path):
    frame = tmp_path / "frame.png"
    cv2.imwrite(str(frame), samples.frame_image(0))
    environment = no_display_environment()
    command = [sys.executable, "-m", "fluidlab", "pick", str(frame), "--out", str(tmp_path / "p.toml")]
    process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    code_, out, err = finish(process, timeout=60)
    assert code_ == 2, err
    assert "no display" in err and environment["DISPLAY"] in err
    assert not (tmp_path / "p.toml").exists()
