import os
import sys

import pytest

# The sample-recording generator is shared with the examples.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))

import samples  # noqa: E402


@pytest.fixture(scope="session")
def recordings(tmp_path_factory):
    """Small index-carrying recordings of three files (60, 45 and 70 frames at 25 fps,
    160x120) in each container: {".avi": [paths], ".MTS": [...], ".mp4": [...]}."""
    root = tmp_path_factory.mktemp("recordings")
    return {extension: samples.write_recording(root / extension.strip("."), [60, 45, 70], extension)
            for extension in (".avi", ".MTS", ".mp4")}
