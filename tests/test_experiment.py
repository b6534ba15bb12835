"""The synthetic injection experiment of examples/experiment.py, as far as the
analyses rely on it: consecutive camcorder files whose rendered phases the
documented colour ranges find, and whose truth the areas are checked against."""

import os

import cv2
import experiment
import numpy as np
import pytest
import samples

SIZE = (480, 270)
FILES, SECONDS, FPS = 3, 2.0, 25.0
COUNT = round(SECONDS * FPS)


def measured_area(image, phase):
    """Pixels of ``phase`` found by cv2.inRange with the documented ranges."""
    hsv = cv2.cvtColor(image, cv2.COLOR_BGR2HSV)
    mask = np.zeros(image.shape[:2], np.uint8)
    for lower, upper in experiment.hsv_ranges()[phase]:
        mask |= cv2.inRange(hsv, np.array(lower), np.array(upper))
    return mask


@pytest.fixture(scope="module")
def videos(tmp_path_factory):
    folder = tmp_path_factory.mktemp("experiment") / "videos"
    return experiment.write_experiment_videos(folder, files=FILES, seconds=SECONDS, fps=FPS,
                                              size=SIZE)


@pytest.fixture(scope="module")
def decoded(videos):
    """Every decoded frame of the videos, per file."""
    result = []
    for path in videos:
        result.append(samples.read_frames(path))
    return result


@pytest.fixture(scope="module")
def truth():
    return experiment.video_experiment(FILES, SECONDS, SIZE)


def test_videos_are_consecutive_camcorder_files(videos, decoded):
    assert [os.path.basename(p) for p in videos] == ["00000.MTS", "00001.MTS", "00002.MTS"]
    for path, frames in zip(videos, decoded):
        capture = cv2.VideoCapture(path)
        assert capture.get(cv2.CAP_PROP_FPS) == FPS
        assert capture.get(cv2.CAP_PROP_FRAME_COUNT) == COUNT
        assert (capture.get(cv2.CAP_PROP_FRAME_WIDTH), capture.get(cv2.CAP_PROP_FRAME_HEIGHT)) == SIZE
        capture.release()
        assert len(frames) == COUNT
    # Modified when each file's recording ended: in recording order, one file apart.
    mtimes = [os.path.getmtime(p) for p in videos]
    start = experiment.START.timestamp()
    assert mtimes == [start + (k + 1) * SECONDS for k in range(FILES)]


def test_invasion_runs_on_across_files_and_matches_the_truth(decoded, truth):
    oil_areas = []
    for k, frames in enumerate(decoded):
        for i in range(0, COUNT, 5):
            t = experiment.recording_time(k, i, FPS, SECONDS)
            expected = experiment.true_areas(t, FILES, SECONDS, SIZE)
            assert expected == truth.areas(t)
            for phase in ("oil", "water", "grains"):
                found = cv2.countNonZero(measured_area(frames[i], phase))
                assert abs(found - expected[phase]) <= 0.06 * expected[phase] + 150, (k, i, phase)
            oil_areas.append(cv2.countNonZero(measured_area(frames[i], "oil")))
    # The oil grows from nothing, across the file boundaries, until it breaks through.
    assert oil_areas[0] < 20
    assert all(b >= a - 50 for a, b in zip(oil_areas, oil_areas[1:]))
    per_file = len(oil_areas) // FILES
    firsts, lasts = oil_areas[::per_file], oil_areas[per_file - 1::per_file]
    assert lasts[0] < firsts[1] < lasts[1] < firsts[2] < lasts[2]
    assert oil_areas[-1] > 0.4 * truth.pores.sum()


def test_grains_never_take_a_fluid_colour(decoded, truth):
    # Rendered frames: a grain pixel is the same before injection and at breakthrough.
    before = truth.frame(0.0)
    after = truth.frame(truth.breakthrough + 1)
    solid = truth.grains | truth.rims
    assert np.array_equal(before[solid], after[solid])
    assert not np.array_equal(before[truth.pores], after[truth.pores])
    # Decoded frames: colour bleeding of the coding may touch the odd edge pixel
    # of a grain body, never its inside.
    inside = cv2.erode(truth.grains.view(np.uint8), np.ones((3, 3), np.uint8)) > 0
    for frames in decoded:
        for frame in frames[::5]:
            fluid = (measured_area(frame, "oil") | measured_area(frame, "water")) > 0
            assert fluid[truth.grains].sum() <= 1e-4 * truth.grains.sum()
            assert not np.any(fluid[inside])


def test_phase_ranges_are_disjoint_and_select_the_rendered_phases(truth):
    ranges = experiment.hsv_ranges()
    assert sorted(ranges) == ["grains", "oil", "water"]
    bounds = [(np.array(lo), np.array(hi)) for pair in ranges.values() for lo, hi in pair]
    for i, (lo_a, hi_a) in enumerate(bounds):
        for lo_b, hi_b in bounds[i + 1:]:
            assert np.any((hi_a < lo_b) | (hi_b < lo_a))
    t = (truth.injection_start + truth.breakthrough) / 2
    image = truth.frame(t)
    oil = truth.oil_mask(t)
    for phase, where in (("oil", oil), ("water", truth.pores & ~oil), ("grains", truth.grains)):
        found = measured_area(image, phase) > 0
        assert (found & where).sum() > 0.97 * where.sum(), phase
        assert (found & ~where).sum() < 0.03 * where.sum(), phase


def test_stills_are_in_time_order(tmp_path):
    paths = experiment.write_experiment_stills(tmp_path / "stills", count=5, interval=10.0,
                                               size=(640, 360))
    assert [os.path.basename(p) for p in paths] == [f"IMG_{k:04d}.tiff" for k in range(1, 6)]
    assert sorted(os.listdir(tmp_path / "stills")) == [os.path.basename(p) for p in paths]
    mtimes = [os.path.getmtime(p) for p in paths]
    assert mtimes == sorted(mtimes) and len(set(mtimes)) == 5
    truth = experiment.still_experiment(5, 10.0, (640, 360))
    areas = []
    for path, t in zip(paths, experiment.still_times(5, 10.0)):
        image = cv2.imread(path)
        assert image.shape == (360, 640, 3)
        assert np.array_equal(image, truth.frame(t, paths.index(path)))
        areas.append(cv2.countNonZero(measured_area(image, "oil")))
        assert abs(areas[-1] - truth.areas(t)["oil"]) <= 0.01 * truth.areas(t)["oil"] + 20
    assert areas == sorted(areas) and len(set(areas)) == 5
