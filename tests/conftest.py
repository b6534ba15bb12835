import os
import sys

import pytest

# The sample-recording generator is shared with the examples.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))

import samples  # noqa: E402

# The virtual screen and the picker runner of the window tests.
pytest_plugins = ["virtual_screen"]


@pytest.fixture(scope="session")
def recordings(tmp_path_factory):
    """Small index-carrying recordings of three files (60, 45 and 70 frames at 25 fps,
    160x120) in each container: {".avi": [paths], ".MTS": [...], ".mp4": [...]}."""
    root = tmp_path_factory.mktemp("recordings")
    return {extension: samples.write_recording(root / extension.strip("."), [60, 45, 70], extension)
            for extension in (".avi", ".MTS", ".mp4")}


def write_drive_root(root):
    """The batch driver's two data folders under `root`, with a small recording
    (three .MTS files of 60 frames) and three .tiff stills of 1100x700."""
    videos = root / "i" / "Water Porous(Repaired-指示剂更正)" / "Water 1mm(40ml瓶×2)-2"
    stills = root / "f" / "Ca(OH)2 Sensitive Experiments" / "5MPa" / "5MPa+3mm-1"
    samples.write_recording(videos, [60, 60, 60], ".MTS")
    images = [samples.frame_image(k, 7, size=(1100, 700)) for k in range(3)]
    samples.write_image_folder(stills, images, [f"s{k}.tiff" for k in range(3)])
    return videos, stills


@pytest.fixture(scope="session")
def orbisk(tmp_path_factory):
    """Module Orbisk, imported once with its driver run on a small drive root."""
    root = tmp_path_factory.mktemp("drives")
    write_drive_root(root)
    previous = os.environ.get("ORBISK_DRIVE_ROOT")
    os.environ["ORBISK_DRIVE_ROOT"] = str(root)
    try:
        import Orbisk
    finally:
        if previous is None:
            del os.environ["ORBISK_DRIVE_ROOT"]
        else:
            os.environ["ORBISK_DRIVE_ROOT"] = previous
    return Orbisk
