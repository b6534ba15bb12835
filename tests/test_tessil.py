"""Tessil: Video descriptions of real files, creation times and frame windows,
and the recording time written into the files."""
import calendar
import json
import os
import pathlib
import subprocess
import time
import warnings
from datetime import datetime, timedelta

import avchd_videos as av
import cv2
import numpy as np
import pytest
import samples
import Tessil


@pytest.fixture(scope="module")
def ntsc_file(tmp_path_factory):
    return samples.write_video(tmp_path_factory.mktemp("ntsc") / "clip.MTS", 30, fps=29.97)


def test_video_describes_generated_files(recordings, ntsc_file):
    for paths in recordings.values():
        video = Tessil.Video(paths[0], [9, 30, 0])
        assert video.FPS == 25.0 and type(video.FPS) is float
        assert video.Frame_Count == 60 and type(video.Frame_Count) is int
        assert video.path is paths[0]
        assert isinstance(video.Vdo, cv2.VideoCapture) and not video.Vdo.isOpened()
        assert list(vars(video)) == ["Vdo", "path", "FPS", "Frame_Count", "start_time"]
    ntsc = Tessil.Video(ntsc_file, [0, 0, 1])
    assert abs(ntsc.FPS - 30000 / 1001) < 1e-9  # fractional rates stay fractional


def test_start_time_rules(recordings):
    path = recordings[".avi"][0]
    from_file = Tessil.GetCreatTime(path)
    assert Tessil.Video(path).start_time == from_file
    assert Tessil.Video(path, [0, 0, 0]).start_time == from_file
    given = [9, 30, 0]
    assert Tessil.Video(path, given).start_time is given
    assert Tessil.Video(path, (0, 0, 0)).start_time == (0, 0, 0)  # a tuple is not the list [0, 0, 0]
    with pytest.raises(ValueError):
        Tessil.Video(path, np.zeros(3))  # an array's equality has no truth value
    # The shared default is never changed by a call.
    assert inspect_default() == [0, 0, 0]


def inspect_default():
    import inspect
    return inspect.signature(Tessil.Video).parameters["start_time"].default


def test_missing_file(tmp_path):
    missing = str(tmp_path / "gone.MTS")
    for start_time in ([0, 0, 0], [1, 2, 3]):
        with pytest.raises(FileNotFoundError) as error:
            Tessil.Video(missing, start_time)
        assert error.value.filename == missing
    (tmp_path / "text.MTS").write_text("not a video")
    video = Tessil.Video(str(tmp_path / "text.MTS"), [1, 2, 3])
    assert (video.FPS, video.Frame_Count) == (0.0, 0)
    assert Tessil.GetCaptures(video.FPS, video.Frame_Count, 5) == []  # orange(0, -1, 5)


def test_creation_time_is_the_birth_time_not_the_change_time(tmp_path):
    path = tmp_path / "made.txt"
    path.write_bytes(b"x")
    time.sleep(1.1)
    os.chmod(path, 0o600)  # moves the change time, not the creation time
    birth, change = map(int, subprocess.check_output(["stat", "-c", "%W %Z", str(path)]).split())
    expected = time.localtime(birth if birth else change)
    assert Tessil.GetCreatTime(str(path)) == [expected.tm_hour, expected.tm_min, expected.tm_sec]
    with pytest.raises(FileNotFoundError):
        Tessil.GetCreatTime(str(tmp_path / "none"))


@pytest.mark.parametrize("window, expected", [
    ((0, 10, 0, 20), (250, 525)),      # the end second counts in full
    ((0, 0, 0, 0), (0, 999)),          # 0:00 means the whole file
    ((0, 30, 1, 0), (750, 999)),       # end clamped to the last frame
    ((0, 0, 0, 5), (0, 150)),
    ((0, 39, 0, 0), (975, 999)),
])
def test_frame_windows(window, expected):
    video = Tessil.Video.__new__(Tessil.Video)
    video.FPS, video.Frame_Count = 25.0, 1000
    frames = video.GetCaptures(5, *window)
    assert frames == list(range(expected[0], expected[1] + 1, 5))
    assert Tessil.GetCaptures(25.0, 1000, 5, *window) == frames


def test_frame_window_edges():
    # Clamped when FPS * (Em*60 + Es + 1) equals the frame count exactly.
    assert Tessil.GetCaptures(25.0, 1000, 1, Em=0, Es=39)[-1] == 999
    assert Tessil.GetCaptures(25.0, 1001, 1, Em=0, Es=39)[-1] == 1000
    # Fractional rates truncate toward zero.
    assert Tessil.GetCaptures(29.97, 3000, 100, Ss=10)[0] == 299
    # A start past the end of the file gives no frames; chained equality is used.
    assert Tessil.GetCaptures(25.0, 100, 1, Sm=1) == []
    assert Tessil.GetCaptures(25.0, 100, 10, Sm=0.0, Ss=0) == list(range(0, 100, 10))
    with pytest.raises(TypeError):
        Tessil.GetCaptures(25.0, 100, 1, Ss="a")


# ---- GetRecordTime: the recording time written into the file ----


GOPS = 6  # the stream of every generated file: 6 GOPs of 0.4 s


@pytest.fixture(scope="module")
def base_stream(tmp_path_factory):
    path = av.encode_base(tmp_path_factory.mktemp("avchd") / "base.264", GOPS)
    return pathlib.Path(path).read_bytes()


@pytest.fixture
def local_zone(monkeypatch):
    """set_zone(TZ): the process's local time zone for the test, as time.tzset() sets it."""
    def set_zone(zone):
        monkeypatch.setenv("TZ", zone)
        time.tzset()
    yield set_zone
    monkeypatch.undo()
    time.tzset()


def record_time(path):
    """GetRecordTime(path, with_source=True), failing on any warning."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return Tessil.GetRecordTime(path, with_source=True)


def hms(moment):
    return [moment.hour, moment.minute, moment.second]


# (name, extension, frame 0's clock, minutes east of UTC, DST)
ZONE_CASES = [
    ("west of UTC", ".MTS", datetime(2024, 3, 10, 14, 5, 9, 300000), -300, False),
    ("half-hour zone", ".M2TS", datetime(2023, 11, 2, 9, 41, 30), 330, False),
    ("daylight saving", ".MTS", datetime(2024, 7, 1, 6, 0, 0, 800000), -480, True),
    ("across midnight", ".M2TS", datetime(2024, 12, 31, 23, 59, 58, 500000), 570, True),
]


@pytest.fixture(scope="module")
def zone_files(base_stream, tmp_path_factory):
    folder = tmp_path_factory.mktemp("zones")
    files = {}
    for name, extension, start, offset, dst in ZONE_CASES:
        clocks = av.gop_clocks(start.replace(microsecond=0), GOPS, av.tz_byte(offset, dst),
                               start.microsecond / 1e6)
        files[name] = av.write_avchd(folder / (name.replace(" ", "_") + extension), base_stream, clocks)
    return files, av.exiftool_times(files.values())


@pytest.mark.parametrize("case", ZONE_CASES, ids=[c[0] for c in ZONE_CASES])
def test_avchd_time_agrees_with_exiftool(case, zone_files):
    name, _, start, offset, dst = case
    files, exiftool = zone_files
    records = exiftool[files[name]]
    assert len(records) == GOPS  # ExifTool reads every GOP's clock
    suffix = f"{'-' if offset < 0 else '+'}{abs(offset) // 60:02d}:{abs(offset) % 60:02d}" + (" DST" if dst else "")
    assert records[0] == start.strftime("%Y:%m:%d %H:%M:%S") + suffix
    assert record_time(files[name]) == (av.clock_of(records[0]), "avchd")
    assert Tessil.GetRecordTime(files[name]) == hms(start)


def test_midnight_crossing_is_one_recording(zone_files):
    files, exiftool = zone_files
    dates = {record[:10] for record in exiftool[files["across midnight"]]}
    assert dates == {"2024:12:31", "2025:01:01"}  # later GOPs are on the next day, and agree


def test_avchd_time_is_the_camcorders_clock_in_any_local_zone(zone_files, local_zone):
    path = zone_files[0]["west of UTC"]
    for zone in ("UTC0", "IST-5:30", "EST5EDT,M3.2.0,M11.1.0"):
        local_zone(zone)
        assert record_time(path) == ([14, 5, 9], "avchd")


def nal_layouts():
    """(name, nal(when, tz), place): the MDPM SEI as camcorders and muxers lay it out."""
    def after_reserved(when, tz):   # an unknown SEI message (type 300) first, in the same NAL
        return av.sei_nal(av.sei_message(300, b"\x00\x00\x01\x02" * 3), av.sei_message(5, av.mdpm_payload(when, tz)))

    def after_foreign_uuid(when, tz):  # another user_data_unregistered before it
        foreign = bytes(16) + b"x264 - core"
        return av.sei_nal(av.sei_message(5, foreign), av.sei_message(5, av.mdpm_payload(when, tz)))

    def many_entries(when, tz):  # 95 entries: a payload size above 255, zeros to escape
        tags = list(range(0x01, 0x18)) + list(range(0x1A, 0x60))
        return av.mdpm_nal(when, tz, extra_tags=tags)

    def damaged_then_valid(when, tz):  # an MDPM with the month 0x1A first, then a valid one
        damaged = av.raw_mdpm_nal([tz, 0x20, 0x22, 0x1A], [0x01, 0x00, 0x00, 0x00])
        return damaged + av.mdpm_nal(when, tz)

    return [("own NAL first in the unit", av.mdpm_nal, "first"),
            ("after an unknown message", after_reserved, "before_slice"),
            ("after another UUID", after_foreign_uuid, "before_slice"),
            ("95 entries", many_entries, "before_slice"),
            ("after a damaged record", damaged_then_valid, "first")]


@pytest.mark.parametrize("name, nal, place", nal_layouts(), ids=[c[0] for c in nal_layouts()])
def test_mdpm_layouts_in_the_stream(name, nal, place, base_stream, tmp_path):
    start = datetime(2022, 1, 1, 0, 0, 0)  # 00 00 00 in the record: escaped in the stream
    clocks = av.gop_clocks(start, GOPS, av.tz_byte(0))
    path = av.write_avchd(tmp_path / "x.MTS", base_stream, clocks, nal=nal, place=place)
    assert b"\x01\x00\x00\x03\x00" in pathlib.Path(path).read_bytes()
    assert record_time(path) == ([0, 0, 0], "avchd")


def test_later_gops_check_the_first(base_stream, tmp_path):
    start, tz = datetime(2024, 5, 6, 10, 20, 30), av.tz_byte(60)
    good = av.gop_clocks(start, GOPS, tz)

    # The first GOP outvoted: four later GOPs agree on 10:20:30 for frame 0.
    path = av.write_avchd(tmp_path / "first.MTS", base_stream, [(start + timedelta(hours=2), tz)] + good[1:])
    with pytest.warns(RuntimeWarning, match=r"first GOP gives frame 0 2024-05-06 12:20:30, 4 of the 4 later"
                                            r" GOPs read agree on 2024-05-06 10:20:30; their time is used") as caught:
        assert Tessil.GetRecordTime(path, with_source=True) == ([10, 20, 30], "avchd")
    assert caught[0].filename == __file__  # shown at the caller's line

    # One later GOP a day off (same clock time, other date): the first GOP stands.
    clocks = list(good)
    clocks[2] = (clocks[2][0] - timedelta(days=1), tz)
    path = av.write_avchd(tmp_path / "later.MTS", base_stream, clocks)
    with pytest.warns(RuntimeWarning, match=r"1 of the 4 later GOPs read disagree \(the first of them gives"
                                            r" 2024-05-05 10:20:29\); the first GOP's time is used"):
        assert Tessil.GetRecordTime(path) == [10, 20, 30]

    # Two GOPs that disagree: a tie keeps the first.
    path = av.write_avchd(tmp_path / "tie.MTS", base_stream, [good[0], (start + timedelta(seconds=5), tz)])
    with pytest.warns(RuntimeWarning, match="1 of the 1 later GOPs read disagree"):
        assert Tessil.GetRecordTime(path) == [10, 20, 30]

    # The same instants written in another zone (UTC+1 with DST, an hour later): they agree.
    summer = av.tz_byte(60, dst=True)
    clocks = good[:3] + [(when + timedelta(hours=1), summer) for when, _ in good[3:]]
    assert record_time(av.write_avchd(tmp_path / "zone.MTS", base_stream, clocks)) == ([10, 20, 30], "avchd")

    # The first GOP without a record (as some camcorders write): frame 0 from the next ones.
    clocks = [None] + av.gop_clocks(start, GOPS, tz, 0.3)[1:]
    assert record_time(av.write_avchd(tmp_path / "late.MTS", base_stream, clocks)) == ([10, 20, 30], "avchd")


def test_files_without_a_camcorder_clock_use_the_creation_time(base_stream, tmp_path, monkeypatch):
    start, tz = datetime(2024, 5, 6, 10, 20, 30), av.tz_byte(60)
    plain = av.write_avchd(tmp_path / "plain.MTS", base_stream, [])
    not_bcd, no_month = (av.write_avchd(tmp_path / name, base_stream, av.gop_clocks(start, GOPS, tz),
                                        nal=lambda w, t, month=month: av.raw_mdpm_nal([t, 0x20, 0x24, month],
                                                                                  [6, 0x10, 0x20, 0x30]))
                         for name, month in (("bcd.M2TS", 0x1A), ("month.MTS", 0x13)))
    random_bytes = tmp_path / "random.MTS"
    random_bytes.write_bytes(np.random.default_rng(5).integers(0, 256, 200_000, dtype=np.uint8).tobytes())
    empty = tmp_path / "empty.MTS"
    empty.write_bytes(b"")
    text = tmp_path / "notes.txt"
    text.write_text("no video")
    for path in (plain, not_bcd, no_month, random_bytes, empty, text):
        assert record_time(path) == (Tessil.GetCreatTime(path), "file"), path
    # The fallback is the module's GetCreatTime at call time.
    monkeypatch.setattr(Tessil, "GetCreatTime", lambda path: ["from", os.fspath(path)])
    assert Tessil.GetRecordTime(plain) == ["from", plain]


def test_cut_files_never_crash(zone_files, tmp_path):
    source = pathlib.Path(zone_files[0]["west of UTC"]).read_bytes()
    for size in (100, 188 * 3, 5000, len(source) // 3, len(source) - 1000):
        cut = tmp_path / f"cut{size}.MTS"
        cut.write_bytes(source[:size])
        clock, source_name = record_time(cut)
        if source_name == "avchd":
            assert clock == [14, 5, 9]
        else:
            assert (clock, source_name) == (Tessil.GetCreatTime(cut), "file")
    assert record_time(tmp_path / f"cut{len(source) // 3}.MTS")[1] == "avchd"


@pytest.fixture(scope="module")
def container_files(zone_files, tmp_path_factory, base_stream):
    """MP4 and MOV files with a creation_time, one without, and an MP4 that
    keeps the camcorder's clock in its (length-prefixed) H.264 samples."""
    folder = tmp_path_factory.mktemp("containers")
    plain = av.write_avchd(folder / "plain.MTS", base_stream, [])
    made = {}
    for name, source, stamp in [("phone.mp4", plain, "2024-07-01T02:30:15.250000Z"),
                                ("camera.mov", plain, "2023-01-15T23:10:05Z"),
                                ("bare.mp4", plain, None),
                                ("camcorder.mp4", zone_files[0]["west of UTC"], "2020-02-02T02:02:02Z")]:
        path = str(folder / name)
        metadata = ["-metadata", f"creation_time={stamp}"] if stamp else []
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", source, "-c", "copy", *metadata, path], check=True)
        made[name] = path
    return made


def ffprobe_creation_time(path):
    return subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags=creation_time",
                           "-of", "csv=p=0", path], check=True, capture_output=True, text=True).stdout.strip()


def exiftool_local_create_dates(paths):
    """ExifTool's CreateDate of each file, converted from UTC to the local zone (TZ)."""
    found = subprocess.run(["exiftool", "-j", "-api", "QuickTimeUTC=1", "-d", "%H:%M:%S", "-CreateDate", *paths],
                           check=True, capture_output=True, text=True).stdout
    return {entry["SourceFile"]: entry["CreateDate"] for entry in json.loads(found)}


@pytest.mark.parametrize("zone", ["UTC0", "IST-5:30", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"])
def test_container_creation_time_in_the_local_zone(zone, container_files, local_zone):
    local_zone(zone)
    paths = [container_files["phone.mp4"], container_files["camera.mov"]]
    exiftool = exiftool_local_create_dates(paths)
    for path in paths:
        stamp = ffprobe_creation_time(path)
        utc = calendar.timegm(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S"))
        expected = list(time.localtime(utc)[3:6])
        assert record_time(path) == (expected, "container")
        assert exiftool[path] == "{:02d}:{:02d}:{:02d}".format(*expected)
    assert record_time(container_files["bare.mp4"]) == (Tessil.GetCreatTime(container_files["bare.mp4"]), "file")
    # The camcorder's clock wins over the container's time.
    assert record_time(container_files["camcorder.mp4"]) == ([14, 5, 9], "avchd")


def test_record_time_paths(zone_files, tmp_path):
    source = zone_files[0]["west of UTC"]
    for name in ("12:30 run.MTS", "注水 1.MTS"):  # a colon is no protocol; non-ASCII names
        target = tmp_path / name
        target.write_bytes(pathlib.Path(source).read_bytes())
        assert record_time(target) == ([14, 5, 9], "avchd")
        assert record_time(os.fsencode(target)) == ([14, 5, 9], "avchd")
    missing = tmp_path / "gone.MTS"
    with pytest.raises(FileNotFoundError) as error:
        Tessil.GetRecordTime(missing)
    assert error.value.filename == str(missing)
    with pytest.raises(ValueError):
        Tessil.GetRecordTime(source + "\0.MTS")
    with pytest.raises(TypeError):
        Tessil.GetRecordTime(source, with_sources=True)
    assert Tessil.GetRecordTime(source, 0) == [14, 5, 9]
