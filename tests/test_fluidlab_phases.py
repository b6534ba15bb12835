"""PHASES.toml: what loads, what is refused and with which message, and the round trip."""
import tomllib

import pytest

from fluidlab.cli import main
from fluidlab.errors import FluidlabError
from fluidlab.phases import dumps_phases, load_phases, parse_phases

GOOD = """
[[phase]]
name = "oil"
ranges = [[[3, 100, 105], [25, 255, 255]]]
formula = "=0"
colour = "#e0621c"

[[phase]]
name = "water"
ranges = [[[95, 130, 95], [130, 255, 255]], [[0, 0, 0], [10, 20, 30]]]
color = "tab:blue"

[[phase]]
name = "dye"
ranges = [[[0, 0, 0], [179, 255, 255]]]
formula = "=0-0"
colour = [10, 20, 30]
"""


def write(tmp_path, text, name="phases.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def test_a_good_file_loads_with_defaults(tmp_path):
    oil, water, dye = load_phases(write(tmp_path, GOOD))
    assert (oil.name, oil.ranges, oil.formula, oil.colour) == ("oil", [((3, 100, 105), (25, 255, 255))], "=0",
                                                              (224, 98, 28))
    assert water.formula == "=0+1" and water.colour == (31, 119, 180)  # the union by default; "color" spelled too
    assert dye.colour == (10, 20, 30)
    definition = oil.definition()  # the toolkit's Phases, as Separate takes it
    assert (definition.name, definition.subPhase, definition.PhaseSequence) == \
        ("oil", [[[3, 100, 105], [25, 255, 255]]], "=0")


def test_written_phases_load_back_the_same(tmp_path):
    phases = load_phases(write(tmp_path, GOOD))
    again = parse_phases(tomllib.loads(dumps_phases(phases)), "again")
    assert [(p.name, p.ranges, p.formula, p.colour) for p in again] == \
        [(p.name, p.ranges, p.formula, p.colour) for p in phases]


def phase(body):
    return '[[phase]]\nname = "oil"\n' + body


@pytest.mark.parametrize("text, expected", [
    (phase('formula = "=0"\n'), ["phase 'oil' has no ranges", "ranges = [[[h, s, v], [h, s, v]]]"]),
    (phase("ranges = []\n"), ["phase 'oil'", "non-empty list"]),
    (phase('ranges = [[[3, 100, 105], [25, 255, 255]]]\nformula = "=0+2"\n'),
     ["phase 'oil'", "names range 2, which does not exist", "the phase has range 0"]),
    (phase('ranges = [[[3, 100, 105], [25, 255, 255]]]\nformula = "0"\n'), ["has no '='", "whole frame"]),
    (phase('ranges = [[[3, 100, 105], [25, 255, 255]]]\nformula = "=0/1"\n'), ["'/'", "* (and)"]),
    (phase('ranges = [[[3, 100, 105], [25, 255, 255]]]\nformula = "=*"\n'), ["names no range"]),
    (phase("ranges = [[[3, 100, 105], [200, 255, 255]]]\n"),
     ["phase 'oil', range 0", "upper hue 200 is outside 0-179", "OpenCV's hue runs 0-179", "would be 100"]),
    (phase("ranges = [[[3, 100, 105], [25, 255, 255]], [[0, 0, 0], [10, 300, 255]]]\n"),
     ["phase 'oil', range 1", "upper saturation 300 is outside 0-255"]),
    (phase("ranges = [[[30, 100, 105], [10, 255, 255]]]\n"), ["range 0", "lower hue 30 is above upper hue 10",
                                                             "two ranges"]),
    (phase("ranges = [[[3, 100], [25, 255, 255]]]\n"), ["range 0", "three numbers [h, s, v]"]),
    (phase("ranges = [[3, 100, 105], [25, 255, 255]]\n"), ["range 0", "must be a pair"]),
    (phase("ranges = [[[3.5, 100, 105], [25, 255, 255]]]\n"), ["lower hue 3.5 must be a whole number"]),
    (phase("ranges = [[[3, 100, 105], [25, 255, 255]]]\ncolur = \"red\"\n"), ["unknown key 'colur'",
                                                                             "did you mean 'colour'"]),
    (phase("ranges = [[[3, 100, 105], [25, 255, 255]]]\ncolour = \"#12345\"\n"), ["is not a colour"]),
    ('[[phase]]\nranges = [[[3, 100, 105], [25, 255, 255]]]\n', ["phase 1", "name is missing"]),
    (phase("ranges = [[[3, 100, 105], [25, 255, 255]]]\n") * 2, ["a second phase of this name"]),
    ('name = "oil"\n', ["unknown key 'name'", "[[phase]] tables only"]),
    ("", ["no [[phase]] table"]),
    ('[[phase]]\nname = oil\n', ["is not valid TOML", "line 2"]),
])
def test_mistakes_are_named(tmp_path, text, expected):
    with pytest.raises(FluidlabError) as caught:
        load_phases(write(tmp_path, text))
    for fragment in expected:
        assert fragment in str(caught.value)


def test_more_ranges_than_a_formula_can_name(tmp_path):
    ranges = ", ".join(["[[0, 0, 0], [1, 1, 1]]"] * 11)
    with pytest.raises(FluidlabError, match="11 ranges, but a formula can name ranges 0-9 only"):
        load_phases(write(tmp_path, phase(f"ranges = [{ranges}]\n")))


def test_the_command_reports_the_mistake_in_one_line(tmp_path, capsys):
    bad = write(tmp_path, phase('ranges = [[[3, 100, 105], [25, 255, 255]]]\nformula = "=1"\n'))
    folder = tmp_path / "videos"
    folder.mkdir()
    assert main(["analyse", str(folder), "--phases", bad, "--every", "5s", "--out", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.startswith("fluidlab: error: ") and "names range 1, which does not exist" in err
    assert "Traceback" not in err and not (tmp_path / "out").exists()  # refused before anything is written
    assert main(["analyse", str(folder), "--phases", str(tmp_path / "none.toml"), "--every", "5s",
                 "--out", str(tmp_path / "out")]) == 2
    assert "no such phases file" in capsys.readouterr().err
