"""areas.png: the phases' areas (and saturations) over the recording's time."""
from __future__ import annotations

import matplotlib

matplotlib.use("Agg")  # files only, no window: works without a display and from threads

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402

from fluidlab.options import format_clock, format_duration  # noqa: E402

# Tick spacings in seconds for the time axis: whole seconds, minutes and hours.
TIME_STEPS = [1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600, 7200, 10800, 21600]


def time_locator(span: float, most: int = 10) -> ticker.Locator:
    for step in TIME_STEPS:
        if span / step <= most:
            return ticker.MultipleLocator(step)
    return ticker.MaxNLocator(most)


def draw(path: str, rows: list[dict], phases, scale: float | None, roi_area: int, start_clock: float,
         start_source: str) -> None:
    """Writes the plot of ``rows`` (the analysed frames, in order) to ``path``."""
    measured = [r for r in rows if r["areas"] is not None]
    times = [r["elapsed"] for r in measured]
    unit = "mm²" if scale else "px"
    factor = 1 / scale ** 2 if scale else 1
    two = len(phases) > 1
    figure, axes = plt.subplots(2 if two else 1, 1, figsize=(10, 7.5 if two else 5), sharex=True,
                                squeeze=False, constrained_layout=True)
    area_axis = axes[0][0]
    for k, phase in enumerate(phases):
        values = [r["areas"][k] * factor for r in measured]
        area_axis.plot(times, values, color=phase.hex, linewidth=2, label=phase.name)
    area_axis.set_ylabel(f"area ({unit})")
    area_axis.set_ylim(bottom=0)
    area_axis.margins(y=0.08)
    area_axis.yaxis.set_major_formatter(ticker.EngFormatter(sep="") if not scale else ticker.ScalarFormatter())
    # The same areas as a share of the ROI on the right-hand axis.
    per_cent = 100 / (roi_area * factor)
    share = area_axis.secondary_yaxis("right", functions=(lambda a: a * per_cent, lambda p: p / per_cent))
    share.set_ylabel("% of the ROI")
    area_axis.legend(loc="best", framealpha=0.9)
    area_axis.set_title(f"Phase areas; recording started {format_clock(start_clock)[:8]} (clock from {start_source})",
                        loc="left")
    if two:
        saturation_axis = axes[1][0]
        for k, phase in enumerate(phases):
            values = []
            for r in measured:
                total = sum(r["areas"])
                values.append(r["areas"][k] / total if total else float("nan"))
            saturation_axis.plot(times, values, color=phase.hex, linewidth=2, label=phase.name)
        saturation_axis.set_ylabel("saturation (share of the phases)")
        saturation_axis.set_ylim(0, 1)
        saturation_axis.yaxis.set_major_formatter(ticker.PercentFormatter(1.0))
    bottom = axes[-1][0]
    span = (max(times) - min(times)) if len(times) > 1 else 1.0
    bottom.xaxis.set_major_locator(time_locator(span))
    bottom.xaxis.set_major_formatter(ticker.FuncFormatter(lambda s, _: format_duration(s)))
    bottom.set_xlabel("time since the recording started (h:)min:s")
    for row in axes:
        row[0].grid(True, color="0.9")
        row[0].tick_params(labelsize=10)
    figure.savefig(path, dpi=100)
    plt.close(figure)
