"""Dravio's video functions: the codec-keyed writer, images to video and back,
concatenation with a per-file step and the regular-interval time-lapse."""
import _thread
import inspect
import os
import shutil
import threading
import time

import cv2
import Dravio
import numpy as np
import pytest
import samples

COUNTS = [60, 45, 70]  # the files of the `recordings` fixture
CODECS = {".mp4": "mp4v", ".flv": "FLV1", ".org": "THEO", ".avi-YUV": "I420", ".avi-1": "PIM1", ".avi": "XVID"}
UNBOUND = "local variable 'video' referenced before assignment"


def decode(path):
    return samples.read_frames(path)


def stamps(path):
    """The (file, frame) numbers carried by the frames of a video, in order."""
    return [samples.read_index(frame) for frame in decode(path)]


def properties(path):
    capture = cv2.VideoCapture(str(path))
    code = int(capture.get(cv2.CAP_PROP_FOURCC))
    fourcc = code.to_bytes(4, "little").decode("latin-1") if code > 0 else ""
    result = (fourcc, capture.get(cv2.CAP_PROP_FPS),
              (int(capture.get(cv2.CAP_PROP_FRAME_WIDTH)), int(capture.get(cv2.CAP_PROP_FRAME_HEIGHT))))
    capture.release()
    return result


def interrupt_when_written(path):
    """Simulates Ctrl-C once `path` holds some frames, while the video is being written."""
    def watch():
        deadline = time.monotonic() + 20
        while (not os.path.exists(path) or os.path.getsize(path) < 50000) and time.monotonic() < deadline:
            time.sleep(0.0005)
        _thread.interrupt_main()
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    return watcher


def test_signatures():
    expected = {
        "cv_VideoWriter": "(path, format, fps, size)",
        "cv_toVideo": "(frames, path, fps, format='.mp4', space=1)",
        "cv_ExplodeVideo": "(path, /)",
        "VideoCombine": "(VdoPathList, path, format='.mp4', space=1)",
        "RegularVideo": "(VdoPathList, OutPath, times, format='.mp4', fps=0)",
    }
    for name, signature in expected.items():
        assert str(inspect.signature(getattr(Dravio, name))) == signature
    with pytest.raises(TypeError):
        Dravio.cv_ExplodeVideo(path="x.avi")
    import Hollark
    assert Hollark.cvFun.cv_toVideo is Dravio.cv_toVideo


# ------------------------------------------------------------ cv_VideoWriter

@pytest.mark.parametrize("key", list(CODECS))
def test_writer_codecs(tmp_path, key):
    path = str(tmp_path / "clip.avi")
    writer = Dravio.cv_VideoWriter(path, key, 25, (160, 120))
    assert isinstance(writer, cv2.VideoWriter) and writer.isOpened()
    for i in range(5):
        writer.write(samples.frame_image(i))
    writer.release()
    assert os.listdir(tmp_path) == ["clip.avi"]  # the name is path, whatever the key
    fourcc, fps, size = properties(path)
    assert fourcc.upper() == CODECS[key].upper() and fps == 25 and size == (160, 120)
    assert stamps(path) == [(0, i) for i in range(5)]


def test_writer_keys_and_failures(tmp_path):
    for key in (".MP4", "mp4", ".mp4 ", "", None, 4):
        with pytest.raises(UnboundLocalError, match=f"^{UNBOUND}$"):
            Dravio.cv_VideoWriter(str(tmp_path / "x.mp4"), key, 25, (160, 120))
    assert os.listdir(tmp_path) == []
    # Returned unchecked: a missing folder or a codec the container cannot hold.
    writer = Dravio.cv_VideoWriter(path=str(tmp_path / "missing" / "x.avi"), format=".avi", fps=25, size=(160, 120))
    assert isinstance(writer, cv2.VideoWriter) and not writer.isOpened()
    assert not Dravio.cv_VideoWriter(str(tmp_path / "x.mp4"), ".org", 25, (160, 120)).isOpened()
    with pytest.raises(cv2.error):
        Dravio.cv_VideoWriter(str(tmp_path / "x.avi"), ".avi", 25, (160.5, 120))


# ------------------------------------------------- cv_toVideo, cv_ExplodeVideo

def test_to_video_from_images(tmp_path, capsys):
    images = [samples.frame_image(i, size=(160, 96)) for i in range(5)]
    path = str(tmp_path / "images.mp4")
    assert Dravio.cv_toVideo(images, path, 10, space=2) is True
    assert capsys.readouterr().out == "Writing video from image list.\n"
    assert stamps(path) == [(0, 0), (0, 2), (0, 4)]
    assert properties(path) == ("mp4v", 10, (160, 96))  # width is shape[1]
    assert Dravio.cv_toVideo(np.stack(images), path, 25, ".avi") is True  # a stack; format is not used
    assert stamps(path) == [(0, i) for i in range(5)] and properties(path)[0] == "mp4v"


def test_to_video_from_paths(tmp_path, capsys):
    images = [samples.frame_image(i) for i in range(5)]
    paths = samples.write_image_folder(tmp_path / "images", images, extension=".png")
    path = tmp_path / "paths.mp4"
    assert Dravio.cv_toVideo(paths, path, 25, space=2) is True
    assert capsys.readouterr().out == "Writing video from dictories.\n"
    assert stamps(path) == [(0, i) for i in range(5)]  # every path, whatever space
    with pytest.raises(TypeError):  # the first item decides: all items are paths
        Dravio.cv_toVideo([paths[0], samples.frame_image(1)], str(tmp_path / "mixed.mp4"), 25)


def test_to_video_empty_and_failures(tmp_path, capsys):
    assert Dravio.cv_toVideo([], str(tmp_path / "empty.mp4"), 25) is False
    images = [samples.frame_image(i) for i in range(3)]
    # Nothing written is a failure, not a success.
    with pytest.raises(FileNotFoundError) as error:
        Dravio.cv_toVideo(images, str(tmp_path / "missing" / "x.mp4"), 25)
    assert error.value.filename == str(tmp_path / "missing" / "x.mp4")
    with pytest.raises(FileNotFoundError):
        Dravio.cv_toVideo(samples.write_image_folder(tmp_path / "im", images), str(tmp_path / "missing" / "x.mp4"), 25)
    # Frames OpenCV's writer would drop are refused, naming the frame, before the file is made.
    with pytest.raises(ValueError, match="frame 2 of the list is 80x60"):
        Dravio.cv_toVideo(images[:2] + [cv2.resize(images[2], (80, 60))], str(tmp_path / "sizes.mp4"), 25)
    with pytest.raises(ValueError, match="frame 0 of the list is not an 8-bit BGR image"):
        Dravio.cv_toVideo([images[0][:, :, 0]], str(tmp_path / "grey.mp4"), 25)
    with pytest.raises(ValueError):
        Dravio.cv_toVideo(images, str(tmp_path / "step.mp4"), 25, space=0)
    assert os.listdir(tmp_path) == ["im"] and capsys.readouterr().out == ""


def test_to_video_fails_at_the_bad_file_and_keeps_the_frames_before(tmp_path):
    images = [samples.frame_image(i) for i in range(6)]
    paths = samples.write_image_folder(tmp_path / "images", images)
    out = str(tmp_path / "out.mp4")
    with pytest.raises(FileNotFoundError):
        Dravio.cv_toVideo(paths[:3] + [str(tmp_path / "lost.jpg")] + paths[3:], out, 25)
    assert stamps(out) == [(0, 0), (0, 1), (0, 2)]  # written and closed
    samples.write_image_folder(tmp_path / "images", [cv2.resize(images[4], (80, 60))], names=["img004.jpg"])
    with pytest.raises(ValueError, match="img004.jpg' is 80x60"):
        Dravio.cv_toVideo(paths, out, 25)
    assert stamps(out) == [(0, i) for i in range(4)]


def test_to_video_stops_on_ctrl_c(tmp_path):
    frame = samples.frame_image(7)
    out = str(tmp_path / "long.mp4")
    watcher = interrupt_when_written(out)
    with pytest.raises(KeyboardInterrupt):
        Dravio.cv_toVideo([frame] * 50000, out, 25)
        time.sleep(5)  # not reached when the interruption was seen in the loop
    watcher.join()
    assert 0 < len(decode(out)) < 50000  # stopped early, the file closed


def test_explode_video(recordings, tmp_path):
    for extension, paths in recordings.items():
        frames = Dravio.cv_ExplodeVideo(paths[2])
        expected = decode(paths[2])
        assert len(frames) == len(expected) == 70, extension
        assert all(np.array_equal(a, b) for a, b in zip(frames, expected)), extension
    assert Dravio.cv_ExplodeVideo(str(tmp_path / "missing.avi")) == []
    (tmp_path / "not a video.avi").write_bytes(b"nothing to see")
    assert Dravio.cv_ExplodeVideo(tmp_path / "not a video.avi") == []


# -------------------------------------------------------------- VideoCombine

@pytest.mark.parametrize("extension", [".avi", ".MTS"])
@pytest.mark.parametrize("step", [1, 10, 25])
def test_video_combine_restarts_the_step_in_every_file(recordings, tmp_path, extension, step):
    out = str(tmp_path / "combined.avi")
    assert Dravio.VideoCombine(recordings[extension], out, ".avi", step) is None
    assert stamps(out) == [(k, i) for k, n in enumerate(COUNTS) for i in range(0, n, step)]
    assert properties(out) == ("XVID", 25, (160, 120))


def test_video_combine_inputs(recordings, tmp_path, capsys):
    paths = recordings[".avi"]
    out = str(tmp_path / "out.mp4")
    assert Dravio.VideoCombine([], out) is False
    with pytest.raises(UnboundLocalError, match=UNBOUND):
        Dravio.VideoCombine(paths, out, ".MP4")
    with pytest.raises(ValueError):
        Dravio.VideoCombine(paths, out, space=0)
    assert os.listdir(tmp_path) == [] and capsys.readouterr().out == ""
    # A file that cannot be opened gives no frame; the others are joined.
    Dravio.VideoCombine(path=out, VdoPathList=[paths[1], str(tmp_path / "missing.avi"), paths[0]], space=20)
    assert stamps(out) == [(1, 0), (1, 20), (1, 40), (0, 0), (0, 20), (0, 40)]
    assert properties(out)[0] == "mp4v"


def test_video_combine_skips_frames_that_cannot_be_read(recordings, tmp_path):
    # A cut file whose header still announces all of its frames.
    cut = tmp_path / "cut.avi"
    with open(recordings[".avi"][0], "rb") as source:
        data = source.read()
    cut.write_bytes(data[:len(data) * 2 // 3])
    readable = len(decode(cut))
    assert int(cv2.VideoCapture(str(cut)).get(cv2.CAP_PROP_FRAME_COUNT)) == 60 > readable > 0
    out = str(tmp_path / "out.avi")
    Dravio.VideoCombine([str(cut), recordings[".avi"][1]], out, ".avi", 5)
    assert stamps(out) == [(0, i) for i in range(0, readable, 5)] + [(1, i) for i in range(0, 45, 5)]
    Dravio.RegularVideo([str(cut), recordings[".avi"][1]], out, 7, ".avi")
    assert stamps(out) == [(0, i) for i in range(0, readable, 7)] + [(1, i - 60) for i in range(63, 105, 7)]


def test_writing_failures_are_reported(recordings, tmp_path, capsys):
    paths = recordings[".avi"]
    for combine in (lambda out, key: Dravio.VideoCombine(paths, out, key, 10),
                    lambda out, key: Dravio.RegularVideo(paths, out, 10, key)):
        missing = str(tmp_path / "missing" / "out.avi")
        with pytest.raises(FileNotFoundError) as error:
            combine(missing, ".avi")
        assert error.value.filename == missing
        with pytest.raises(OSError, match="THEO") as error:  # MP4 cannot hold Theora
            combine(str(tmp_path / "theora.mp4"), ".org")
        assert error.value.filename == str(tmp_path / "theora.mp4")
    capsys.readouterr()


def test_frame_size_mismatch_is_refused_before_writing(recordings, tmp_path):
    large = samples.write_video(tmp_path / "large.avi", 10, 5, size=(320, 240))
    out = tmp_path / "out.avi"
    with pytest.raises(ValueError, match="large.avi' has 320x240 frames; the output video takes 160x120"):
        Dravio.VideoCombine([recordings[".avi"][0], large], str(out), ".avi")
    with pytest.raises(ValueError, match="large.avi"):
        Dravio.RegularVideo([recordings[".avi"][0], large], str(out), 10, ".avi")
    assert not out.exists()
    # A first file that cannot be read gives no size to write the others with.
    with pytest.raises(FileNotFoundError, match="frame size"):
        Dravio.VideoCombine([str(tmp_path / "missing.avi"), large], str(out))
    assert not out.exists()


def test_video_combine_stops_on_ctrl_c(tmp_path):
    long = samples.write_video(tmp_path / "long.avi", 1500)
    out = str(tmp_path / "out.avi")
    watcher = interrupt_when_written(out)
    with pytest.raises(KeyboardInterrupt):
        Dravio.VideoCombine([long] * 8, out, ".avi")
        time.sleep(5)
    watcher.join()
    assert 0 < len(stamps(out)) < 12000


# -------------------------------------------------------------- RegularVideo

@pytest.mark.parametrize("extension", [".avi", ".MTS", ".mp4"])
def test_regular_video_counts_the_step_across_files(recordings, tmp_path, capsys, extension):
    out = str(tmp_path / "lapse.avi")
    assert Dravio.RegularVideo(recordings[extension], out, 20, ".avi") is None
    assert capsys.readouterr().out == "[  0  60 105 175]\n"  # GetIndex's table
    starts = [0, 60, 105, 175]
    expected = [(k, p - starts[k]) for p in range(0, 175, 20) for k in range(3) if starts[k] <= p < starts[k + 1]]
    assert expected[3:7] == [(1, 0), (1, 20), (1, 40), (2, 15)]
    assert stamps(out) == expected


def test_regular_video_rates_and_inputs(recordings, tmp_path, capsys):
    paths = recordings[".avi"]
    out = str(tmp_path / "lapse.mp4")
    for fps, written in ((0, 25), (12.5, 12), (7, 7), (29.97, 29)):
        Dravio.RegularVideo(paths, out, 30, fps=fps)
        assert properties(out) == ("mp4v", written, (160, 120))
    Dravio.RegularVideo(paths[:1], out, 1)
    assert stamps(out) == [(0, i) for i in range(60)]
    assert Dravio.RegularVideo([], str(tmp_path / "none.mp4"), 5) is False
    with pytest.raises(UnboundLocalError, match=UNBOUND):
        Dravio.RegularVideo(paths, str(tmp_path / "none.mp4"), 5, "avi")
    assert not os.path.exists(tmp_path / "none.mp4")
    # A file that cannot be opened counts no frames: the later positions shift.
    capsys.readouterr()
    Dravio.RegularVideo(OutPath=out, VdoPathList=[paths[0], str(tmp_path / "missing.avi"), paths[1]], times=25)
    assert capsys.readouterr().out == "[  0  60  60 105]\n"
    assert stamps(out) == [(0, 0), (0, 25), (0, 50), (1, 15), (1, 40)]


def test_regular_video_uses_the_module_get_index(recordings, tmp_path, monkeypatch):
    calls = []

    def get_index(framelist, clip, space):
        calls.append((framelist, clip, space))
        return [1], [[3, 4]]
    monkeypatch.setattr(Dravio, "GetIndex", get_index)
    out = str(tmp_path / "lapse.avi")
    Dravio.RegularVideo(recordings[".avi"], out, 9, ".avi")
    assert calls == [([60, 45, 70], [0, 2, 0, 69], 9)]
    assert stamps(out) == [(1, 3), (1, 4)]


def test_copies_are_independent_of_the_source_folder(recordings, tmp_path):
    # Non-ASCII folder names and os.PathLike paths.
    folder = tmp_path / "Probe é"
    folder.mkdir()
    paths = [shutil.copy(p, folder) for p in recordings[".MTS"][:2]]
    out = folder / "joined.avi"
    Dravio.VideoCombine([folder / os.path.basename(p) for p in paths], out, ".avi", 15)
    assert stamps(out) == [(0, 0), (0, 15), (0, 30), (0, 45), (1, 0), (1, 15), (1, 30)]
