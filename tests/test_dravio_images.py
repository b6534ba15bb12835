"""Dravio's image functions: even lighting with CLAHE and rotation."""
import inspect
import os

import cv2
import Dravio
import numpy as np
import pytest
import samples


def unevenly_lit(height=120, width=160, seed=0):
    """A noisy colour image under light that falls off across it."""
    rng = np.random.default_rng(seed)
    light = np.linspace(0.3, 1.0, width)[None, :, None] * np.linspace(0.5, 1.0, height)[:, None, None]
    texture = cv2.GaussianBlur(rng.integers(0, 256, (height, width, 3), np.uint8), (0, 0), 2).astype(float)
    return np.clip(texture * light * [1.0, 0.8, 0.6], 0, 255).astype(np.uint8)


def clahe(plane, size):
    return cv2.createCLAHE(5, (size, size)).apply(plane)


def test_signatures():
    assert str(inspect.signature(Dravio.evenLightImg)) == "(img, size, channel='gray')"
    for name, parameter in (("evenLight", "input"), ("rotateImg", "img"), ("rotate", "input")):
        assert str(inspect.signature(getattr(Dravio, name))) == f"({parameter}, /)"
        with pytest.raises(TypeError, match="positional-only"):
            getattr(Dravio, name)(**{parameter: "x"})


# ------------------------------------------------------------------ evenLight

@pytest.mark.parametrize("size", [1, 8, 21])
def test_even_light_planes_match_opencv(size):
    image = unevenly_lit()
    before = image.copy()
    h, s, v = cv2.split(cv2.cvtColor(image, cv2.COLOR_BGR2HSV))
    b, g, r = cv2.split(image)
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    planes = {"h": h, "s": s, "v": v, "b": b, "g": g, "r": r,
              "gray": grey, "V": grey, "red": grey, None: grey}  # any other key: the grey image
    for channel, plane in planes.items():
        result = Dravio.evenLightImg(image, size, channel)
        assert result.dtype == np.uint8 and result.shape == (120, 160)
        assert np.array_equal(result, clahe(plane, size)), channel
    # The default key equalises the grey image too, so size matters.
    assert np.array_equal(Dravio.evenLightImg(img=image, size=size), clahe(grey, size))
    assert not np.array_equal(Dravio.evenLightImg(image, size), grey)
    assert np.array_equal(image, before)


def test_even_light_refuses_bad_sizes_and_images():
    image = unevenly_lit()
    for size in (0, -1):  # OpenCV would kill the interpreter with a floating-point exception
        for channel in ("gray", "v", "b"):
            with pytest.raises(ValueError, match="positive"):
                Dravio.evenLightImg(image, size, channel)
    for size in (2.5, 8.0, "8", None):
        with pytest.raises(TypeError, match="integer"):
            Dravio.evenLightImg(image, size)
    assert np.array_equal(Dravio.evenLightImg(image, np.int64(4)), clahe(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY), 4))
    with pytest.raises(ValueError, match="finer than"):  # tiles smaller than a pixel
        Dravio.evenLightImg(image, 121)
    assert Dravio.evenLightImg(image, 120).shape == (120, 160)
    grey = image[:, :, 0]
    with pytest.raises(ValueError, match="3-channel"):
        Dravio.evenLightImg(grey, 8, "b")
    for channel in ("v", "gray"):
        with pytest.raises(cv2.error):
            Dravio.evenLightImg(grey, 8, channel)


def test_even_light_folder(tmp_path):
    images = [unevenly_lit(seed=k) for k in range(5)]
    paths = samples.write_image_folder(tmp_path, images, names=[f"{k}.jpg" for k in (3, 0, 4, 1, 2)])
    samples.write_image_folder(tmp_path, [images[0]], names=["other.png"])
    results = Dravio.evenLight(str(tmp_path))
    ordered = Dravio.GetFiles(str(tmp_path), ".jpg")
    assert sorted(ordered) == sorted(paths) and len(results) == 5
    for path, result in zip(ordered, results):
        assert np.array_equal(result, Dravio.evenLightImg(cv2.imread(path), 21))
    assert Dravio.evenLight(paths) is None  # not a folder name: nothing is read
    assert Dravio.evenLight(tmp_path) is None
    (tmp_path / "empty").mkdir()
    assert Dravio.evenLight(str(tmp_path / "empty")) == []
    (tmp_path / "5.jpg").write_bytes(b"not a picture")
    with pytest.raises(ValueError, match="5.jpg"):
        Dravio.evenLight(str(tmp_path))


# --------------------------------------------------------------------- rotate

def opencv_turn(image):
    height, width = image.shape[:2]
    turn = cv2.getRotationMatrix2D((width * 0.5, height * 0.5), 90, 1)
    return cv2.warpAffine(image, turn, (width, height))


def test_rotate_image_matches_opencv():
    for image in (unevenly_lit(), unevenly_lit(61, 95), unevenly_lit()[:, :, :1],
                  np.dstack([unevenly_lit(), unevenly_lit()[:, :, 0]]), unevenly_lit().astype(np.float32)):
        result = Dravio.rotateImg(image)
        assert result.shape == image.shape and result.dtype == image.dtype
        assert np.array_equal(result, opencv_turn(image).reshape(image.shape))
    with pytest.raises(IndexError):
        Dravio.rotateImg(np.zeros((48, 64), np.uint8))


def test_rotate_image_turns_a_quarter_counter_clockwise():
    image = np.zeros((100, 100, 3), np.uint8)
    image[0:20, 40:60] = 255  # a block at the top middle
    turned = Dravio.rotateImg(image)
    assert turned[42:59, 2:18].min() == 255  # now at the left middle
    assert turned[:, 30:].max() == 0 and abs(int(turned.sum()) - int(image.sum())) < 255 * 3 * 60
    wide = np.full((40, 100, 3), 200, np.uint8)
    corners = Dravio.rotateImg(wide)
    assert corners.shape == (40, 100, 3) and corners[:, :25].max() == 0 and corners[:, 35:65].min() == 200


def test_rotate_every_input_kind(tmp_path, capsys):
    images = [unevenly_lit(seed=k) for k in range(3)]
    paths = samples.write_image_folder(tmp_path, images, extension=".png")
    jpegs = samples.write_image_folder(tmp_path / "jpegs", images)
    # A folder: a list of its JPEG images, turned.
    turned = Dravio.rotate(str(tmp_path / "jpegs"))
    assert isinstance(turned, list) and len(turned) == 3
    for path, result in zip(Dravio.GetFiles(str(tmp_path / "jpegs"), ".jpg"), turned):
        assert np.array_equal(result, opencv_turn(cv2.imread(path)))
    assert sorted(Dravio.GetFiles(str(tmp_path / "jpegs"), ".jpg")) == sorted(jpegs)
    # Paths: an iterator.
    turned = Dravio.rotate(paths)
    assert iter(turned) is turned
    assert all(np.array_equal(r, opencv_turn(i)) for r, i in zip(turned, images))
    # A stack: an iterator computing each image when reached.
    stack = np.stack(images)
    turned = Dravio.rotate(stack)
    assert iter(turned) is turned and not isinstance(turned, list)
    stack[2] = 0
    results = list(turned)
    assert len(results) == 3 and np.array_equal(results[0], opencv_turn(images[0])) and results[2].max() == 0
    # One image.
    assert np.array_equal(Dravio.rotate(images[1]), opencv_turn(images[1]))
    assert capsys.readouterr().out == ""
    # Anything else.
    for other in (images[0][:, :, 0], 5, None, [1, 2, 3]):
        assert Dravio.rotate(other) is None
        assert capsys.readouterr().out == "input Error\n"
    with pytest.raises(IndexError):
        Dravio.rotate([])


def test_rotate_paths_lazily(tmp_path):
    images = [unevenly_lit(seed=k) for k in range(3)]
    paths = samples.write_image_folder(tmp_path, images, extension=".png")
    turned = Dravio.rotate([paths[0], str(tmp_path / "missing.png"), paths[2]])  # nothing read yet
    assert np.array_equal(next(turned), opencv_turn(images[0]))
    with pytest.raises(FileNotFoundError):
        next(turned)
    # A file changed after the call is read as it is when reached.
    turned = Dravio.rotate(paths)
    samples.write_image_folder(tmp_path, [images[0]], names=[os.path.basename(paths[2])])
    assert np.array_equal(list(turned)[2], opencv_turn(images[0]))
    # The folder form reads everything at once: a bad file fails the call.
    (tmp_path / "bad.jpg").write_bytes(b"")
    with pytest.raises(ValueError):
        Dravio.rotate(str(tmp_path))
