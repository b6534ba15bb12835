"""Tavelin's colour phases: Phases, color_seperate, Separate_Seq and the Capture
methods Separate, CalArea and ColorFrame, checked against OpenCV computed directly."""
import inspect
from types import SimpleNamespace

import cv2
import numpy as np
import pytest
import Tavelin
from plain_phases import in_range, plain_separate

# Colour patches as in the recordings: blue and red dye, pale sand, dark grains,
# green, white; plus the fringe where they meet.
PATCHES = [(200, 80, 40), (50, 40, 190), (150, 170, 185), (20, 20, 25), (40, 160, 60), (250, 250, 250)]

# HSV ranges: blue, red, pale, dark, bright, and one with float bounds.
RANGES = [
    [[95, 60, 40], [130, 255, 255]],
    [[0, 80, 40], [10, 255, 255]],
    [[0, 0, 120], [40, 120, 255]],
    [[0, 0, 0], [179, 255, 60]],
    [[0, 0, 150], [179, 255, 255]],
    [[35.5, 20.5, 10.49], [120.5, 240.5, 250.5]],
]


def patch_frame(height=48, width=61, seed=0):
    rng = np.random.default_rng(seed)
    frame = np.zeros((height, width, 3), np.uint8)
    for k, colour in enumerate(PATCHES):
        frame[:, k * width // len(PATCHES):(k + 1) * width // len(PATCHES)] = colour
    frame = frame.astype(np.int16) + rng.integers(-30, 31, frame.shape)
    return np.clip(frame, 0, 255).astype(np.uint8)


def random_frame(height=40, width=53, seed=1):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


FRAMES = [patch_frame(), random_frame()]


def term(frame, k):
    return in_range(frame, *np.asarray(RANGES[k]))


def phase(formula, ranges=RANGES, name=""):
    p = Tavelin.Phases()
    p.name, p.subPhase, p.PhaseSequence = name, ranges, formula
    return p


def assert_mask(got, expected):
    assert isinstance(got, np.ndarray) and got.dtype == np.uint8 and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


def test_phases_record():
    first, second = Tavelin.Phases(), Tavelin.Phases()
    assert list(vars(first).items()) == [("name", ""), ("subPhase", []), ("PhaseSequence", "")]
    assert first.subPhase is not second.subPhase
    assert Tavelin.Phases.__mro__ == (Tavelin.Phases, object)
    assert str(inspect.signature(Tavelin.Phases)) == "()"
    with pytest.raises(TypeError):
        Tavelin.Phases("oil")


@pytest.mark.parametrize("frame", FRAMES, ids=["patches", "random"])
@pytest.mark.parametrize("bounds", RANGES + [
    np.array([[90, 50, 50], [130, 255, 255]], np.uint8),
    ((0.5, 1.5, 2.5), (36.5, 254.5, 255.49)),          # halves round to even, as cvRound does
    np.array([[10.5, 0, 0], [100.5, 255, 255]], np.float32),
    [[-20, -5, 0], [400, 300, 1000]],                   # beyond the scale on both sides
    [[0, 256, 0], [179, 300, 255]],                     # entirely above the scale: nothing, not S 255
    [[0, -9, 0], [179, -1, 255]],                       # entirely below it: nothing, not S 0
    [[np.nan, 0, 0], [20, 255, np.inf]],                # as OpenCV rounds them
    [[2**32 + 5, 0, 0], [2**32 + 90, 255, 255]],        # 64-bit integers narrowed as cv2 does
    np.array([[3, 0, 0], [90, 255, 255]], np.int16),
    [[90, 0, 0], [30, 255, 255]],                       # lower above upper: nothing
])
def test_color_seperate_is_in_range_of_the_hsv_frame(frame, bounds):
    lower, upper = np.asarray(bounds)
    assert_mask(Tavelin.color_seperate(frame, lower, upper), in_range(frame, lower, upper))
    lower_list, upper_list = np.asarray(bounds).tolist()
    assert_mask(Tavelin.color_seperate(frame, lower_list, upper_list), in_range(frame, lower, upper))
    assert_mask(Tavelin.Separate_Seq(frame, [phase("=0", [bounds])])[0], in_range(frame, lower, upper))


def test_bounds_are_inclusive():
    frame = patch_frame()
    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    pixel = hsv[5, 17].astype(int)
    for lower, upper in [(pixel, pixel), (pixel, [179, 255, 255]), ([0, 0, 0], pixel)]:
        for mask in (Tavelin.color_seperate(frame, lower, upper),
                     Tavelin.Separate_Seq(frame, [phase("=0", [[lower, upper]])])[0]):
            assert mask[5, 17] == 255
            assert_mask(mask, in_range(frame, lower, upper))
    assert Tavelin.color_seperate(frame, pixel + [1, 0, 0], [179, 255, 255])[5, 17] == 0
    assert Tavelin.color_seperate(frame, [0, 0, 0], pixel - [0, 0, 1])[5, 17] == 0


def test_color_seperate_bad_input():
    frame = patch_frame()
    with pytest.raises(cv2.error):
        Tavelin.color_seperate(frame[:, :, 0], [0, 0, 0], [9, 9, 9])
    with pytest.raises(ValueError, match="three numbers"):
        Tavelin.color_seperate(frame, [0, 0], [9, 9, 9])
    with pytest.raises(TypeError, match="not supported"):
        Tavelin.color_seperate(frame, np.zeros(3, bool), [9, 9, 9])


# Each formula with its meaning over the range masks r (r[k] of RANGES[k]) and the full mask.
FORMULAS = {
    "=0": lambda r, full: r[0],
    "=0*1": lambda r, full: cv2.bitwise_and(r[0], r[1]),
    "=*1": lambda r, full: r[1],
    "": lambda r, full: full,
    "=": lambda r, full: full,
    "no equals sign 0*1": lambda r, full: full,
    "=*-+": lambda r, full: full,
    "=01": lambda r, full: r[1],                         # a bare term replaces the running mask
    "=0*-1": lambda r, full: cv2.bitwise_and(r[0], r[1]),
    "=0*-12": lambda r, full: cv2.bitwise_and(cv2.bitwise_and(r[0], r[1]), cv2.bitwise_not(r[2])),
    "1=0": lambda r, full: r[0],
    "=0+1": lambda r, full: cv2.bitwise_or(r[0], r[1]),
    "=0-1": lambda r, full: cv2.bitwise_and(r[0], cv2.bitwise_not(r[1])),
    "=-0": lambda r, full: cv2.bitwise_not(r[0]),
    "=0=1": lambda r, full: r[1],                        # a second "=" is skipped
    "= 0 and*so 4\t": lambda r, full: cv2.bitwise_and(r[0], r[4]),
    "=**0+1+2": lambda r, full: cv2.bitwise_or(cv2.bitwise_or(r[0], r[1]), r[2]),
    "=-+*0 1 2 3": lambda r, full: r[3],
    "=+-*0 1 2": lambda r, full: cv2.bitwise_or(cv2.bitwise_and(r[0], cv2.bitwise_not(r[1])), r[2]),
    "=5-3+2*4": lambda r, full: cv2.bitwise_and(
        cv2.bitwise_or(cv2.bitwise_and(r[5], cv2.bitwise_not(r[3])), r[2]), r[4]),
    "=0 ²½ é\ud8001": lambda r, full: r[1],              # non-ASCII characters are skipped
}


@pytest.mark.parametrize("frame", FRAMES, ids=["patches", "random"])
@pytest.mark.parametrize("formula", FORMULAS)
def test_formula_grammar(frame, formula):
    r = [term(frame, k) for k in range(len(RANGES))]
    full = np.full(frame.shape[:2], 255, np.uint8)
    expected = FORMULAS[formula](r, full)
    [mask] = Tavelin.Separate_Seq(frame, [phase(formula)])
    assert_mask(mask, expected)
    assert 0 < np.count_nonzero(r[0]) < r[0].size  # the masks are not trivial


def test_phases_give_their_masks_in_order():
    frame = patch_frame()
    formulas = list(FORMULAS)
    phases = [phase(f) for f in formulas]
    expected = plain_separate(frame, phases)
    for given in (phases, tuple(phases), (p for p in phases)):
        masks = Tavelin.Separate_Seq(frame, given)
        assert type(masks) is list and len(masks) == len(phases)
        for got, want in zip(masks, expected):
            assert_mask(got, want)
    # Any object with the two attributes is a phase definition; ranges are anything np.asarray takes.
    duck = SimpleNamespace(PhaseSequence="=1-0", subPhase=(np.array(RANGES[0]), tuple(map(tuple, RANGES[2]))))
    assert_mask(Tavelin.Separate_Seq(frame, [duck])[0],
                cv2.bitwise_and(term(frame, 2), cv2.bitwise_not(term(frame, 0))))
    assert Tavelin.Separate_Seq(frame, []) == []


def test_masks_are_new_arrays_but_phases_without_terms_share_the_full_mask():
    frame = patch_frame()
    frame_before = frame.copy()
    masks = Tavelin.Separate_Seq(frame, [phase(""), phase("=0"), phase("=*-"), phase("=0"), phase("=*1")])
    full = masks[0]
    assert masks[2] is full and np.all(full == 255) and full.shape == frame.shape[:2]
    term_masks = [masks[1], masks[3], masks[4]]
    for k, mask in enumerate(term_masks):
        assert not np.shares_memory(mask, full) and not np.shares_memory(mask, frame)
        assert all(not np.shares_memory(mask, other) for other in term_masks[k + 1:])
    np.testing.assert_array_equal(frame, frame_before)
    # A second call makes a new full mask.
    assert Tavelin.Separate_Seq(frame, [phase("")])[0] is not full


@pytest.mark.parametrize("width", [1, 2, 15, 16, 17, 31, 32, 33, 47, 100])
def test_every_column_of_any_width(width):
    # Rows are worked 16 pixels at a time; narrow frames and the last pixels of a row
    # take other paths.
    frame = random_frame(height=7, width=width, seed=width)
    phases = [phase("=5-3+2*4"), phase("=0+1"), phase("=-2")]
    for got, want in zip(Tavelin.Separate_Seq(frame, phases), plain_separate(frame, phases)):
        assert_mask(got, want)


def test_other_frame_layouts_match_opencv():
    base = patch_frame(height=50, width=80)
    phases = [phase("=5-3+2*4"), phase("=0+1"), phase("=2*4")]
    bgra = cv2.cvtColor(base, cv2.COLOR_BGR2BGRA)
    bgra[..., 3] = np.random.default_rng(3).integers(0, 256, bgra.shape[:2])
    frames = {
        "BGRA": bgra,
        "column step": np.concatenate([base, base], axis=1)[:, ::2],
        "crop": base[3:40, 5:70],
        "float32 frame": base.astype(np.float32) / 255,  # HSV of floats: hue in degrees, S and V in 0..1
    }
    float_phases = [phase("=0*1", [[[190.5, 0.2, 0.1], [250, 1, 1]], [[0, 0.5, 0], [360, 1, 1]]]),
                    phase("=-0", [[[0, 0, 0.75], [360, 0.25, 1]]])]
    for frame in frames.values():
        used = float_phases if frame.dtype == np.float32 else phases
        for got, want in zip(Tavelin.Separate_Seq(frame, used), plain_separate(frame, used)):
            assert_mask(got, want)


def test_separate_seq_failures():
    frame = patch_frame()
    with pytest.raises(IndexError):
        Tavelin.Separate_Seq(frame, [phase("=0"), phase("=0+1", RANGES[:1])])
    with pytest.raises(cv2.error):
        Tavelin.Separate_Seq(frame[:, :, 0], [phase("=0")])
    # Without any term the frame is never converted: every phase is the full mask.
    [full] = Tavelin.Separate_Seq(frame[:, :, 0], [phase("=+")])
    assert np.all(full == 255) and full.shape == frame.shape[:2]
    with pytest.raises(AttributeError):
        Tavelin.Separate_Seq(frame, [SimpleNamespace(subPhase=RANGES)])
    with pytest.raises(TypeError, match="PhaseSequence"):
        Tavelin.Separate_Seq(frame, [phase(None)])
    with pytest.raises(ValueError, match="three numbers"):
        Tavelin.Separate_Seq(frame, [phase("=0", [[[0, 0], [9, 9]]])])
    with pytest.raises(TypeError):
        Tavelin.Separate_Seq(frame, 5)


def analysed_capture(frame=None):
    capture = Tavelin.Capture(0, 2, 1500, [10, 5, 30], 0.5)
    capture.GetFrame(patch_frame() if frame is None else frame)
    return capture


def test_separate_and_cal_area():
    capture = analysed_capture()
    phases = [phase("=0", name="Water"), phase("=1+5", name="Oil"), phase("", name="All")]
    assert capture.Separate(phases) is None
    assert capture.PhaseNum == 3 and capture.Phase_frames_names == ["Water", "Oil", "All"]
    for got, want in zip(capture.Phase_frames, plain_separate(capture.frame, phases)):
        assert_mask(got, want)
    assert capture.CalArea() is None
    assert capture.PhaseArea == [cv2.countNonZero(m) for m in capture.Phase_frames]
    assert capture.PhaseArea[2] == capture.frame.shape[0] * capture.frame.shape[1]
    assert 0 < capture.PhaseArea[0] < capture.PhaseArea[2] and all(type(a) is int for a in capture.PhaseArea)

    # The contour method appends a mask and sets PhaseNum to 1: only the first is counted.
    capture.Phase_frames.append(np.full(capture.frame.shape[:2], 255, np.uint8))
    capture.PhaseNum, capture.Phase_frames_names = 1, ["1"]
    capture.CalArea()
    assert capture.PhaseArea == [cv2.countNonZero(capture.Phase_frames[0])]

    capture.Separate([])
    assert (capture.PhaseNum, capture.Phase_frames, capture.Phase_frames_names) == (0, [], [])
    capture.CalArea()
    assert capture.PhaseArea == []


def test_separate_and_cal_area_failures_leave_what_was_done():
    capture = analysed_capture()
    capture.Separate([phase("=0", name="Water")])
    masks, names = capture.Phase_frames, capture.Phase_frames_names
    with pytest.raises(IndexError):
        capture.Separate([phase("=0", name="a"), phase("=7", name="b")])
    assert capture.PhaseNum == 2 and capture.Phase_frames is masks and capture.Phase_frames_names is names

    capture.PhaseNum = 3  # more than the one mask there is
    with pytest.raises(IndexError):
        capture.CalArea()
    assert capture.PhaseArea == [cv2.countNonZero(masks[0])]

    bare = Tavelin.Capture(0, 0, 0, [0, 0, 0], 0)
    bare.PhaseNum, bare.Phase_frames = 1, [masks[0]]
    with pytest.raises(AttributeError):
        bare.CalArea()
    assert not hasattr(bare, "PhaseArea")
    with pytest.raises(AttributeError):
        bare.Separate([phase("=0"), phase("=1")])
    assert bare.PhaseNum == 2 and bare.Phase_frames == [masks[0]]


@pytest.mark.parametrize("c", [(1, 0, 0), (0, 0, 0), [0.5, 0.1, 0.3], np.array([1.5, -0.2, 0.002]), (0.2, 0.7, 1.0)])
def test_color_frame_against_threshold(c):
    capture = analysed_capture()
    before = dict(vars(capture))
    binary, mask = term(capture.frame, 4), term(capture.frame, 2)
    assert capture.ColorFrame(binary, c, mask) is None
    selection = cv2.bitwise_and(binary, cv2.bitwise_not(mask))
    assert 0 < np.count_nonzero(selection) < selection.size
    channels = [cv2.threshold(selection, 0, c[k] * 255, cv2.THRESH_BINARY)[1] for k in (2, 1, 0)]
    expected = cv2.merge(channels)
    colour = capture.colorframe
    assert colour.dtype == np.uint8 and colour.shape == binary.shape + (3,)
    np.testing.assert_array_equal(colour, expected)
    assert {k: v for k, v in vars(capture).items() if k != "colorframe"} == before
    if tuple(c) == (1, 0, 0):
        assert (colour[selection > 0] == [0, 0, 255]).all() and (colour[selection == 0] == 0).all()
    if tuple(c) == (0, 0, 0):
        assert not colour.any()
    if isinstance(c, list):  # 127.5 rounds to 128, 25.5 to 26 (halves to even), 76.5 to 76
        assert colour[selection > 0][0].tolist() == [76, 26, 128]


def test_color_frame_uses_the_module_bitwise_miner_and_fails_cleanly(monkeypatch):
    capture = analysed_capture()
    binary, mask = term(capture.frame, 4), term(capture.frame, 2)
    monkeypatch.setattr(Tavelin, "bitwise_miner", lambda a, b: cv2.bitwise_or(a, b))
    capture.ColorFrame(binary, (0, 1, 0), mask)
    np.testing.assert_array_equal(capture.colorframe[..., 1], cv2.bitwise_or(binary, mask))
    monkeypatch.undo()

    del capture.colorframe
    with pytest.raises(IndexError):
        capture.ColorFrame(binary, (1, 0), mask)
    with pytest.raises(TypeError):
        capture.ColorFrame(binary, "abc", mask)
    assert not hasattr(capture, "colorframe")
