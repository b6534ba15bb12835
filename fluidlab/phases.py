"""PHASES.toml: the phases to separate, their HSV ranges and formulas.

    [[phase]]
    name = "oil"
    ranges = [[[3, 100, 105], [25, 255, 255]]]   # [lower, upper] pairs of [h, s, v]
    formula = "=0"                               # optional; the union of all ranges by default
    colour = "#e0621c"                           # optional, for the overlays and the plot

HSV is OpenCV's scale: hue 0-179 (half of the usual degrees), saturation and
value 0-255; both bounds are included. The formula is the grammar of
``Tavelin.Phases.PhaseSequence``: after "=", digits name ranges (0-9) and
"*" (and), "+" (or) and "-" (without) combine them from left to right.
"""
from __future__ import annotations

import difflib
import re
import tomllib
from dataclasses import dataclass

from fluidlab.errors import FluidlabError

# Distinct colours for phases without one (matplotlib's tab10, as RGB).
PALETTE = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40), (148, 103, 189),
           (140, 86, 75), (227, 119, 194), (127, 127, 127), (188, 189, 34), (23, 190, 207)]
KEYS = ("name", "ranges", "formula", "colour")
LIMITS = (("hue", 179), ("saturation", 255), ("value", 255))


@dataclass
class Phase:
    name: str
    ranges: list[tuple[tuple[int, int, int], tuple[int, int, int]]]
    formula: str
    colour: tuple[int, int, int]  # RGB 0-255
    colour_given: bool = True

    def definition(self):
        """The Tavelin.Phases of this phase."""
        import Tavelin
        phase = Tavelin.Phases()
        phase.name = self.name
        phase.subPhase = [[list(lower), list(upper)] for lower, upper in self.ranges]
        phase.PhaseSequence = self.formula
        return phase

    @property
    def bgr(self) -> tuple[int, int, int]:
        return self.colour[::-1]

    @property
    def hex(self) -> str:
        return "#{:02x}{:02x}{:02x}".format(*self.colour)


def union_formula(count: int) -> str:
    return "=" + "+".join(str(k) for k in range(count))


def check_formula(formula: str, count: int, where: str) -> None:
    """The formula must name only existing ranges with the grammar's characters."""
    if "=" not in formula:
        raise FluidlabError(f"{where}: formula {formula!r} has no '=': the ranges are read after it "
                            f"(e.g. {union_formula(count)!r}); without it the phase would be the whole frame")
    body = formula.split("=", 1)[1]
    bad = sorted(set(re.sub(r"[0-9*+\- ]", "", body)))
    if bad:
        raise FluidlabError(f"{where}: formula {formula!r} has {', '.join(map(repr, bad))}: after '=' only range "
                            f"numbers 0-9 and the operators * (and), + (or), - (without) may appear")
    digits = [int(c) for c in body if c.isdigit()]
    if not digits:
        raise FluidlabError(f"{where}: formula {formula!r} names no range (e.g. {union_formula(count)!r})")
    for digit in digits:
        if digit >= count:
            have = "range 0" if count == 1 else f"ranges 0-{count - 1}"
            raise FluidlabError(f"{where}: formula {formula!r} names range {digit}, which does not exist "
                                f"(the phase has {have})")


def _triple(value, where: str, which: str) -> tuple[int, int, int]:
    if not isinstance(value, list) or len(value) != 3:
        raise FluidlabError(f"{where}: the {which} bound {value!r} must be three numbers [h, s, v]")
    for (label, limit), number in zip(LIMITS, value):
        if isinstance(number, bool) or not isinstance(number, int):
            raise FluidlabError(f"{where}: {which} {label} {number!r} must be a whole number")
        if number < 0 or number > limit:
            hint = ""
            if label == "hue":
                hint = ("; OpenCV's hue runs 0-179, half of the usual 0-360 degrees"
                        + (f": {number} degrees would be {number // 2}" if number <= 360 else ""))
            raise FluidlabError(f"{where}: {which} {label} {number} is outside 0-{limit}{hint}")
    return tuple(value)


def _range(value, where: str):
    if not isinstance(value, list) or len(value) != 2:
        raise FluidlabError(f"{where}: {value!r} must be a pair [[h, s, v], [h, s, v]] of lower and upper bounds")
    lower, upper = _triple(value[0], where, "lower"), _triple(value[1], where, "upper")
    for (label, _), low, high in zip(LIMITS, lower, upper):
        if low > high:
            hint = (" (a red that wraps around hue 0 needs two ranges, e.g. [[0, s, v], [10, S, V]] "
                    "and [[170, s, v], [179, S, V]])") if label == "hue" else ""
            raise FluidlabError(f"{where}: lower {label} {low} is above upper {label} {high}{hint}")
    return lower, upper


def parse_colour(value, where: str) -> tuple[int, int, int]:
    """An RGB colour: "#rrggbb", a matplotlib colour name, or [r, g, b] of 0-255."""
    if isinstance(value, list) and len(value) == 3 and all(
            isinstance(c, int) and not isinstance(c, bool) and 0 <= c <= 255 for c in value):
        return tuple(value)
    if isinstance(value, str):
        if re.fullmatch(r"#[0-9a-fA-F]{6}", value):
            return tuple(int(value[k:k + 2], 16) for k in (1, 3, 5))
        from matplotlib import colors
        try:
            return tuple(round(255 * c) for c in colors.to_rgb(value))
        except ValueError:
            pass
    raise FluidlabError(f"{where}: colour {value!r} is not a colour: give \"#rrggbb\", a name like \"orange\", "
                        f"or [r, g, b] with numbers 0-255")


def parse_phases(data: dict, source: str) -> list[Phase]:
    """The phases of a parsed PHASES.toml; FluidlabError for every mistake."""
    unknown = [k for k in data if k != "phase"]
    if unknown:
        raise FluidlabError(f"{source}: unknown key {unknown[0]!r}: the file holds [[phase]] tables only")
    tables = data.get("phase")
    if not tables:
        raise FluidlabError(f"{source}: no [[phase]] table: each phase is a [[phase]] table with name and ranges")
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise FluidlabError(f"{source}: 'phase' must be an array of tables, written [[phase]]")
    phases, names = [], set()
    for number, table in enumerate(tables, 1):
        name = table.get("name")
        where = f"{source}: phase {name!r}" if isinstance(name, str) and name else f"{source}: phase {number}"
        for key in table:
            if key == "color":
                continue
            if key not in KEYS:
                close = difflib.get_close_matches(key, KEYS, 1)
                raise FluidlabError(f"{where}: unknown key {key!r}" + (f" (did you mean {close[0]!r}?)" if close else
                                                                       f"; the keys are {', '.join(KEYS)}"))
        if not isinstance(name, str) or not name.strip():
            raise FluidlabError(f"{where}: name is missing: give name = \"...\"")
        if re.search(r'[\\/:*?"<>|]', name):
            raise FluidlabError(f"{where}: the name may not hold any of \\ / : * ? \" < > | (it names files)")
        if name in names:
            raise FluidlabError(f"{where}: a second phase of this name")
        names.add(name)
        ranges = table.get("ranges")
        if ranges is None:
            raise FluidlabError(f"{where} has no ranges: give ranges = [[[h, s, v], [h, s, v]]] "
                                f"(lower and upper bounds on OpenCV's HSV scale)")
        if not isinstance(ranges, list) or not ranges:
            raise FluidlabError(f"{where}: ranges must be a non-empty list of [[h, s, v], [h, s, v]] pairs")
        if len(ranges) > 10:
            raise FluidlabError(f"{where}: {len(ranges)} ranges, but a formula can name ranges 0-9 only")
        parsed = [_range(r, f"{where}, range {k}") for k, r in enumerate(ranges)]
        formula = table.get("formula", union_formula(len(parsed)))
        if not isinstance(formula, str):
            raise FluidlabError(f"{where}: formula must be text such as \"=0+1\"")
        check_formula(formula, len(parsed), where)
        colour_value = table.get("colour", table.get("color"))
        given = colour_value is not None
        colour = parse_colour(colour_value, where) if given else PALETTE[(number - 1) % len(PALETTE)]
        phases.append(Phase(name, parsed, formula, colour, given))
    return phases


def load_phases(path: str) -> list[Phase]:
    try:
        with open(path, "rb") as file:
            data = tomllib.load(file)
    except FileNotFoundError:
        raise FluidlabError(f"no such phases file: {path}") from None
    except IsADirectoryError:
        raise FluidlabError(f"{path} is a folder, not a phases file") from None
    except tomllib.TOMLDecodeError as error:
        raise FluidlabError(f"{path} is not valid TOML: {error}") from None
    except UnicodeDecodeError:
        raise FluidlabError(f"{path} is not a UTF-8 text file") from None
    return parse_phases(data, path)


def _quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def dumps_phases(phases: list[Phase]) -> str:
    """The TOML text of ``phases`` (what load_phases reads back)."""
    blocks = []
    for phase in phases:
        ranges = ", ".join(f"[[{lo[0]}, {lo[1]}, {lo[2]}], [{hi[0]}, {hi[1]}, {hi[2]}]]" for lo, hi in phase.ranges)
        blocks.append(f"[[phase]]\nname = {_quote(phase.name)}\nranges = [{ranges}]\n"
                      f"formula = {_quote(phase.formula)}\ncolour = {_quote(phase.hex)}\n")
    header = ("# Phases for fluidlab analyse: HSV ranges on OpenCV's scale (hue 0-179, saturation\n"
              "# and value 0-255), [lower, upper] pairs, both included; the formula combines them.\n\n")
    return header + "\n".join(blocks)
