"""Parsing of the command's option values: durations, recording times, ROIs.

Times are given as a number with a unit (``5s``, ``2.5s``, ``500ms``, ``2m``,
``1h``; a bare number is seconds) or on a clock face (``0:20`` is 20 s,
``12:00`` is 12 minutes, ``1:02:03.5`` is 1 h 2 min 3.5 s).
"""
from __future__ import annotations

import math
import re

from fluidlab.errors import FluidlabError

_UNITS = {"ms": 0.001, "s": 1.0, "sec": 1.0, "m": 60.0, "min": 60.0, "h": 3600.0}
_WITH_UNIT = re.compile(r"^(\d+(?:\.\d*)?|\.\d+)\s*(ms|s|sec|m|min|h)?$")
_CLOCK = re.compile(r"^(?:(\d+):)?(\d+):(\d+(?:\.\d*)?)$")
TIME_HINT = "give a time like 5s, 2.5s, 500ms, 2m, 1h or minutes:seconds like 0:20 or 12:00"


def parse_time(text: str, option: str) -> float:
    """Seconds of ``text``; FluidlabError naming ``option`` when it is not a time."""
    value = text.strip().lower()
    match = _WITH_UNIT.match(value)
    if match:
        return float(match.group(1)) * _UNITS[match.group(2) or "s"]
    match = _CLOCK.match(value)
    if match:
        hours, minutes, seconds = match.groups()
        if float(seconds) >= 60:
            raise FluidlabError(f"{option} {text!r}: the seconds ({seconds}) must be below 60")
        if hours is not None and int(minutes) >= 60:
            raise FluidlabError(f"{option} {text!r}: the minutes ({minutes}) must be below 60 in hours:minutes:seconds")
        return int(hours or 0) * 3600.0 + int(minutes) * 60.0 + float(seconds)
    raise FluidlabError(f"{option} {text!r} is not a time: {TIME_HINT}")


def parse_interval(text: str, option: str = "--every") -> float:
    seconds = parse_time(text, option)
    if seconds <= 0:
        raise FluidlabError(f"{option} {text!r}: the interval must be longer than zero")
    return seconds


def parse_positive(text: str, option: str, unit: str, allow_zero: bool = False) -> float:
    try:
        value = float(text)
    except ValueError:
        raise FluidlabError(f"{option} {text!r} is not a number ({unit})") from None
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        kind = "non-negative" if allow_zero else "positive"
        raise FluidlabError(f"{option} {text!r} must be a {kind} number ({unit})")
    return value


def parse_roi(text: str, size: tuple[int, int]) -> tuple[int, int, int, int]:
    """``x,y,w,h`` in pixels, checked against the frame ``size`` (width, height)."""
    parts = [p.strip() for p in text.split(",")]
    if len(parts) != 4 or not all(re.fullmatch(r"\d+", p) for p in parts):
        raise FluidlabError(f"--roi {text!r}: give x,y,w,h as four whole numbers of pixels, e.g. --roi 40,30,1200,660")
    x, y, w, h = map(int, parts)
    width, height = size
    if w == 0 or h == 0:
        raise FluidlabError(f"--roi {text!r}: the width and height must be at least one pixel")
    if x + w > width or y + h > height:
        raise FluidlabError(f"--roi {text!r} reaches x={x + w}, y={y + h}, outside the {width}x{height} frame "
                            f"(the ROI must lie within 0,0,{width},{height})")
    return x, y, w, h


def format_duration(seconds: float) -> str:
    """``0:20``, ``2:03.25`` or ``1:02:03`` style text of a span of time."""
    sign = "-" if seconds < 0 else ""
    hours, rest = divmod(round(abs(seconds), 2), 3600)
    minutes, secs = divmod(rest, 60)
    text = f"{secs:05.2f}".removesuffix(".00")
    if hours:
        return f"{sign}{int(hours)}:{int(minutes):02d}:{text}"
    return f"{sign}{int(minutes)}:{text}"


def format_clock(seconds_of_day: float) -> str:
    """``HH:MM:SS.ss`` (24-hour) of a number of seconds after midnight."""
    seconds_of_day %= 86400
    hours, rest = divmod(seconds_of_day, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{int(hours):02d}:{int(minutes):02d}:{secs:05.2f}"
