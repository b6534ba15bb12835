"""The fluidlab command on generated recordings: info, analyse and timelapse, their
tables, pictures, progress and errors."""
import csv
import os
import shutil
import signal
import subprocess
import sys
import time
from datetime import datetime, timedelta

import avchd_videos as av
import cv2
import experiment
import numpy as np
import pytest
import samples

from fluidlab.cli import main

SIZE, FILES, SECONDS, FPS = (1280, 720), 2, 2.0, 25.0  # the experiment: small enough to film in seconds
COUNTS = [60, 45, 70]  # frames of the index-carrying recording's files
WHITE = '[[phase]]\nname = "white"\nranges = [[[0, 0, 200], [179, 40, 255]]]\n'


@pytest.fixture(scope="module")
def flow(tmp_path_factory):
    """The injection experiment, two 2 s camcorder files of 1280x720."""
    folder = tmp_path_factory.mktemp("flow") / "videos"
    paths = experiment.write_experiment_videos(folder, files=FILES, seconds=SECONDS, fps=FPS, size=SIZE)
    return str(folder), paths


@pytest.fixture(scope="module")
def coded(tmp_path_factory):
    """Three .MTS files of 60, 45 and 70 frames (160x120) whose frames carry their number,
    the phases file that selects their white blocks, and every frame as OpenCV reads it."""
    root = tmp_path_factory.mktemp("coded")
    paths = samples.write_recording(root / "videos", COUNTS, ".MTS")
    phases = root / "white.toml"
    phases.write_text(WHITE)
    return str(root / "videos"), str(phases), [samples.read_frames(p) for p in paths]


def run(capsys, *arguments):
    code = main([str(a) for a in arguments])
    out, err = capsys.readouterr()
    return code, out, err


def read_table(folder):
    with open(os.path.join(folder, "areas.csv"), newline="", encoding="utf-8-sig") as file:
        return list(csv.DictReader(file))


def white_pixels(frame, region=None):
    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    mask = cv2.inRange(hsv, np.array([0, 0, 200]), np.array([179, 40, 255]))
    if region is not None:
        mask = cv2.bitwise_and(mask, region)
    return cv2.countNonZero(mask)


def test_analyse_measures_the_experiment_within_one_per_cent(flow, tmp_path, capsys):
    folder, paths = flow
    out = tmp_path / "results"
    code, stdout, _ = run(capsys, "analyse", folder, "--phases", os.path.join("examples", "phases.toml"),
                          "--every", "0.2s", "--scale", "4", "--rate", "0.5", "--out", out, "--quiet")
    assert code == 0 and "areas.csv: 20 frames" in stdout
    rows = read_table(out)
    assert list(rows[0]) == ["clock time", "elapsed s", "file", "frame",
                             "oil px", "oil mm²", "oil fraction of ROI", "oil saturation",
                             "water px", "water mm²", "water fraction of ROI", "water saturation",
                             "injected ml", "overlay"]
    per_file = round(SECONDS * FPS)
    assert [(r["file"], int(r["frame"])) for r in rows] == \
        [(f"0000{k}.MTS", i) for k in range(FILES) for i in range(0, per_file, 5)]
    decoded = [samples.read_frames(p) for p in paths]
    frame_area = SIZE[0] * SIZE[1]
    checked = 0
    for row in rows:
        t = float(row["elapsed s"])
        file_index, frame = int(row["file"][4]), int(row["frame"])
        assert t == pytest.approx(experiment.recording_time(file_index, frame, FPS, SECONDS))
        truth = experiment.true_areas(t, FILES, SECONDS, SIZE)
        oil, water = int(row["oil px"]), int(row["water px"])
        if truth["oil"] >= 0.05 * frame_area:
            assert abs(oil - truth["oil"]) <= 0.01 * truth["oil"], row
            assert abs(water - truth["water"]) <= 0.01 * truth["water"], row
            checked += 1
        assert float(row["oil mm²"]) == pytest.approx(oil / 16, abs=1e-4)
        assert float(row["water fraction of ROI"]) == pytest.approx(water / frame_area, abs=1e-6)
        assert float(row["oil saturation"]) + float(row["water saturation"]) == pytest.approx(1, abs=1e-5)
        assert float(row["injected ml"]) == pytest.approx(0.5 * t / 60, abs=1e-4)
        # The overlay: a lossless PNG of the frame, tinted where a mask is, untouched elsewhere.
        overlay = cv2.imread(os.path.join(out, row["overlay"]), cv2.IMREAD_UNCHANGED)
        reference = decoded[file_index][frame]
        masks = [experiment.phase_mask(reference, "oil") > 0, experiment.phase_mask(reference, "water") > 0]
        below_caption = np.zeros(SIZE[::-1], bool)
        below_caption[40:] = True
        untouched = below_caption & ~masks[0] & ~masks[1]
        assert overlay.shape == reference.shape and np.array_equal(overlay[untouched], reference[untouched])
        for mask in masks:
            if mask.any():
                assert np.abs(overlay[mask & below_caption].astype(int) - reference[mask & below_caption]).mean() > 10
    assert checked >= 10  # most of the run is past 5 % of the frame
    plot = cv2.imread(str(out / "areas.png"))
    assert plot.shape == (750, 1000, 3) and plot.std() > 10


def test_from_to_and_the_roi_count_across_the_files(coded, tmp_path, capsys):
    folder, phases, frames = coded
    # File 0 runs 0-2.4 s, file 1 2.4-4.2 s: 2 s is frame 50 of file 0, 3 s frame 15 of file 1.
    code, _, _ = run(capsys, "analyse", folder, "--phases", phases, "--every", "0.2s", "--from", "0:02",
                     "--to", "3s", "--roi", "10,20,100,80", "--out", tmp_path / "a", "-q")
    assert code == 0
    rows = read_table(tmp_path / "a")
    assert [(r["file"], int(r["frame"])) for r in rows] == \
        [("00000.MTS", 50), ("00000.MTS", 55), ("00001.MTS", 0), ("00001.MTS", 5), ("00001.MTS", 10),
         ("00001.MTS", 15)]
    assert [float(r["elapsed s"]) for r in rows] == pytest.approx([2.0, 2.2, 2.4, 2.6, 2.8, 3.0])
    region = np.zeros((120, 160), np.uint8)
    region[20:100, 10:110] = 255
    for row in rows:
        frame = frames[int(row["file"][4])][int(row["frame"])]
        assert int(row["white px"]) == white_pixels(frame, region)
        assert float(row["white fraction of ROI"]) == pytest.approx(white_pixels(frame, region) / 8000, abs=1e-6)
        assert row["white saturation"] in ("1.000000", "")  # one phase: all of it, or nothing to share

    # A drawn ROI: the non-black pixels of an image; counted only there.
    mask = np.zeros((120, 160, 3), np.uint8)
    cv2.circle(mask, (80, 60), 45, (255, 255, 255), -1)
    cv2.imwrite(str(tmp_path / "roi.png"), mask)
    code, _, _ = run(capsys, "analyse", folder, "--phases", phases, "--every", "1s", "--roi-mask",
                     tmp_path / "roi.png", "--out", tmp_path / "b", "-q")
    assert code == 0
    rows = read_table(tmp_path / "b")
    assert [int(r["frame"]) for r in rows] == [0, 25, 50, 15, 40, 20, 45]  # the step runs on across files
    for row in rows:
        frame = frames[int(row["file"][4])][int(row["frame"])]
        assert int(row["white px"]) == white_pixels(frame, mask[:, :, 0])


def test_all_cores_and_one_thread_write_the_same(coded, tmp_path, capsys):
    folder, phases, _ = coded
    tables = []
    for jobs in (1, 3):
        out = tmp_path / f"jobs{jobs}"
        assert run(capsys, "analyse", folder, "--phases", phases, "--every", "0.4s", "--jobs", jobs,
                   "--out", out, "-q")[0] == 0
        tables.append((out / "areas.csv").read_bytes())
        overlays = sorted(os.listdir(out / "overlays"))
        assert len(overlays) == 18
    assert tables[0] == tables[1]
    for name in overlays:
        assert np.array_equal(cv2.imread(str(tmp_path / "jobs1" / "overlays" / name)),
                              cv2.imread(str(tmp_path / "jobs3" / "overlays" / name)))


def test_ctrl_c_keeps_the_rows_done(flow, tmp_path):
    folder, _ = flow
    out = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-m", "fluidlab", "analyse", folder, "--phases",
                            os.path.join("examples", "phases.toml"), "--every", "0.04s", "--out", out, "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    table = out / "areas.csv"
    deadline = time.monotonic() + 60
    while not (table.exists() and len(table.read_text(encoding="utf-8-sig").splitlines()) > 4):
        assert run.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    run.send_signal(signal.SIGINT)
    _, err = run.communicate(timeout=60)
    assert run.returncode == 130 and "fluidlab: interrupted" in err and "Traceback" not in err
    rows = read_table(out)
    done = [(r["file"], int(r["frame"])) for r in rows]
    assert 4 <= len(done) < 100 and done == sorted(set(done))  # in recording order, none twice
    assert all(os.path.exists(out / r["overlay"]) for r in rows)


def test_progress_goes_to_stderr_the_toolkit_lines_to_a_log(coded, tmp_path, capsys):
    folder, phases, _ = coded
    code, out, err = run(capsys, "analyse", folder, "--phases", phases, "--every", "1s", "--out", tmp_path / "a")
    assert code == 0
    assert "analyse" in err and "7/7" in err and "frame/s" in err and "reading files" in err
    assert out.splitlines()[0].endswith("areas.csv: 7 frames, every 1 s from 0:00 to 0:06")
    log = (tmp_path / "a" / "toolkit-output.txt").read_text()
    # Each worker's reader printed its cumulative frame table and its frame numbers, untouched.
    assert "[  0  60 105 175]" in log or "[  0   0  45 115]" in log
    assert "\n25.0\n" in log and "25.0" not in out
    code, out, err = run(capsys, "analyse", folder, "--phases", phases, "--every", "1s", "--out", tmp_path / "b",
                         "--quiet", "--no-overlays")
    assert code == 0 and err == "" and "areas.csv: 7 frames" in out
    assert not (tmp_path / "b" / "overlays").exists() and {r["overlay"] for r in read_table(tmp_path / "b")} == {""}


@pytest.mark.parametrize("options, expected", [
    (["--every", "5x"], "--every '5x' is not a time"),
    (["--every", "0s"], "longer than zero"),
    (["--every", "10ms"], "shorter than one frame"),
    (["--every", "1s", "--from", "0:75"], "the seconds (75) must be below 60"),
    (["--every", "1s", "--from", "9:00"], "after the end of the recording (0:07)"),
    (["--every", "1s", "--from", "0:03", "--to", "0:01"], "--to 0:01 is before --from 0:03"),
    (["--every", "1s", "--roi", "100,100,100,50"], "outside the 160x120 frame"),
    (["--every", "1s", "--roi", "1,2,3"], "four whole numbers"),
    (["--every", "1s", "--roi", "1,2,3,4", "--roi-mask", "m.png"], "not allowed with argument"),
    (["--every", "1s", "--roi-mask", "missing.png"], "--roi-mask: no such file"),
    (["--every", "1s", "--scale", "-1"], "--scale '-1' must be a positive number"),
    (["--every", "1s", "--rate", "fast"], "--rate 'fast' is not a number (ml/min)"),
    (["--every", "1s", "--jobs", "0"], "--jobs 0: give at least 1"),
    (["--from", "0:01"], "the following arguments are required: --every"),
])
def test_bad_options_are_refused_clearly(coded, tmp_path, capsys, options, expected):
    folder, phases, _ = coded
    code, _, err = run(capsys, "analyse", folder, "--phases", phases, "--out", tmp_path / "out", *options)
    assert code == 2 and expected in err and "Traceback" not in err


def test_bad_sources_are_refused_clearly(coded, tmp_path, capsys):
    folder, phases, _ = coded
    (tmp_path / "empty").mkdir()
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / "00000.MTS").write_bytes(b"not a video" * 100)
    cv2.imwrite(str(tmp_path / "small.png"), np.zeros((10, 10, 3), np.uint8))
    for source, extra, expected in [
            (tmp_path / "missing", [], "no such file or folder"),
            (tmp_path / "empty", [], "no video files in"),
            (tmp_path / "broken", [], "not a video file that can be read"),
            (folder, ["--pattern", "*.mp4"], "no file in"),
            (folder, ["--roi-mask", tmp_path / "small.png"], "the mask must have the frames' size")]:
        code, _, err = run(capsys, "analyse", source, "--phases", phases, "--every", "1s", "--out",
                           tmp_path / "out", *extra)
        assert code == 2 and expected in err, err


def test_info_lists_the_files_their_frames_and_the_gaps(coded, tmp_path, capsys):
    folder, _, _ = coded
    mixed = tmp_path / "mixed"
    shutil.copytree(folder, mixed)
    samples.write_video(mixed / "X10.mp4", 10)  # another program's output beside the camcorder's files
    code, out, err = run(capsys, "info", mixed)
    assert code == 0
    lines = out.splitlines()
    assert lines[0].split() == ["file", "frames", "fps", "duration", "size", "recording", "start", "from", "file",
                                "time"]
    for line, count in zip(lines[1:4], COUNTS):
        fields = line.split()
        assert fields[1:5] == [str(count), "25", "0:" + f"{count / 25:05.2f}".removesuffix(".00"), "160x120"]
        assert fields[6] == "file"  # generated files carry no camcorder or container clock
    assert "recording: 3 files, 175 frames, 0:07 of video" in out
    assert "00000.MTS -> 00001.MTS:" in out and "00001.MTS -> 00002.MTS:" in out
    assert "not part of the recording" in out and "X10.mp4" in out
    assert "reading files" in err


def test_the_camcorder_clock_stamps_the_table(tmp_path, capsys):
    av.encode_base(tmp_path / "base.264", 3)  # 3 GOPs: 1.2 s per file
    base = (tmp_path / "base.264").read_bytes()
    start, zone = datetime(2024, 5, 5, 14, 5, 0), av.tz_byte(60)
    folder = tmp_path / "card"
    folder.mkdir()
    av.write_avchd(folder / "00000.MTS", base, av.gop_clocks(start, 3, zone))
    later = av.gop_clocks(start + timedelta(seconds=3), 3, zone)
    later[2] = (later[2][0] - timedelta(days=1), zone)  # one GOP's clock a day off: warned of, not raised
    av.write_avchd(folder / "00001.MTS", base, later)
    code, out, _ = run(capsys, "info", folder)
    assert code == 0
    assert [line.split()[5:7] for line in out.splitlines()[1:3]] == [["14:05:00", "avchd"], ["14:05:03", "avchd"]]
    assert "00000.MTS -> 00001.MTS: gap of 1.80 s" in out and "(span 0:04.20)" in out
    assert [line for line in out.splitlines() if line.startswith("00001.MTS: ") and "later GOPs read disagree" in line]

    (tmp_path / "any.toml").write_text('[[phase]]\nname = "any"\nranges = [[[0, 0, 0], [179, 255, 255]]]\n')
    code, _, err = run(capsys, "analyse", folder, "--phases", tmp_path / "any.toml", "--every", "0.4s",
                       "--out", tmp_path / "out")
    assert code == 0 and "fluidlab: 00001.MTS: " in err and "later GOPs read disagree" in err
    rows = read_table(tmp_path / "out")
    assert [r["clock time"] for r in rows] == ["14:05:00.00", "14:05:00.40", "14:05:00.80",
                                               "14:05:03.00", "14:05:03.40", "14:05:03.80"]
    assert [float(r["elapsed s"]) for r in rows] == pytest.approx([0, 0.4, 0.8, 1.2, 1.6, 2.0])
    assert {r["any px"] for r in rows} == {str(64 * 48)}


def test_timelapse_takes_every_step_across_the_files(coded, tmp_path, capsys):
    folder, _, frames = coded
    code, out, err = run(capsys, "timelapse", folder, "--every", "0.4s", "--out", tmp_path / "plain.mp4")
    assert code == 0 and "18 frames" in out and "timelapse" in err
    assert (tmp_path / "plain-toolkit-output.txt").read_text().startswith("[  0  60 105 175]\n")
    got = [samples.read_index(f) for f in samples.read_frames(tmp_path / "plain.mp4")]
    positions = range(0, sum(COUNTS), 10)
    expected = []
    for p in positions:
        k = 0
        while p >= COUNTS[k]:
            p, k = p - COUNTS[k], k + 1
        expected.append((k, p))
    assert got == expected

    code, out, err = run(capsys, "timelapse", folder, "--every", "0.4s", "--clock", "--out",
                         tmp_path / "clock.mp4", "-q")
    assert code == 0 and "18 frames" in out and err == ""
    plain, clock = samples.read_frames(tmp_path / "plain.mp4"), samples.read_frames(tmp_path / "clock.mp4")
    assert len(clock) == 18
    for a, b in zip(plain, clock):
        assert np.abs(a[:60].astype(int) - b[:60]).mean() < 3  # the picture is the same ...
        assert np.abs(a[-20:].astype(int) - b[-20:]).mean() > 8  # ... with the clock written at the bottom


def test_the_console_command_and_the_module(coded, tmp_path):
    folder, _, _ = coded
    script = os.path.join(os.path.dirname(sys.executable), "fluidlab")
    done = subprocess.run([script, "info", folder, "-q"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "175 frames" in done.stdout and done.stderr == ""
    done = subprocess.run([sys.executable, "-m", "fluidlab", "analyse", folder], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and "the following arguments are required: --phases" in done.stderr
