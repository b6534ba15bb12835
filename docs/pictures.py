"""Makes the README's pictures of the fluidlab command from `make run`'s output.

    .venv/bin/python docs/pictures.py

docs/areas.png (demo/analysis/areas.png), docs/overlay.png (one overlay,
half size), docs/timelapse.png (a frame of demo/timelapse.mp4, half size) and
docs/pick.png (the picker's window on the recording at 1:35 after six
clicks on the oil, on a virtual screen; needs Xvfb and xdotool).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "examples"))
sys.path.insert(0, ROOT)

import main_job  # noqa: E402
from virtual_screen import VirtualScreen, wait_until  # noqa: E402


def half(image):
    return cv2.resize(image, (image.shape[1] // 2, image.shape[0] // 2), interpolation=cv2.INTER_AREA)


def picker_window(path):
    import experiment
    import numpy as np

    from fluidlab.pick import load_frame
    source = f"{main_job.VIDEO_FOLDER}:1:35"
    frame = load_frame(source)
    # Six pixels well inside the oil at 1:35, from the generator's truth.
    oil = cv2.erode(experiment.video_experiment().oil_mask(95.0).view(np.uint8), np.ones((9, 9), np.uint8))
    ys, xs = np.nonzero(oil)
    picks = [(int(xs[k]), int(ys[k])) for k in np.linspace(0, len(xs) - 1, 8).astype(int)[1:7]]
    screen = VirtualScreen()
    try:
        with tempfile.TemporaryDirectory() as scratch:
            process = subprocess.Popen([sys.executable, "-m", "fluidlab", "pick", source, "--out",
                                        os.path.join(scratch, "phases.toml")], cwd=ROOT, env=screen.env)

            def shown():
                for window in screen.windows("fluidlab pick"):
                    at = screen.locate(frame, window)
                    if at:
                        return window, at
            window, (x, y) = wait_until(shown, "the picker")
            screen.xdotool("windowfocus", window)
            screen.xdotool("key", "n")
            screen.xdotool("type", "--delay", "200", "oil")
            screen.xdotool("key", "Return")
            for px, py in picks:
                screen.xdotool("mousemove", x + px, y + py, "click", 1)
            time.sleep(1.5)
            geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)], env=screen.env,
                                      capture_output=True, text=True, check=True).stdout
            box = dict(line.split("=") for line in geometry.split())
            left, top, w, h = (int(box[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            cv2.imwrite(path, half(screen.grab()[top:top + h, left:left + w]))
            screen.xdotool("key", "Escape")
            process.wait(30)
    finally:
        screen.close()


def main():
    analysis = main_job.ANALYSIS
    shutil.copy(os.path.join(analysis, "areas.png"), os.path.join(HERE, "areas.png"))
    overlay = cv2.imread(os.path.join(analysis, "overlays", "00001_000750.png"))
    cv2.imwrite(os.path.join(HERE, "overlay.png"), half(overlay))
    capture = cv2.VideoCapture(main_job.TIMELAPSE)
    for _ in range(60):
        ok, frame = capture.read()
    capture.release()
    cv2.imwrite(os.path.join(HERE, "timelapse.png"), half(frame))
    picker_window(os.path.join(HERE, "pick.png"))
    for name in ("areas.png", "overlay.png", "timelapse.png", "pick.png"):
        print(f"docs/{name}  {os.path.getsize(os.path.join(HERE, name)) / 1e3:.0f} kB")


if __name__ == "__main__":
    main()
