"""The ``fluidlab`` command: argument parsing and the four subcommands."""
from __future__ import annotations

import argparse
import os
import sys

from fluidlab import __version__
from fluidlab.errors import FluidlabError
from fluidlab.options import format_duration, parse_interval, parse_positive, parse_roi, parse_time
from fluidlab.recording import default_jobs, open_recording, warn

TIME_HELP = "a time: 5s, 2.5s, 500ms, 2m, 1h, or minutes:seconds such as 0:20 or 12:00"


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        raise FluidlabError(message)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="fluidlab", description="Phase areas over time from recordings of fluid-injection "
                    "experiments: info, analyse, pick, timelapse.")
    parser.add_argument("--version", action="version", version=f"fluidlab {__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")
    recording = argparse.ArgumentParser(add_help=False)
    recording.add_argument("--pattern", metavar="GLOB",
                           help="the recording's files in the folder (default: the video files of its most "
                                "common extension, e.g. *.MTS), sorted by name")
    recording.add_argument("--jobs", type=int, default=default_jobs(), metavar="N",
                           help="threads to use (default: the machine's cores, %(default)s here)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    info = commands.add_parser("info", parents=[common, recording], help="the files of a recording",
                               description="Per file: frames, frame rate, duration, size, recording start time "
                               "and where it came from, file time; then the span and the gaps between files.")
    info.add_argument("sources", nargs="+", metavar="FOLDER_OR_FILES")

    analyse = commands.add_parser(
        "analyse", parents=[common, recording], help="phase areas over time",
        description="Separates the phases of PHASES.toml in a frame every --every of the recording and writes "
        "DIR/areas.csv, DIR/areas.png and DIR/overlays/*.png. --from and --to are times since the recording "
        "started, counted across the files by their frame counts (file 2 starts where file 1's last frame ends).")
    analyse.add_argument("sources", nargs="+", metavar="FOLDER")
    analyse.add_argument("--phases", required=True, metavar="PHASES.toml")
    analyse.add_argument("--every", required=True, metavar="TIME",
                         help="the interval between analysed frames, " + TIME_HELP)
    analyse.add_argument("--from", dest="start", metavar="TIME", help="start (default: the first frame), " + TIME_HELP)
    analyse.add_argument("--to", dest="end", metavar="TIME", help="end, included (default: the last frame)")
    analyse.add_argument("--scale", metavar="PX_PER_MM", help="pixels per millimetre: adds areas in mm²")
    where = analyse.add_mutually_exclusive_group()
    where.add_argument("--roi", metavar="x,y,w,h", help="count only this rectangle of the frame (pixels)")
    where.add_argument("--roi-mask", metavar="MASK.png", help="count only the non-black pixels of this image")
    analyse.add_argument("--rate", metavar="ML_PER_MIN", help="injection rate: adds the injected volume in ml, "
                         "counted from --from")
    analyse.add_argument("--out", required=True, metavar="DIR")
    analyse.add_argument("--no-overlays", action="store_true", help="write no overlay images (areas only)")

    pick = commands.add_parser("pick", parents=[common], help="choose HSV ranges in a window",
                               description="Opens a frame in a window with trackbars for the current range's "
                               "lower and upper H, S, V and a live preview of the phase's mask. Click a pixel to "
                               "widen the range to it. Keys: a add a range, Tab next range, p new phase, "
                               "Space next phase, n name the phase (type, then Enter), d delete the range, "
                               "s save, q save and quit, Esc quit without saving.")
    pick.add_argument("source", metavar="FRAME_OR_VIDEO[:time]",
                      help="an image, or a video file or folder with an optional time (video.MTS:1:30)")
    pick.add_argument("--out", required=True, metavar="PHASES.toml",
                      help="where to save; an existing file is loaded to start from")

    timelapse = commands.add_parser("timelapse", parents=[common, recording], help="a time-lapse video",
                                    description="One frame every --every of the recording, counted across the "
                                    "files, as a video (Dravio.RegularVideo) at the first file's frame rate.")
    timelapse.add_argument("sources", nargs="+", metavar="FOLDER")
    timelapse.add_argument("--every", required=True, metavar="TIME", help="the interval, " + TIME_HELP)
    timelapse.add_argument("--out", required=True, metavar="X.mp4")
    timelapse.add_argument("--clock", action="store_true", help="burn the recording time into each frame")
    timelapse.add_argument("--format", default=".mp4", choices=[".mp4", ".avi", ".avi-1", ".flv", ".org", ".avi-YUV"],
                           help="the codec key of Dravio.cv_VideoWriter (default .mp4: MPEG-4 part 2)")
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if getattr(args, "jobs", 1) < 1:
            raise FluidlabError(f"--jobs {args.jobs}: give at least 1")
        return {"info": command_info, "analyse": command_analyse, "pick": command_pick,
                "timelapse": command_timelapse}[args.command](args)
    except FluidlabError as error:
        print(f"fluidlab: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("fluidlab: interrupted", file=sys.stderr)
        return 130


def load_recording(args, description="reading files"):
    """The recording of args.sources, with a bar while its files are indexed."""
    from fluidlab.progress import bar
    from fluidlab.recording import find_videos
    paths, ignored = find_videos(args.sources, args.pattern)
    with bar(len(paths), description, "file", args.quiet) as progress:
        recording = open_recording(paths, ignored, args.jobs, lambda: progress.update(1))
    if args.command != "info":  # info lists these itself
        if recording.ignored:
            names = ", ".join(os.path.basename(p) for p in recording.ignored)
            warn(f"left out of the recording: {names} (other extension; choose with --pattern)", args.quiet)
        for f in recording.files:
            for note in f.notes:
                warn(f"{f.name}: {note}", args.quiet)
    return recording


def interval_frames(recording, every: float, option: str, quiet: bool) -> int:
    """The interval as a whole number of frames of the first file's rate."""
    exact = every * recording.fps
    step = round(exact)
    if step < 1:
        raise FluidlabError(f"{option} {every:g}s is shorter than one frame ({1 / recording.fps:.4f} s "
                            f"at {recording.fps:g} fps)")
    if abs(exact - step) > 1e-6:
        warn(f"{option} {every:g}s is {exact:.3f} frames at {recording.fps:g} fps: using every {step} frames "
             f"({step / recording.fps:.4f} s)", quiet)
    return step


def command_info(args) -> int:
    from fluidlab.info import report
    recording = load_recording(args)
    print(report(recording))
    return 0


def command_analyse(args) -> int:
    from fluidlab import analyse, plot
    from fluidlab.phases import load_phases
    from fluidlab.progress import ToolkitOutput, bar

    phases = load_phases(args.phases)
    every = parse_interval(args.every)
    start = parse_time(args.start, "--from") if args.start else 0.0
    end = parse_time(args.end, "--to") if args.end else None
    if end is not None and end < start:
        raise FluidlabError(f"--to {args.end} is before --from {args.start or '0:00'}")
    scale = parse_positive(args.scale, "--scale", "pixels per mm") if args.scale else None
    rate = parse_positive(args.rate, "--rate", "ml/min", allow_zero=True) if args.rate else None
    if args.roi_mask and not os.path.isfile(args.roi_mask):
        raise FluidlabError(f"--roi-mask: no such file: {args.roi_mask}")
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise FluidlabError(f"--out {args.out} is a file, not a folder")

    recording = load_recording(args)
    recording.check_one_size()
    if args.roi:
        region = analyse.Region.rectangle(parse_roi(args.roi, recording.size), recording.size)
    elif args.roi_mask:
        region = analyse.Region.from_mask(args.roi_mask, recording.size)
    else:
        region = analyse.Region.rectangle(None, recording.size)
    step = interval_frames(recording, every, "--every", args.quiet)
    length = format_duration(recording.duration)
    if start >= recording.duration:
        raise FluidlabError(f"--from {args.start} is after the end of the recording ({length})")
    if end is not None and end >= recording.duration:
        warn(f"--to {args.end} is after the end of the recording ({length}): analysing to its end", args.quiet)
    first = recording.position_at(start, after=True)
    last = recording.position_at(end, after=False) if end is not None else recording.frames - 1
    count = (last - first) // step + 1 if last >= first else 0
    if count < 1:
        raise FluidlabError(f"no frame between --from {args.start or '0:00'} and --to {args.end or 'the end'}")

    job = analyse.Job(recording, phases, first, step, count, region, scale, rate, args.out, args.jobs,
                      not args.no_overlays)
    os.makedirs(args.out, exist_ok=True)
    log = os.path.join(args.out, "toolkit-output.txt")
    output = ToolkitOutput()
    try:
        with bar(count, "analyse", "frame", args.quiet) as progress, output:
            table = analyse.run(job, progress, output)
    finally:
        with open(log, "w", encoding="utf-8") as file:
            file.write(output.text())
    figure = os.path.join(args.out, "areas.png")
    if table.rows and any(r["areas"] is not None for r in table.rows):
        first_file = recording.files[0]
        plot.draw(figure, table.rows, phases, scale, region.area, first_file.start_seconds, first_file.source)
    if table.lost:
        warn(f"{table.lost} frames could not be read: their rows have no areas", args.quiet)
    print(f"{table.path}: {len(table.rows)} frames, every {step / recording.fps:g} s from "
          f"{format_duration(recording.elapsed(*recording.locate(first)))} to "
          f"{format_duration(recording.elapsed(*recording.locate(job.position(count - 1))))}")
    print(f"{figure}: areas over time")
    if job.overlays:
        print(f"{os.path.join(args.out, 'overlays')}{os.sep}: {len(table.rows) - table.lost} frames with their masks")
    print(f"{log}: the toolkit's printed lines")
    return 0


def command_pick(args) -> int:
    from fluidlab.pick import run
    return run(args)


def command_timelapse(args) -> int:
    from fluidlab.timelapse import run
    return run(args)
