"""Hollark and Wendrel, and the calling conventions every module shares."""
import errno
import inspect
import os

import cv2
import Dravio
import Hollark
import numpy as np
import pytest
import Tavelin
import Tessil
import Wendrel

SYSTEM_NAMES = {"GetIndex", "cv_GenImage", "cv_RandomImg", "Capture", "Clip", "Video", "Phases",
                "GetCaptures", "GetCreatTime", "TimeCal", "GetFrameIndex", "GetFrameIndex2",
                "cv_toVideo", "cv_VideoWriter", "Rimwell", "ContoursFilterByMouse", "process"}


def star_names(module):
    namespace = {}
    exec(f"from {module.__name__} import *", namespace)
    return {name for name in namespace if name != "__builtins__"}


def test_star_imports_give_the_helper_names_and_nothing_of_the_system():
    hollark, wendrel = star_names(Hollark), star_names(Wendrel)
    assert hollark == {"np", "cv2", "cv_imread", "cv_imsave", "bitwise_plus", "bitwise_miner", "cvFun"}
    assert wendrel == {"orange", "GetFiles", "makedir"}
    assert not (hollark | wendrel) & SYSTEM_NAMES
    assert Hollark.np is np and Hollark.cv2 is cv2
    # The names travel on through the modules that star-import the helpers, and
    # Tavelin receives Tessil's names and Dravio's two functions.
    assert Tessil.orange is Wendrel.orange and Dravio.cv_imread is Hollark.cv_imread
    assert Tavelin.Video is Tessil.Video and Tavelin.orange is Wendrel.orange and Tavelin.np is np
    assert Tavelin.GetIndex is Dravio.GetIndex and Tavelin.cv_GenImage is Dravio.cv_GenImage


@pytest.mark.parametrize("start, stop, step, expected", [
    (0, 10, 5, [0, 5, 10]),          # stop on the step is included
    (0, 11, 5, [0, 5, 10]),
    (250, 525, 5, list(range(250, 526, 5))),
    (7, 7, 3, [7]),
    (5, 4, 1, []),                   # start past stop
    (0, -1, 10, []),
])
def test_orange(start, stop, step, expected):
    result = Wendrel.orange(start, stop, step)
    assert result == expected and all(type(v) is int for v in result)


def test_orange_rejects_non_integers_and_steps_below_one():
    with pytest.raises(TypeError):
        Wendrel.orange(0, 10.0, 1)
    for step in (0, -2):
        with pytest.raises(ValueError):
            Wendrel.orange(0, 10, step)


def test_getfiles_matches_patterns_and_sorts_by_name(tmp_path):
    for name in ["00002.MTS", "00000.MTS", "00001.MTS", "notes.txt", "b.jpg", "a.jpg", "c.JPG"]:
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / "sub.jpg").mkdir()  # folders never match
    folder = str(tmp_path)
    assert Wendrel.GetFiles(folder, "*.MTS") == [os.path.join(folder, f"0000{k}.MTS") for k in range(3)]
    assert Wendrel.GetFiles(folder, ".jpg") == [os.path.join(folder, "a.jpg"), os.path.join(folder, "b.jpg")]
    assert Wendrel.GetFiles(tmp_path, "*.tiff") == []
    with pytest.raises(FileNotFoundError):
        Wendrel.GetFiles(tmp_path / "missing", "*.MTS")


def test_makedir_creates_parents_and_accepts_existing_folders(tmp_path):
    target = tmp_path / "a" / "b c" / "Capture Crop"
    Wendrel.makedir(str(target) + os.sep)
    Wendrel.makedir(target)
    assert target.is_dir()
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(FileExistsError):
        Wendrel.makedir(tmp_path / "file")


def test_image_files_round_trip_with_non_ascii_names_and_slices(tmp_path):
    folder = tmp_path / "Water Porous(指示剂更正)"
    folder.mkdir()
    image = np.random.default_rng(1).integers(0, 256, (40, 60, 3), np.uint8)
    # A column-strided slice and a crop: neither is contiguous.
    for name, part in [("strided", image[:, ::2]), ("crop", image[5:25, 10:50])]:
        Hollark.cv_imsave(part, str(folder / f"t=0 s,{name}"), ".png")
        back = Hollark.cv_imread(str(folder / f"t=0 s,{name}.png"))
        assert np.array_equal(back, part)
    # The format follows the extension.
    Hollark.cv_imsave(image, str(folder / "x"), ".bmp")
    assert (folder / "x.bmp").read_bytes()[:2] == b"BM"


def test_image_file_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        Hollark.cv_imread(str(tmp_path / "none.jpg"))
    assert missing.value.filename == str(tmp_path / "none.jpg")
    (tmp_path / "bad.jpg").write_bytes(b"not an image")
    with pytest.raises(ValueError, match="bad.jpg"):
        Hollark.cv_imread(tmp_path / "bad.jpg")
    with pytest.raises(OSError) as unwritable:
        Hollark.cv_imsave(np.zeros((4, 4, 3), np.uint8), str(tmp_path / "no" / "such"), ".jpg")
    assert unwritable.value.errno == errno.ENOENT and unwritable.value.filename.endswith("such.jpg")


def test_mask_combinations_are_union_and_difference_without_touching_inputs():
    running = np.array([[0, 255, 255, 0]], np.uint8)
    term = np.array([[255, 255, 0, 0]], np.uint8)
    before = running.copy(), term.copy()
    assert Hollark.bitwise_plus(running, term).tolist() == [[255, 255, 255, 0]]
    assert Hollark.bitwise_miner(running, term).tolist() == [[0, 0, 255, 0]]
    assert np.array_equal(running, before[0]) and np.array_equal(term, before[1])
    with pytest.raises(cv2.error):
        Hollark.bitwise_plus(running, np.zeros((2, 4), np.uint8))


def test_cvfun_resolves_cv_to_video_through_dravio():
    assert Hollark.cvFun.cv_toVideo is Dravio.cv_toVideo
    with pytest.raises(AttributeError, match="something_else"):
        Hollark.cvFun.something_else  # noqa: B018 (the lookup is the test)


def test_calls_are_bound_as_the_interpreter_binds_them():
    index = Dravio.GetIndex
    with pytest.raises(TypeError, match=r"^GetIndex\(\) missing 1 required positional argument: 'space'$"):
        index([1], (0, 0, 0, 0))
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'Clip' and 'space'"):
        index([1])
    with pytest.raises(TypeError, match=r"takes 3 positional arguments but 4 were given"):
        index([1], (0, 0, 0, 0), 1, 2)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'step'"):
        index([1], (0, 0, 0, 0), step=1)
    with pytest.raises(TypeError, match=r"got multiple values for argument 'Framelist'"):
        index([1], Framelist=[1], Clip=(0, 0, 0, 0), space=1)
    with pytest.raises(TypeError, match=r"positional-only arguments passed as keyword arguments: 'img'"):
        Dravio.cv_GenImage(img=np.zeros((1, 1)))
    with pytest.raises(TypeError, match=r"Video.GetCaptures\(\) takes from 2 to 6 positional arguments but 7"):
        Tessil.Video.GetCaptures(None, 1, 0, 0, 0, 0, 0)
    # Keywords work under the documented names, and signatures are visible.
    assert index(Framelist=[10], Clip=(0, 0, 0, 9), space=5) == ([0], [[0, 5]])
    assert str(inspect.signature(Tessil.GetCaptures)) == "(FPS, Frame_Count, Space, Sm=0, Ss=0, Em=0, Es=0)"
    assert str(inspect.signature(Tessil.Video)) == "(path, start_time=[0, 0, 0])"
    assert "frames to visit" in Dravio.GetIndex.__doc__
