"""The type stubs agree with the built modules (mypy's stubtest: every public
name, every parameter's name, kind and default) and are installed as
stub-only packages."""
import os
import subprocess
import sys
import sysconfig

import pytest
from conftest import write_drive_root

STUBS = os.path.join(os.path.dirname(__file__), os.pardir, "stubs")
MODULES = ["Hollark", "Wendrel", "Tessil", "Dravio", "Rimwell", "Tavelin", "Orbisk"]


def test_stubtest_finds_the_stubs_true_to_the_modules(tmp_path):
    write_drive_root(tmp_path / "drives")  # importing Orbisk runs its batch job
    environment = dict(os.environ, ORBISK_DRIVE_ROOT=str(tmp_path / "drives"), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.path.join(STUBS, "stubtest.ini"),
         "--allowlist", os.path.join(STUBS, "stubtest-allowlist.txt"), *MODULES],
        cwd=tmp_path, env=environment, capture_output=True, text=True)
    report = "\n".join(line for line in result.stdout.splitlines() if not line.startswith(("[", "t=")))
    assert result.returncode == 0, report


@pytest.mark.parametrize("name", MODULES)
def test_stubs_are_installed_as_stub_packages(name):
    package = os.path.join(sysconfig.get_paths()["purelib"], f"{name}-stubs")
    with open(os.path.join(package, "__init__.pyi"), encoding="utf-8") as installed, \
            open(os.path.join(STUBS, f"{name}.pyi"), encoding="utf-8") as source:
        assert installed.read() == source.read()
    assert os.path.exists(os.path.join(package, "py.typed"))
