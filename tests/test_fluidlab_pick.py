"""fluidlab pick: the HSV range picker, driven with real clicks and keys in its window
on a virtual screen (see virtual_screen.py)."""
import os
import subprocess
import sys
import tomllib

import cv2
import numpy as np
import pytest
import samples
from virtual_screen import TIMEOUT, wait_until

from fluidlab.cli import main

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ORANGE, PATCH, BLUE = (30, 100, 220), (40, 110, 230), (200, 80, 20)


def two_colours():
    image = np.zeros((120, 200, 3), np.uint8)
    image[:, :100], image[:, 100:] = ORANGE, BLUE
    image[10:20, 10:20] = PATCH
    return image


def hsv(bgr):
    return [int(v) for v in cv2.cvtColor(np.uint8([[bgr]]), cv2.COLOR_BGR2HSV)[0, 0]]


class Pick:
    """`fluidlab pick SOURCE --out OUT` in a child process, its window found on the
    screen by the frame it shows."""

    def __init__(self, screen, source, out, shown):
        self.screen, self.shown = screen, shown
        self.process = subprocess.Popen([sys.executable, "-m", "fluidlab", "pick", str(source), "--out", str(out)],
                                        cwd=REPOSITORY, env=screen.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)

        def found():
            if self.process.poll() is not None:
                raise AssertionError("the picker ended early: " + "".join(self.process.communicate()))
            for window in screen.windows("fluidlab pick"):
                at = screen.locate(shown, window)
                if at:
                    return window, at
        window, self.at = wait_until(found, "the picker's window")
        screen.xdotool("windowfocus", window)

    def click(self, x, y):
        self.screen.xdotool("mousemove", self.at[0] + x, self.at[1] + y, "click", 1)

    def keys(self, *names):
        for name in names:
            self.screen.xdotool("key", name)

    def showing(self):
        height, width = self.shown.shape[:2]
        x, y = self.at
        return self.screen.grab()[y:y + height, x:x + width]

    def finish(self):
        try:
            out, err = self.process.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("the picker did not end") from None
        assert self.process.returncode == 0, err
        return out, err


@pytest.fixture
def picks(screen):
    started = []

    def start(source, out, shown):
        started.append(Pick(screen, source, out, shown))
        return started[-1]

    yield start
    for pick in started:
        if pick.process.poll() is None:
            pick.process.kill()
            pick.process.communicate()


def test_clicks_widen_the_range_keys_add_name_and_save(picks, tmp_path):
    image = two_colours()
    cv2.imwrite(str(tmp_path / "frame.png"), image)
    out = tmp_path / "phases.toml"
    pick = picks(tmp_path / "frame.png", out, image)
    pick.click(50, 50)
    pick.click(15, 15)
    # The preview tints the orange (both shades) in the phase's colour; the blue stays.
    wait_until(lambda: (lambda s: np.abs(s[30:, :100].astype(int) - image[30:, :100]).mean() > 20 and
                        np.array_equal(s[:, 100:], image[:, 100:]))(pick.showing()), "the live preview")
    pick.keys("n")
    pick.screen.xdotool("type", "oil")
    pick.keys("Return", "a")
    pick.click(150, 60)
    pick.keys("p")
    pick.click(150, 60)
    pick.keys("p", "q")  # the third phase has no range yet: it is not saved
    out_text, _ = pick.finish()
    assert "2 phases (oil, phase 2)" in out_text
    oil, second = tomllib.loads(out.read_text())["phase"]
    low = [min(a, b) for a, b in zip(hsv(ORANGE), hsv(PATCH))]
    high = [max(a, b) for a, b in zip(hsv(ORANGE), hsv(PATCH))]
    assert oil["name"] == "oil" and oil["ranges"] == [[low, high], [hsv(BLUE), hsv(BLUE)]]
    assert oil["formula"] == "=0+1"
    assert second["name"] == "phase 2" and second["ranges"] == [[hsv(BLUE), hsv(BLUE)]] and second["formula"] == "=0"


def test_an_existing_file_is_the_start_and_esc_leaves_it(picks, tmp_path):
    image = two_colours()
    cv2.imwrite(str(tmp_path / "frame.png"), image)
    out = tmp_path / "phases.toml"
    out.write_text('[[phase]]\nname = "green"\nranges = [[[50, 50, 50], [70, 255, 255]]]\n')
    pick = picks(tmp_path / "frame.png", out, image)  # nothing green: the frame shows untinted
    pick.keys("p")
    pick.click(150, 60)
    pick.keys("s")
    wait_until(lambda: len(tomllib.loads(out.read_text())["phase"]) == 2, "the save")
    pick.click(50, 50)  # a change after the save ...
    pick.keys("Escape")  # ... dropped on leaving with Esc
    _, err = pick.finish()
    assert "quit without saving" in err
    green, new = tomllib.loads(out.read_text())["phase"]
    assert green["ranges"] == [[[50, 50, 50], [70, 255, 255]]] and new["ranges"] == [[hsv(BLUE), hsv(BLUE)]]


def test_a_video_is_shown_at_the_time_given(picks, tmp_path):
    paths = samples.write_recording(tmp_path / "videos", [30, 30], ".MTS")
    frame = samples.read_frames(paths[1])[5]  # 1.4 s: frame 5 of the second file
    pick = picks(f"{tmp_path / 'videos'}:0:01.4", tmp_path / "phases.toml", frame)
    pick.keys("Escape")
    pick.finish()
    assert not (tmp_path / "phases.toml").exists()


def test_sources_it_cannot_show(tmp_path, capsys, monkeypatch):
    cv2.imwrite(str(tmp_path / "frame.png"), two_colours())
    samples.write_recording(tmp_path / "videos", [30], ".MTS")
    out = str(tmp_path / "phases.toml")
    for source, expected in [(tmp_path / "missing.png", "no such file or folder"),
                             (f"{tmp_path / 'frame.png'}:0:05", "is an image: a time (0:05) is only for videos"),
                             (f"{tmp_path / 'videos'}:0:05", "0:05 is after the end of"),
                             (f"{tmp_path / 'videos'}:0:9x", "is not a time")]:
        assert main(["pick", str(source), "--out", out]) == 2
        assert expected in capsys.readouterr().err
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    assert main(["pick", str(tmp_path / "frame.png"), "--out", out]) == 2
    assert "there is no display" in capsys.readouterr().err and not os.path.exists(out)
