"""fluidlab info: what the files of a recording hold and when they were recorded."""
from __future__ import annotations

import os
from datetime import datetime

from fluidlab.options import format_clock, format_duration
from fluidlab.recording import Recording

DAY = 86400


def gap(previous_end: float, start: float) -> float:
    """Seconds from one file's end to the next file's start on a 24-hour
    clock without dates: a jump back by more than 12 hours is taken as midnight."""
    seconds = (start - previous_end) % DAY
    return seconds - DAY if seconds > DAY / 2 else seconds


def table(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    return ["  ".join(cell.rjust(w) if k in right else cell.ljust(w)
                      for k, (cell, w) in enumerate(zip(row, widths))).rstrip() for row in rows]


def report(recording: Recording) -> str:
    rows = [["file", "frames", "fps", "duration", "size", "recording start", "from", "file time"]]
    for f in recording.files:
        modified = datetime.fromtimestamp(os.path.getmtime(f.path)).strftime("%Y-%m-%d %H:%M:%S")
        rows.append([f.name, f"{f.frames}" + ("" if f.exact else " (estimate)"), f"{f.fps:g}",
                     format_duration(f.duration), f"{f.size[0]}x{f.size[1]}", format_clock(f.start_seconds)[:8],
                     f.source, modified])
    lines = table(rows, right={1, 2, 3})
    first, last = recording.files[0], recording.files[-1]
    end = last.start_seconds + last.duration
    pauses = [gap(a.start_seconds + a.duration, b.start_seconds) for a, b in zip(recording.files, recording.files[1:])]
    span = recording.duration + sum(pauses)
    lines.append("")
    lines.append(f"recording: {len(recording.files)} files, {recording.frames} frames, "
                 f"{format_duration(recording.duration)} of video; clock {format_clock(first.start_seconds)[:8]} "
                 f"to {format_clock(end)[:8]} (span {format_duration(span)})")
    for a, b in zip(recording.files, recording.files[1:]):
        seconds = gap(a.start_seconds + a.duration, b.start_seconds)
        kind = "gap" if seconds >= 0 else "overlap"
        lines.append(f"  {a.name} -> {b.name}: {kind} of {abs(seconds):.2f} s")
    for f in recording.files:
        for note in f.notes:
            lines.append(f"{f.name}: {note}")
    if recording.ignored:
        lines.append("not part of the recording (other extension; choose with --pattern): "
                     + ", ".join(os.path.basename(p) for p in recording.ignored))
    return "\n".join(lines)
