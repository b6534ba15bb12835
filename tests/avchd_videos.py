"""Camcorder-like AVCHD files for the recording-time tests.

An H.264 Annex-B stream is encoded once by ffmpeg (libx264, 64x48, a fixed
I B B P ... pattern and closed GOPs of `GOP` frames), the camcorder's MDPM
clock is written as an SEI NAL unit into every keyframe's access unit, and
the stream is muxed with `ffmpeg -c copy -f mpegts` (-mpegts_m2ts_mode 1 for
.M2TS). ExifTool reads the clocks back (`exiftool_times`).
"""
import json
import os
import re
import subprocess
from datetime import datetime, timedelta

FPS = 25
GOP = 10          # frames per GOP: 0.4 s, so later GOPs fall between whole seconds
TICKS = 90000 // FPS
MDPM_UUID = bytes.fromhex("17EE8C60F84D11D98CD60800200C9A66")


def bcd(value):
    return ((value // 10) << 4) | (value % 10)


def tz_byte(offset_minutes, dst=False):
    """The MDPM zone byte of a standard offset from UTC (minutes, west < 0)."""
    hours, half = divmod(abs(offset_minutes), 60)
    assert half in (0, 30)
    return (0x40 if dst else 0) | (0x20 if offset_minutes < 0 else 0) | (hours << 1) | (1 if half else 0)


def mdpm_payload(when, tz, extra_tags=()):
    """user_data_unregistered payload: UUID, "MDPM", the count, the entries in
    the order of their tags; `extra_tags` get entries of four zero bytes."""
    entries = {tag: bytes(4) for tag in extra_tags}
    entries[0x18] = bytes([tz, bcd(when.year // 100), bcd(when.year % 100), bcd(when.month)])
    entries[0x19] = bytes([bcd(when.day), bcd(when.hour), bcd(when.minute), bcd(when.second)])
    return MDPM_UUID + b"MDPM" + bytes([len(entries)]) + b"".join(
        bytes([tag]) + entries[tag] for tag in sorted(entries))


def sei_message(payload_type, payload):
    header = bytearray()
    for value in (payload_type, len(payload)):
        while value >= 255:
            header.append(255)
            value -= 255
        header.append(value)
    return bytes(header) + payload


def escape(rbsp):
    """Emulation prevention: 03 after every 00 00 that precedes a byte <= 03."""
    out, zeros = bytearray(), 0
    for byte in rbsp:
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def sei_nal(*messages):
    return b"\x00\x00\x00\x01\x06" + escape(b"".join(messages) + b"\x80")


def mdpm_nal(when, tz, **options):
    return sei_nal(sei_message(5, mdpm_payload(when, tz, **options)))


def raw_mdpm_nal(date, clock):
    """An MDPM SEI NAL of the raw bytes TZ YY YY MM (`date`) and DD hh mm ss (`clock`)."""
    payload = MDPM_UUID + b"MDPM" + bytes([2, 0x18, *date, 0x19, *clock])
    return sei_nal(sei_message(5, payload))


def encode_base(path, gops):
    """An Annex-B stream of `gops` GOPs; checks the frame pattern that
    `mux` relies on for the timestamps."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc=size=64x48:rate={FPS}",
                    "-frames:v", str(gops * GOP), "-c:v", "libx264", "-g", str(GOP), "-bf", "2",
                    "-x264-params", "b-adapt=0:b-pyramid=none:scenecut=0:open-gop=0:keyint_min=1",
                    "-pix_fmt", "yuv420p", "-f", "h264", str(path)], check=True)
    types = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=pict_type", "-of", "csv=p=0",
                            str(path)], check=True, capture_output=True, text=True).stdout.split()
    types = [t.strip(",") for t in types]
    assert types == (["I"] + ["B", "B", "P"] * ((GOP - 1) // 3)) * gops, types
    return path


def access_units(stream):
    """The Annex-B stream split into access units, each a list of NAL units
    (with their start codes); a new unit starts at an SPS or a slice that
    does not follow an SPS/PPS/SEI of the same unit."""
    starts = [m.start() for m in re.finditer(b"\x00\x00\x01", stream)]
    starts = [s - 1 if s > 0 and stream[s - 1] == 0 else s for s in starts]
    nals = [stream[a:b] for a, b in zip(starts, starts[1:] + [len(stream)])]
    units, current = [], []
    for nal in nals:
        kind = nal[nal.index(b"\x00\x00\x01") + 3] & 0x1F
        if current and (kind in (7, 9) or (kind in (1, 5) and any(k in (1, 5) for k in map(nal_type, current)))):
            units.append(current)
            current = []
        current.append(nal)
    units.append(current)
    return units


def nal_type(nal):
    return nal[nal.index(b"\x00\x00\x01") + 3] & 0x1F


def with_clocks(stream, keyframe_seis, place="before_slice"):
    """The stream with keyframe_seis[k] (bytes of NAL units, or None) inserted
    into the access unit of keyframe k: before its slice, or first in the unit."""
    out, k = bytearray(), 0
    for unit in access_units(stream):
        if any(nal_type(n) == 5 for n in unit):
            extra = keyframe_seis[k] if k < len(keyframe_seis) else None
            k += 1
            if extra:
                at = 0 if place == "first" else next(i for i, n in enumerate(unit) if nal_type(n) == 5)
                unit = unit[:at] + [extra] + unit[at:]
        out += b"".join(unit)
    return bytes(out)


def mux(stream, path):
    """`stream` in MPEG-TS (.MTS) or BDAV M2TS (.M2TS), with the timestamps of
    the I B B P pattern (pts in display order, dts in decoding order)."""
    path = str(path)
    raw = path + ".264"
    with open(raw, "wb") as out:
        out.write(stream)
    g = GOP
    j = f"mod(N\\,{g})"
    pts = f"({g}*trunc(N/{g})+if(eq({j}\\,0)\\,0\\,if(eq(mod({j}-1\\,3)\\,0)\\,{j}+2\\,{j}-1)))*{TICKS}"
    m2ts = ["-mpegts_m2ts_mode", "1"] if path.lower().endswith(".m2ts") else []
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "h264", "-i", raw, "-c", "copy",
                    "-bsf:v", f"setts=pts={pts}:dts=(N-1)*{TICKS}:time_base=1/90000",
                    "-f", "mpegts", *m2ts, path], check=True)
    os.remove(raw)
    return path


def gop_clocks(start, count, tz, fraction=0.0):
    """The clock of each of `count` GOPs of a recording whose frame 0 was shot
    at `start` plus `fraction` of a second: whole seconds, as a camcorder counts."""
    return [(start + timedelta(seconds=int(fraction + k * GOP / FPS)), tz) for k in range(count)]


def write_avchd(path, base, clocks, nal=mdpm_nal, place="before_slice"):
    """`base` muxed to `path` with the SEI NAL unit nal(datetime, tz byte) of
    clocks[k] (None: nothing) in the access unit of keyframe k."""
    return mux(with_clocks(base, [nal(*clock) if clock else None for clock in clocks], place), path)


def exiftool_times(paths):
    """{path: [DateTimeOriginal of each embedded MDPM record, in stream order]}
    as ExifTool reports them ("2024:03:10 14:05:09-05:00 DST")."""
    result = subprocess.run(["exiftool", "-j", "-ee", "-G3", "-DateTimeOriginal", *map(str, paths)],
                            capture_output=True, text=True)
    found = {}
    for entry in json.loads(result.stdout):
        tags = {k: v for k, v in entry.items() if k.endswith(":DateTimeOriginal")}
        order = sorted(tags, key=lambda k: -1 if k.startswith("Main:") else int(k[3:k.index(":")]))
        found[entry["SourceFile"]] = [tags[k] for k in order]
    return found


def clock_of(exiftool_time):
    """[hour, minute, second] of an ExifTool date/time."""
    moment = datetime.strptime(exiftool_time[:19], "%Y:%m:%d %H:%M:%S")
    return [moment.hour, moment.minute, moment.second]
