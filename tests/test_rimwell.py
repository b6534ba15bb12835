"""Rimwell's contour picker, driven with real mouse clicks and keys in its window on a
virtual screen."""
import inspect
import os

import cv2
import numpy as np
import pytest
import Rimwell
import Tavelin
from virtual_screen import wait_until

WHITE = (255, 255, 255)


def shapes():
    """A large region with a hole, and two small squares to its right."""
    image = np.full((160, 240, 3), (40, 60, 30), np.uint8)
    cv2.rectangle(image, (20, 20), (140, 140), WHITE, -1)
    cv2.rectangle(image, (95, 70), (110, 85), (0, 0, 90), -1)  # the hole
    cv2.rectangle(image, (170, 30), (189, 49), WHITE, -1)
    cv2.rectangle(image, (170, 100), (189, 119), (200, 220, 240), -1)
    return image


def index_of(outlines, rectangle):
    """The index of the outline whose bounding box is `rectangle` (x, y, w, h)."""
    [index] = [i for i, outline in enumerate(outlines) if cv2.boundingRect(outline) == rectangle]
    return index


def assert_outlines(result, expected):
    assert type(result) is list and len(result) == len(expected)
    for got, want in zip(result, expected):
        assert got.dtype == np.int32 and got.shape == want.shape and np.array_equal(got, want)


def test_module_names_and_signature():
    assert inspect.signature(Rimwell.ContoursFilterByMouse) == inspect.Signature(
        [inspect.Parameter("images", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    assert Rimwell.cv2 is cv2 and Rimwell.copy.__name__ == "copy" and Rimwell.time.__name__ == "time"
    assert Tavelin.ContoursFilterByMouse is Rimwell.ContoursFilterByMouse
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'images'"):
        Rimwell.ContoursFilterByMouse()
    with pytest.raises(TypeError, match="data type"):  # refused before any window opens
        Rimwell.ContoursFilterByMouse(np.zeros((4, 4, 3), np.int64))


def test_clicks_pick_the_outline_with_the_nearest_edge(start_picker):
    image = shapes()
    run = start_picker(image).wait_shown()
    outlines = run.outlines
    hole = index_of(outlines, (94, 69, 18, 18))
    upper = index_of(outlines, (170, 30, 20, 20))
    # Inside the large region, 52 pixels from its own edge but 6 from the hole's.
    assert cv2.pointPolygonTest(outlines[index_of(outlines, (20, 20, 121, 121))], (88, 78), True) == 52
    for x, y, index in [(88, 78, hole), (160, 40, upper), (178, 60, upper)]:
        run.click(x, y)
        run.picked(x, y, index)
    run.wait_shown()  # each pick in green, each click point in blue, over the red outlines
    run.key("Return")
    outcome = run.finish()
    [result] = outcome["results"]
    assert_outlines(result, [outlines[hole], outlines[upper], outlines[upper]])
    assert result[1] is result[2]  # the one candidate, picked twice
    assert outcome["unchanged"] and not outcome["window_left"]


def test_ties_go_to_the_earlier_outline(start_picker):
    image = np.zeros((100, 160, 3), np.uint8)
    cv2.rectangle(image, (40, 40), (60, 60), WHITE, -1)
    cv2.rectangle(image, (100, 40), (120, 60), WHITE, -1)
    run = start_picker(image).wait_shown()
    outlines = run.outlines
    assert len(outlines) == 2
    assert cv2.pointPolygonTest(outlines[0], (80, 50), True) == cv2.pointPolygonTest(outlines[1], (80, 50), True)
    run.click(80, 50)
    run.key("Return")
    [result] = run.finish()["results"]
    assert_outlines(result, [outlines[0]])


def test_right_clicks_moves_and_other_keys_change_nothing(start_picker):
    run = start_picker(shapes()).wait_shown()
    lower = index_of(run.outlines, (170, 100, 20, 20))
    run.screen.xdotool("mousemove", run.at[0] + 100, run.at[1] + 30, "mousemove", run.at[0] + 5, run.at[1] + 5)
    run.key("Escape")
    run.key("a")
    run.click(160, 40, button=3)  # opens the window's context menu ...
    run.key("Escape")             # ... which this Escape closes
    run.click(200, 125)
    run.picked(200, 125, lower)
    run.wait_shown()  # only the left click was drawn, and the picker still waits
    assert run.running()
    run.key("KP_Enter")  # the keypad's Enter is key code 13 as well
    outcome = run.finish()
    assert_outlines(outcome["results"][0], [run.outlines[lower]])


def test_enter_at_once_gives_no_outline_and_other_threads_keep_running(start_picker):
    run = start_picker(shapes()).wait_shown()
    # A thread of the child runs while the picker waits in C++.
    wait_until((run.folder / "ticking").exists, "the child's other thread")
    run.key("Return")
    outcome = run.finish()
    assert outcome["results"] == [[]] and not outcome["window_left"] and outcome["unchanged"]


def test_an_image_without_bright_pixels_has_nothing_to_pick(start_picker):
    y, x = np.mgrid[0:90, 0:120]
    image = np.dstack([(x + y) % 128, x, y]).astype(np.uint8)  # distinctive, but grey <= 127 everywhere
    run = start_picker(image).wait_shown()
    run.click(30, 30)
    run.click(60, 45)
    run.key("Return")
    assert run.finish()["results"] == [[]]


def test_closing_the_window_returns_the_picks_so_far(start_picker):
    image = shapes()
    run = start_picker(image, runs=2).wait_shown()
    upper = index_of(run.outlines, (170, 30, 20, 20))
    run.click(180, 20)
    run.picked(180, 20, upper)
    run.wait_shown()
    [window] = run.screen.windows("Image")
    run.screen.request_close(window)
    wait_until(lambda: window not in run.screen.windows("Image"), "the closed window to go")
    # The second call opens the window again: closing it left nothing behind.
    run.shown, run.at = image.copy(), None
    run.wait_shown()
    run.key("Return")
    outcome = run.finish()
    first, second = outcome["results"]
    assert_outlines(first, [run.outlines[upper]])
    assert second == [] and not outcome["window_left"]


def test_ctrl_c_interrupts_the_wait_and_closes_the_window(start_picker):
    run = start_picker(shapes()).wait_shown()
    run.click(180, 20)
    run.interrupt()
    outcome = run.finish()
    assert outcome["error"] == "builtins.KeyboardInterrupt" and outcome["results"] == []
    assert not outcome["window_left"]


def test_a_second_picker_while_one_is_open_is_refused(start_picker):
    run = start_picker(shapes(), call="concurrent").wait_shown()
    (run.folder / "go").touch()
    wait_until((run.folder / "second").exists, "the second call to return")
    run.click(180, 20)
    run.key("Return")
    outcome = run.finish()
    assert outcome["second"] == "a contour picker is already open"
    assert_outlines(outcome["results"][0], [run.outlines[index_of(run.outlines, (170, 30, 20, 20))]])


def test_a_single_channel_image_fails_with_opencvs_error(start_picker):
    run = start_picker(np.zeros((40, 60), np.uint8))
    outcome = run.finish()
    assert outcome["error"] == "cv2.error" and not outcome["window_left"]


def test_no_display_is_an_error_not_a_crash(start_picker):
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    outcome = start_picker(shapes(), env=environment).finish()
    assert outcome["error"] == "builtins.RuntimeError"
