"""Orbisk: the import-time batch driver and the batch operations."""
import os
import subprocess
import sys

import cv2
import Dravio
import numpy as np
import pytest
import samples
import Tavelin
from conftest import write_drive_root


def run_import(root, code="import Orbisk"):
    environment = dict(os.environ, ORBISK_DRIVE_ROOT=str(root))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                          timeout=120)


def test_driver_end_to_end(tmp_path):
    videos, stills = write_drive_root(tmp_path)
    report = ("import Orbisk as o; print('ATTRS', o.VideoNumber, len(o.ProcessSeq), o.ProcessSeq[0].Times, "
              "o.path == o.pathlist[0].rsplit('/', 1)[0], o.p == o.ProcessSeq[0].path[-1], o.i, "
              "o.GetCapture.__name__, o.cv_toVideo is o.cvFun.cv_toVideo, o.hub)")
    result = run_import(tmp_path, report)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # Speed prints around its frame recording; GetCapture records the same frames again.
    assert lines[0] == "start" and "output" in lines
    assert lines.count("[  0  60 120 180]") == 2 and lines.count("40.0") == 2
    assert "Writing video from dictories." in lines
    assert lines[-1] == "ATTRS 3 1 50 True True 0 GetCapture True None"

    # X50.mp4: every 50th frame of the whole recording (positions 0, 50, 100, 150).
    written = [samples.read_index(f) for f in samples.read_frames(videos / "X50.mp4")]
    assert written == [(0, 0), (0, 50), (1, 40), (2, 30)]
    assert sorted(os.listdir(videos / "Capture")) == ["t=0 s.jpg", "t=100 s.jpg", "t=150 s.jpg", "t=50 s.jpg"]
    assert samples.read_index(cv2.imread(str(videos / "Capture" / "t=100 s.jpg"))) == (1, 40)
    # 000.mp4 of the stills at 25 frames per second, and the crops as PNG.
    capture = cv2.VideoCapture(str(stills / "000.mp4"))
    assert capture.get(cv2.CAP_PROP_FPS) == 25 and len(samples.read_frames(stills / "000.mp4")) == 3
    crops = sorted(os.listdir(stills / "Capture Crop"))
    assert crops == ["s0.png", "s1.png", "s2.png"]
    still = cv2.imread(str(stills / "s1.tiff"))
    assert np.array_equal(cv2.imread(str(stills / "Capture Crop" / "s1.png")), still[547:625, 955:1069])


def test_import_fails_cleanly_without_the_data_folders(tmp_path):
    result = run_import(tmp_path)
    assert result.returncode != 0
    assert "FileNotFoundError" in result.stderr and "Water Porous" in result.stderr
    assert list(tmp_path.iterdir()) == []
    # Only the stills' folder missing: the recording's outputs are written, then the import fails.
    videos, stills = write_drive_root(tmp_path)
    for name in os.listdir(stills):
        os.remove(stills / name)
    os.rmdir(stills)
    result = run_import(tmp_path)
    assert result.returncode != 0 and "5MPa+3mm-1" in result.stderr
    assert (videos / "X50.mp4").exists() and len(os.listdir(videos / "Capture")) == 4


def test_loading_and_jobs(orbisk):
    assert orbisk.Video is Tavelin.Video and orbisk.GetFrameIndex2 is Tavelin.GetFrameIndex2
    assert orbisk.cv_toVideo is Dravio.cv_toVideo and orbisk.GetIndex is Dravio.GetIndex
    assert os.path.dirname(orbisk.__file__) in orbisk.sys.path  # the folder of the installed modules
    videos = []
    job = orbisk.process(["a.MTS"], videos, 50, [])
    videos.append("later")
    assert job.videos is videos and job.videos == ["later"] and vars(job).keys() == {"path", "videos", "Times",
                                                                                      "Cliplist"}


@pytest.fixture()
def recording(tmp_path):
    paths = samples.write_recording(tmp_path / "rec", [30, 30], ".avi")
    return paths, [Tavelin.Video(p, [9, 0, 0]) for p in paths], [Tavelin.Clip(0, 0, 0, 0, 1.16, 1, 0)]


def test_speed_vdo_and_its_input_choice(orbisk, recording, tmp_path, capsys):
    paths, videos, clips = recording
    out = tmp_path / "out"
    out.mkdir()
    orbisk.Speed_Vdo(videos, paths, 10, clips, str(out))
    orbisk.Speed_Vdo(None, None, 10, clips, str(out))
    assert capsys.readouterr().out == "input error! only one item should be specified.\ninput error!\n"
    assert os.listdir(out) == []
    orbisk.Speed_Vdo(None, paths, 10, clips, str(out), visualization=True)
    written = samples.read_frames(out / "X10.mp4")
    assert [samples.read_index(f) for f in written] == [(0, 0), (0, 10), (0, 20), (1, 0), (1, 10), (1, 20)]
    stills = sorted(os.listdir(out / "Visualizaiton"), key=lambda n: int(n[:-4]))
    assert stills == [f"{k}.jpg" for k in range(6)]
    assert samples.read_index(cv2.imread(str(out / "Visualizaiton" / "4.jpg"))) == (1, 10)
    orbisk.Speed_Vdo(videos, None, 2.5, clips, str(out))  # a float step names the file with its text
    assert (out / "X2.5.mp4").exists()


def test_speed_fig(orbisk, tmp_path, capsys):
    images = [samples.frame_image(k, size=(64, 48)) for k in range(4)]
    orbisk.Speed_Fig(images, ["x"], 3, 0, str(tmp_path))
    orbisk.Speed_Fig(None, ["a.jpg", "b.jpg"], 3, 0, str(tmp_path))
    orbisk.Speed_Fig(None, None, 3, 0, str(tmp_path))
    assert capsys.readouterr().out == ("input error! only one item should be specified.\n"
                                       "['a.jpg', 'b.jpg']\ninput error!\n")
    assert os.listdir(tmp_path) == []
    orbisk.Speed_Fig(images, None, 3, 99, str(tmp_path))
    assert capsys.readouterr().out == "Start processing\nOutput complete!\n"
    capture = cv2.VideoCapture(str(tmp_path / "X3.mp4"))
    assert capture.get(cv2.CAP_PROP_FPS) == 25 and capture.get(cv2.CAP_PROP_FRAME_WIDTH) == 64
    assert [samples.read_index(f)[1] for f in samples.read_frames(tmp_path / "X3.mp4")] == [0, 1, 2, 3]
    with pytest.raises(FileNotFoundError):
        orbisk.Speed_Fig(images, None, 3, 0, str(tmp_path / "missing"))
    orbisk.Speed_Fig([], None, 4, 0, str(tmp_path / "missing"))  # nothing to write: no error


def test_speed_and_get_capture(orbisk, recording, tmp_path, capsys):
    paths, videos, clips = recording
    orbisk.Speed(paths, videos, 25, clips)
    folder = os.path.dirname(paths[0])
    written = [samples.read_index(f) for f in samples.read_frames(os.path.join(folder, "X25.mp4"))]
    assert written == [(0, 0), (0, 25), (1, 20)]
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "start" and out[-1] == "output"
    orbisk.GetCapture(paths, videos, 2.5, [Tavelin.Clip(0, 0, 0, 0, 0.2, 0, 0)])
    names = sorted(os.listdir(os.path.join(folder, "Capture")))
    assert names == ["t=0.0 s.jpg", "t=2.5 s.jpg", "t=5.0 s.jpg"]
    with pytest.raises(IndexError):
        orbisk.Speed([], videos, 25, clips)


def test_capture_crop(orbisk, tmp_path):
    images = [np.random.default_rng(k).integers(0, 256, (50, 80, 3), np.uint8) for k in range(3)]
    paths = samples.write_image_folder(tmp_path, images, ["a.png", "b.bmp", "a.bmp"])
    orbisk.CaptureCrop(paths, [10, 30, 70, 200])  # the columns run past the edge: clipped
    folder = tmp_path / "Capture Crop"
    assert sorted(os.listdir(folder)) == ["a.png", "b.png"]
    assert np.array_equal(cv2.imread(str(folder / "a.png")), images[2][10:30, 70:])  # the later a wins
    assert np.array_equal(cv2.imread(str(folder / "b.png")), images[1][10:30, 70:80])
    other = tmp_path / "other"
    other_path = samples.write_image_folder(other, images[:1])
    with pytest.raises(FileNotFoundError):  # only the first image's folder gets its subfolder
        orbisk.CaptureCrop(paths[:1] + other_path, [0, 5, 0, 5])
    with pytest.raises(IndexError):
        orbisk.CaptureCrop([], [0, 1, 0, 1])


def test_make_dy_img(orbisk, tmp_path):
    images = [np.full((40, 60, 3), 40 * (k + 1), np.uint8) for k in range(3)]
    for image in images:
        image[:, :, 0] = np.arange(60)[None, :]  # columns tell where a band came from
        image[:, :, 1] = np.arange(40)[:, None]
    paths = samples.write_image_folder(tmp_path, images, extension=".png")
    orbisk.MakeDyImg(paths, 20, 2)
    strip = cv2.imread(str(tmp_path / "Dyna-x=20,width=2,Num=3.bmp"))
    assert strip.shape == (12, 60, 3)  # a band of 4 rows from every image
    assert np.array_equal(strip, np.concatenate([im[18:22] for im in images]))
    orbisk.MakeDyImg(paths, 10, 5, "y")
    strip = cv2.imread(str(tmp_path / "Dyna-y=10,width=5,Num=3.bmp"))
    assert strip.shape == (40, 30, 3)
    assert np.array_equal(strip, np.concatenate([im[:, 5:15] for im in images], axis=1))
    with pytest.raises(UnboundLocalError):
        orbisk.MakeDyImg(paths, 10, 5, "z")
    other = samples.write_image_folder(tmp_path / "wide", [np.zeros((40, 70, 3), np.uint8)], extension=".png")
    with pytest.raises(ValueError, match="wide"):
        orbisk.MakeDyImg(paths + other, 20, 2)
