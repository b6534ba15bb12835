"""A virtual X screen (Xvfb) for the window tests, and a picker run in a child process
on it, driven with xdotool and watched through screen grabs.

The picker runs in a child process so that each run gets a fresh Qt and the test
process never opens a window itself. The child reports its outcome in a pickle:
the result (or the error), whether the caller's image is unchanged, whether the
window is gone, and whether another Python thread kept running while it waited.
"""
import ctypes
import ctypes.util
import os
import pickle
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

TIMEOUT = 15.0  # seconds to wait for a window to appear, a redraw or the child to end

# Runs in the child: argv = folder (image.npy in, outcome.pickle out), call, runs.
CHILD = r"""
import os, pickle, sys, threading, time
import numpy as np
import cv2
folder, call, runs = sys.argv[1:4]
image = np.load(os.path.join(folder, "image.npy"))
original = image.copy()
outcome = {"results": []}

def pick():
    if call == "picker":
        import Rimwell
        return Rimwell.ContoursFilterByMouse(image)
    if call == "concurrent":  # a second picker while one is open in another thread
        import Rimwell
        first = []
        thread = threading.Thread(target=lambda: first.append(Rimwell.ContoursFilterByMouse(image)))
        thread.start()
        while not os.path.exists(os.path.join(folder, "go")):
            time.sleep(0.01)
        try:
            Rimwell.ContoursFilterByMouse(image)
        except RuntimeError as error:
            outcome["second"] = str(error)
        open(os.path.join(folder, "second"), "w").close()
        thread.join()
        return first[0]
    import Tavelin
    if call == "mask":
        return Tavelin.Rimwell(image)
    capture = Tavelin.Capture(0, 2, 1500, [10, 5, 30], 0.5)
    capture.GetFrame(image)
    capture.Rimwell()
    return capture.PhaseNum, capture.Phase_frames, capture.Phase_frames_names

# Another Python thread that must keep running while the picker waits: it
# leaves the file "ticking" once it has run 20 times.
done = threading.Event()
def tick():
    for n in range(1, 1000000):
        if done.wait(0.01):
            return
        if n == 20:
            open(os.path.join(folder, "ticking"), "w").close()
threading.Thread(target=tick, daemon=True).start()

try:
    for _ in range(int(runs)):
        outcome["results"].append(pick())
except BaseException as error:
    outcome["error"] = type(error).__module__ + "." + type(error).__qualname__
done.set()
try:
    outcome["window_left"] = cv2.getWindowProperty("Image", cv2.WND_PROP_VISIBLE) > 0
except cv2.error:  # the last window was destroyed: no GUI left at all
    outcome["window_left"] = False
outcome["unchanged"] = np.array_equal(image, original) and image.dtype == original.dtype
with open(os.path.join(folder, "outcome.pickle"), "wb") as file:
    pickle.dump(outcome, file)
"""


class _XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _libx11():
    x = ctypes.CDLL(ctypes.util.find_library("X11"))
    signatures = {
        "XOpenDisplay": (ctypes.c_void_p, [ctypes.c_char_p]),
        "XCloseDisplay": (ctypes.c_int, [ctypes.c_void_p]),
        "XDefaultRootWindow": (ctypes.c_ulong, [ctypes.c_void_p]),
        "XDisplayWidth": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
        "XDisplayHeight": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
        "XGetImage": (ctypes.POINTER(_XImage), [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]),
        "XDestroyImage": (ctypes.c_int, [ctypes.POINTER(_XImage)]),
        "XInternAtom": (ctypes.c_ulong, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]),
        "XSendEvent": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                      ctypes.POINTER(_XEvent)]),
        "XFlush": (ctypes.c_int, [ctypes.c_void_p]),
    }
    for name, (result, arguments) in signatures.items():
        getattr(x, name).restype = result
        getattr(x, name).argtypes = arguments
    return x


class VirtualScreen:
    """An Xvfb server on a free display, with screen grabs and window-manager
    close requests through libX11, and input through xdotool."""

    def __init__(self):
        read, write = os.pipe()
        # -noreset: the server would otherwise reset whenever its last client
        # leaves, and refuse the clients that connect meanwhile.
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1600x1000x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as announced:
            number = announced.readline().strip()  # written once the server accepts clients
        if not number:
            self.server.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb")
        self.x = _libx11()

    def close(self):
        self.server.terminate()
        self.server.wait(TIMEOUT)

    def grab(self):
        """The whole screen as a BGR image."""
        display = self.x.XOpenDisplay(self.name.encode())
        try:
            width, height = self.x.XDisplayWidth(display, 0), self.x.XDisplayHeight(display, 0)
            image = self.x.XGetImage(display, self.x.XDefaultRootWindow(display), 0, 0, width, height,
                                     0xFFFFFFFF, 2)  # all planes, ZPixmap
            try:
                info = image.contents
                assert info.bits_per_pixel == 32 and info.byte_order == 0  # BGRX, least significant first
                pixels = np.ctypeslib.as_array(info.data, shape=(info.height, info.bytes_per_line))
                return pixels[:, :info.width * 4].reshape(info.height, info.width, 4)[:, :, :3].copy()
            finally:
                self.x.XDestroyImage(image)
        finally:
            self.x.XCloseDisplay(display)

    def locate(self, image, window):
        """The screen position of the top-left pixel of `image` shown 1:1 in
        `window`, or None."""
        found = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)], env=self.env,
                               capture_output=True, text=True, timeout=TIMEOUT)
        geometry = dict(line.split("=") for line in found.stdout.split())
        if found.returncode != 0 or not geometry:
            return None
        left, top = max(int(geometry["X"]), 0), max(int(geometry["Y"]), 0)
        shot = self.grab()[top:top + int(geometry["HEIGHT"]), left:left + int(geometry["WIDTH"])]
        height, width = image.shape[:2]
        if shot.shape[0] < height or shot.shape[1] < width:
            return None
        # The best match, then an exact comparison (the score itself carries rounding).
        x, y = cv2.minMaxLoc(cv2.matchTemplate(shot, image, cv2.TM_SQDIFF))[2]
        return (left + x, top + y) if np.array_equal(shot[y:y + height, x:x + width], image) else None

    def shows(self, image, at):
        x, y = at
        height, width = image.shape[:2]
        return np.array_equal(self.grab()[y:y + height, x:x + width], image)

    def xdotool(self, *arguments):
        subprocess.run(["xdotool", *map(str, arguments)], env=self.env, check=True, timeout=TIMEOUT)

    def windows(self, name):
        found = subprocess.run(["xdotool", "search", "--name", f"^{name}$"], env=self.env,
                               capture_output=True, text=True, timeout=TIMEOUT)
        return [int(line) for line in found.stdout.split()]

    def request_close(self, window):
        """What a window manager sends when the user closes a window: the
        WM_DELETE_WINDOW client message of the WM_PROTOCOLS protocol."""
        display = self.x.XOpenDisplay(self.name.encode())
        try:
            event = _XEvent()
            message = event.xclient
            message.type = 33  # ClientMessage
            message.window = window
            message.message_type = self.x.XInternAtom(display, b"WM_PROTOCOLS", 0)
            message.format = 32
            message.data[0] = self.x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            message.data[1] = 0  # CurrentTime
            assert self.x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
            self.x.XFlush(display)
        finally:
            self.x.XCloseDisplay(display)


@pytest.fixture(scope="module")
def screen():
    virtual = VirtualScreen()
    yield virtual
    virtual.close()


def wait_until(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def outlines_of(image):
    """The outlines the picker offers for `image`, from cv2 directly."""
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    binary = cv2.threshold(grey, 127, 255, cv2.THRESH_BINARY)[1]
    return cv2.findContours(binary, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_SIMPLE)[0]


class PickerRun:
    """One picking call (`call`: "picker", "concurrent", "mask" or "capture", made
    `runs` times) in a child process showing `image` on `screen`.

    `shown` is what the window should show: the image with every outline in
    red, then each accepted click in blue and its outline in green, as drawn
    here with cv2 directly. Creating the run waits until the window shows it."""

    def __init__(self, screen, folder, image, call="picker", runs=1, env=None):
        self.screen, self.image = screen, image
        self.folder = folder
        np.save(folder / "image.npy", image)
        self.process = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(folder), call, str(runs)],
            env=screen.env if env is None else env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.outlines = outlines_of(image) if image.ndim == 3 else ()
        self.shown = image.copy()
        self.at = None

    def wait_shown(self):
        """Waits until the window shows `shown` (at first: finds it on the screen)."""
        if self.at is None:
            if self.image.ndim == 3:
                cv2.drawContours(self.shown, self.outlines, -1, (0, 0, 255), 3)
            def found():
                self.running()
                for window in self.screen.windows("Image"):  # a closed one may linger a moment
                    at = self.screen.locate(self.shown, window)
                    if at:
                        return window, at
            window, self.at = wait_until(found, "the picker's window")
            # Bare Xvfb has no window manager to give the new window the keyboard.
            self.screen.xdotool("windowfocus", window)
        else:
            wait_until(lambda: self.screen.shows(self.shown, self.at), "the window to be redrawn")
        return self

    def running(self):
        if self.process.poll() is not None:
            raise AssertionError("the picker ended early: " + self.process.communicate()[0].decode(errors="replace"))
        return True

    def click(self, x, y, button=1):
        self.screen.xdotool("mousemove", self.at[0] + x, self.at[1] + y, "click", button)

    def picked(self, x, y, index):
        """Records what a left click at (x, y) picking outline `index` draws."""
        cv2.circle(self.shown, (x, y), 1, (255, 0, 0), -1)
        cv2.drawContours(self.shown, self.outlines, index, (0, 255, 0), 3)

    def key(self, name):
        self.screen.xdotool("key", name)

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def finish(self):
        """The child's outcome, once it has ended by itself."""
        try:
            output = self.process.communicate(timeout=TIMEOUT)[0]
        except subprocess.TimeoutExpired as timeout:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("the picker did not return") from timeout
        assert self.process.returncode == 0, output.decode(errors="replace")
        with open(self.folder / "outcome.pickle", "rb") as file:
            return pickle.load(file)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


@pytest.fixture
def start_picker(screen, tmp_path):
    """start_picker(image, call="picker", runs=1, env=None) -> PickerRun; the child is
    killed at the end of the test if it still runs."""
    started = []

    def start(image, call="picker", runs=1, env=None):
        folder = tmp_path / f"run{len(started)}"
        folder.mkdir()
        started.append(PickerRun(screen, folder, image, call, runs, env))
        return started[-1]

    yield start
    for run in started:
        run.kill()
