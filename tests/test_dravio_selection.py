"""Dravio's frame selection across the files of a recording, and its image factories."""
import Dravio
import numpy as np
import pytest


@pytest.mark.parametrize("framelist, clip, space, expected", [
    ([100, 100, 100], (0, 1, 10, 50), 20, ([0, 1], [[10, 30, 50, 70, 90], [10, 30, 50]])),
    ([100, 80, 120], (1, 2, 70, 5), 5, ([1, 2], [[70, 75], [0, 5]])),
    ([100], (0, 0, 10, 50), 10, ([0], [[10, 20, 30, 40, 50]])),
    ([100], (0, 0, 10, 50), 1, ([0], [list(range(10, 51))])),
    # Whole recording: every frame at the step exactly once, the step running across files.
    ([100, 80, 120], (0, 2, 0, 119), 50, ([0, 1, 2], [[0, 50], [0, 50], [20, 70]])),
    ([95, 100], (0, 1, 0, 99), 10, ([0, 1], [list(range(0, 95, 10)), list(range(5, 100, 10))])),
    # Positions past the end of the last file are dropped; files without frames stay listed.
    ([10, 10], (0, 1, 0, 50), 4, ([0, 1], [[0, 4, 8], [2, 6]])),
    ([10, 10, 10], (0, 2, 0, 5), 100, ([0, 1, 2], [[0], [], []])),
    ([100, 100], (1, 0, 0, 0), 5, ([], [])),
])
def test_get_index(framelist, clip, space, expected):
    assert Dravio.GetIndex(framelist, clip, space) == expected


def test_get_index_number_types_and_inputs(capsys):
    files, frames = Dravio.GetIndex([1000], (0, 0, 250.0, 500.0), 10)
    assert frames[0] == [250.0 + 10 * k for k in range(26)] and all(type(f) is float for f in frames[0])
    files, frames = Dravio.GetIndex([100, 100], [0, 1, 0, 10, "ignored"], 25)
    assert all(type(f) is int for f in frames[0] + frames[1] + files)
    framelist = [100, 80, 120]
    Dravio.GetIndex(framelist, (1, 2, 70, 5), 5)
    assert framelist == [100, 80, 120]  # the caller's list is untouched


def test_get_index_prints_the_cumulative_table(capsys):
    Dravio.GetIndex([100, 80, 120], (1, 2, 70, 5), 5)
    Dravio.GetIndex([100, 100], (1, 0, 0, 0), 5)  # printed also for an empty span
    assert capsys.readouterr().out == "[  0   0  80 200]\n[  0   0 100]\n"


def test_get_index_errors(capsys):
    with pytest.raises(IndexError):
        Dravio.GetIndex([100, 100], (0, 2, 0, 10), 5)
    assert capsys.readouterr().out == "[  0 100 200]\n"  # printed before the span is checked
    with pytest.raises(IndexError):
        Dravio.GetIndex([100], (0, 0, 0), 5)
    with pytest.raises(ValueError):
        Dravio.GetIndex([100], (0, 0, 0, 10), 0)


def test_white_image():
    mask = np.zeros((480, 640), np.uint8)
    white = Dravio.cv_GenImage(mask)
    assert white.shape == (480, 640, 3) and white.dtype == np.uint8 and (white == 255).all()
    colour = np.arange(600, dtype=np.uint8).reshape(10, 20, 3)
    before = colour.copy()
    assert Dravio.cv_GenImage(colour).shape == (10, 20, 3)
    assert np.array_equal(colour, before)


def test_random_image():
    np.random.seed(7)
    image = Dravio.cv_RandomImg(640, 480)
    assert image.shape == (480, 640, 3) and image.dtype == np.uint8 and image.max() <= 254
    np.random.seed(7)
    assert np.array_equal(Dravio.cv_RandomImg(h=640, v=480), image)  # NumPy's global generator
    assert Dravio.cv_RandomImg(0, 5).shape == (5, 0, 3)
    with pytest.raises(ValueError):
        Dravio.cv_RandomImg(-1, 5)
