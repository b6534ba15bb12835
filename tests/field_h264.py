"""A tiny H.264 writer for field-coded (PAFF) interlaced video, and an
MPEG-TS / M2TS muxer that lays its fields out as camcorders and ffmpeg do.

x264 codes interlaced video only as MBAFF frames; camcorders also write
field pictures (each frame a top and a bottom field, each its own picture).
This writer makes such streams from BGR frames with I_PCM macroblocks (raw
samples, so every decoder reproduces the image exactly) and skipped ones
(copied from the reference field), in a closed GOP of I/P field pairs
followed by pairs of P fields, with pairs of non-reference B fields between
them in display order.  A wrong start of decoding therefore shows: the
skipped parts of a P field come from its references.

mux_ts() writes the fields into MPEG-TS with one PES packet per field (as
ffmpeg writes field pictures) or one per frame (as camcorders do), with
188- or 192-byte packets, any timestamp offset (wrapping at 2**33) and an
optional AC-3 audio stream.
"""
from __future__ import annotations

import pathlib

import cv2
import numpy as np

# ---------------------------------------------------------------- bits


class Bits:
    def __init__(self):
        self.bits = []

    def u(self, n, value):
        for k in range(n - 1, -1, -1):
            self.bits.append((value >> k) & 1)

    def ue(self, value):
        value += 1
        n = value.bit_length()
        self.u(n - 1, 0)
        self.u(n, value)

    def se(self, value):
        self.ue(2 * value - 1 if value > 0 else -2 * value)

    def align_zero(self):
        while len(self.bits) % 8:
            self.bits.append(0)

    def raw(self, data: bytes):
        assert len(self.bits) % 8 == 0
        for byte in data:
            self.u(8, byte)

    def trailing(self):
        self.bits.append(1)
        self.align_zero()

    def tobytes(self):
        assert len(self.bits) % 8 == 0
        return np.packbits(np.array(self.bits, np.uint8)).tobytes()


def nal(ref_idc, kind, payload: bytes) -> bytes:
    """An Annex B NAL unit with emulation prevention."""
    out = bytearray()
    zeros = 0
    for byte in payload:
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return b"\x00\x00\x00\x01" + bytes([(ref_idc << 5) | kind]) + bytes(out)


# ---------------------------------------------------------------- stream


LOG2_FRAME_NUM = 4
LOG2_POC_LSB = 16


def _sps(width_mbs, field_height_mbs, crop_bottom_rows, fps):
    b = Bits()
    b.u(8, 77)  # Main profile: field coding needs it
    b.u(8, 0)
    b.u(8, 30)
    b.ue(0)  # sps id
    b.ue(LOG2_FRAME_NUM - 4)
    b.ue(0)  # pic_order_cnt_type
    b.ue(LOG2_POC_LSB - 4)
    b.ue(2)  # max_num_ref_frames
    b.u(1, 0)
    b.ue(width_mbs - 1)
    b.ue(field_height_mbs - 1)  # map units are field macroblock rows
    b.u(1, 0)  # frame_mbs_only_flag: fields allowed
    b.u(1, 0)  # no MBAFF
    b.u(1, 1)  # direct_8x8_inference
    if crop_bottom_rows:
        b.u(1, 1)
        b.ue(0), b.ue(0), b.ue(0)
        b.ue(crop_bottom_rows // 4)  # crop unit: 2 chroma rows x 2 fields
    else:
        b.u(1, 0)
    b.u(1, 1)  # VUI: timing only
    b.u(1, 0), b.u(1, 0), b.u(1, 0), b.u(1, 0)
    b.u(1, 1)  # timing_info_present
    b.u(32, 1000)
    b.u(32, int(round(fps * 2000)))  # one tick per field
    b.u(1, 1)  # fixed_frame_rate
    b.u(1, 0), b.u(1, 0), b.u(1, 0), b.u(1, 0)
    b.u(1, 0)  # bitstream_restriction
    b.trailing()
    return nal(3, 7, b.tobytes())


def _pps():
    b = Bits()
    b.ue(0), b.ue(0)
    b.u(1, 0)  # CAVLC
    b.u(1, 0)
    b.ue(0)  # one slice group
    b.ue(0), b.ue(0)  # one reference per list
    b.u(1, 0), b.u(2, 0)
    b.se(0), b.se(0), b.se(0)
    b.u(1, 1)  # deblocking control present
    b.u(1, 0), b.u(1, 0)
    b.trailing()
    return nal(3, 8, b.tobytes())


def _aud():
    b = Bits()
    b.u(3, 7)
    b.trailing()
    return nal(0, 9, b.tobytes())


def _to_yuv(frame, width, height):
    padded = np.zeros((height, width, 3), np.uint8)
    padded[:frame.shape[0], :frame.shape[1]] = frame
    yuv = cv2.cvtColor(padded, cv2.COLOR_BGR2YUV_I420)
    y = yuv[:height]
    u = yuv[height:height + height // 4].reshape(height // 2, width // 2)
    v = yuv[height + height // 4:].reshape(height // 2, width // 2)
    return y, u, v


def _pcm(planes, mx, my):
    y, u, v = planes
    return (y[16 * my:16 * my + 16, 16 * mx:16 * mx + 16].tobytes()
            + u[8 * my:8 * my + 8, 8 * mx:8 * mx + 8].tobytes()
            + v[8 * my:8 * my + 8, 8 * mx:8 * mx + 8].tobytes())


def _field_slice(kind, idr, ref, frame_num, poc, bottom, planes, coded, idr_id):
    """One field picture as one slice.  kind: 'I', 'P' or 'B'; `coded` is a
    boolean macroblock map (True: I_PCM, False: skipped; I slices code all)."""
    b = Bits()
    b.ue(0)  # first_mb_in_slice
    b.ue({"P": 0, "B": 1, "I": 2}[kind])
    b.ue(0)
    b.u(LOG2_FRAME_NUM, frame_num % (1 << LOG2_FRAME_NUM))
    b.u(1, 1)  # field_pic_flag
    b.u(1, bottom)
    if idr:
        b.ue(idr_id)
    b.u(LOG2_POC_LSB, poc % (1 << LOG2_POC_LSB))
    if kind == "B":
        b.u(1, 1)  # spatial direct
    if kind in "PB":
        b.u(1, 0)  # no num_ref_idx override
        b.u(1, 0)  # list 0 unmodified
        if kind == "B":
            b.u(1, 0)
    if ref:
        if idr:
            b.u(1, 0), b.u(1, 0)
        else:
            b.u(1, 0)  # sliding window
    b.se(0)  # slice_qp_delta
    b.ue(1)  # no deblocking
    rows, cols = coded.shape
    skipped = 0
    pcm_type = {"I": 25, "P": 30, "B": 48}[kind]
    for my in range(rows):
        for mx in range(cols):
            if kind == "P" and not coded[my, mx]:
                skipped += 1
                continue
            if kind != "I":
                b.ue(skipped)
                skipped = 0
            b.ue(pcm_type)
            b.align_zero()
            b.raw(_pcm(planes, mx, my))
    if skipped:
        b.ue(skipped)
    b.trailing()
    return nal(2 if ref else 0, 5 if idr else 1, b.tobytes())


def encode_fields(frames, fps=25.0, gop=12, bframes=2, changing=None):
    """Field pictures of `frames` (BGR, all one size) in decode order.

    Returns a list of dicts, one per field: data (Annex B bytes, with an
    access unit delimiter; parameter sets before every I field), display
    (frame number in display order), bottom, key (an IDR field) and
    reference.  `changing(h, w)` gives the macroblock map of the parts P
    fields code afresh (default: the top quarter, where frame numbers are
    drawn, plus a moving column); the rest of a P field is copied from the
    previous reference field of its parity."""
    frames = list(frames)
    height0, width0 = frames[0].shape[:2]
    width = (width0 + 15) // 16 * 16
    height = (height0 + 31) // 32 * 32
    cols, field_rows = width // 16, height // 32
    sps = _sps(cols, field_rows, height - height0, fps)
    pps = _pps()

    def p_map(display):
        coded = np.zeros((field_rows, cols), bool)
        if changing is None:
            coded[:max(1, field_rows // 4 + 1)] = True
            coded[:, display % cols] = True
        else:
            coded |= changing(field_rows, cols, display)
        return coded

    # Display order within each GOP: I B B P B B P ...; decode order puts
    # each P before the B pairs that precede it in display.
    order = []
    n = len(frames)
    for start in range(0, n, gop):
        end = min(start + gop, n)
        order.append((start, "I"))
        anchor = start
        while anchor < end - 1:
            nxt = min(anchor + bframes + 1, end - 1)
            order.append((nxt, "P"))
            for d in range(anchor + 1, nxt):
                order.append((d, "B"))
            anchor = nxt
    fields = []
    frame_num = 0
    idr_id = 0
    prev_ref_frame_num = 0
    for display, kind in order:
        planes = _to_yuv(frames[display], width, height)
        field_planes = [tuple(p[parity::2] for p in planes) for parity in (0, 1)]
        if kind == "I":
            frame_num = 0
        else:
            frame_num = prev_ref_frame_num + 1
        for bottom in (0, 1):
            if kind == "I":
                field_kind = "I" if bottom == 0 else "P"
            else:
                field_kind = kind
            idr = kind == "I" and bottom == 0
            ref = kind != "B"
            coded = np.ones((field_rows, cols), bool) if field_kind in "IB" else p_map(display)
            poc = 4 * (display - (display // gop) * gop) + bottom
            data = _field_slice(field_kind, idr, ref, frame_num, poc, bottom,
                                field_planes[bottom], coded, idr_id)
            head = _aud() + (sps + pps if idr else b"")
            fields.append(dict(data=head + data, display=display, bottom=bottom, key=idr, reference=ref))
        if kind == "I":
            idr_id = (idr_id + 1) % 16
        if kind != "B":
            prev_ref_frame_num = frame_num
    return fields


# ---------------------------------------------------------------- MPEG-TS

TS_CLOCK = 90000
WRAP = 1 << 33


def _crc32_mpeg(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc


def _section(table_id, ext, body: bytes) -> bytes:
    length = len(body) + 5 + 4
    head = bytes([table_id, 0xB0 | (length >> 8), length & 0xFF, ext >> 8, ext & 0xFF, 0xC1, 0, 0])
    crc = _crc32_mpeg(head + body)
    return head + body + crc.to_bytes(4, "big")


def _timestamp(prefix, value):
    value %= WRAP
    return bytes([(prefix << 4) | (((value >> 30) & 7) << 1) | 1,
                  (value >> 22) & 0xFF, (((value >> 15) & 0x7F) << 1) | 1,
                  (value >> 7) & 0xFF, ((value & 0x7F) << 1) | 1])


def _pes(stream_id, payload, pts, dts=None, bounded=False):
    if dts is None or dts == pts:
        header = bytes([0x80, 0x80, 5]) + _timestamp(2, pts)
    else:
        header = bytes([0x80, 0xC0, 10]) + _timestamp(3, pts) + _timestamp(1, dts)
    length = len(header) + len(payload)
    size = length if bounded and length < 65536 else 0
    return b"\x00\x00\x01" + bytes([stream_id, size >> 8, size & 0xFF]) + header + payload


class _Muxer:
    def __init__(self, m2ts):
        self.out = bytearray()
        self.counters = {}
        self.m2ts = m2ts
        self.clock = 0

    def packets(self, pid, data, pcr=None, random_access=False):
        first = True
        while data or first:
            adaptation = b""
            if first and (pcr is not None or random_access):
                flags = (0x40 if random_access else 0) | (0x10 if pcr is not None else 0)
                field = bytes([flags])
                if pcr is not None:
                    base = pcr % WRAP
                    field += bytes([(base >> 25) & 0xFF, (base >> 17) & 0xFF, (base >> 9) & 0xFF,
                                    (base >> 1) & 0xFF, ((base & 1) << 7) | 0x7E, 0])
                adaptation = field
            room = 184 - (len(adaptation) + 1 if adaptation else 0)
            chunk, data = data[:room], data[room:]
            if len(chunk) < room:  # stuff the adaptation field to fill the packet
                missing = room - len(chunk)
                if not adaptation:
                    adaptation = b"" if missing == 1 else b"\x00" + b"\xff" * (missing - 2)
                    if missing == 1:
                        adaptation = None
                else:
                    adaptation += b"\xff" * missing
            counter = self.counters.get(pid, 0)
            self.counters[pid] = (counter + 1) % 16
            if adaptation is None:  # one byte to stuff: an empty adaptation field
                head = bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x30 | counter, 0])
                packet = head + chunk
            elif adaptation:
                head = bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x30 | counter,
                              len(adaptation)])
                packet = head + adaptation + chunk
            else:
                head = bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x10 | counter])
                packet = head + chunk
            assert len(packet) == 188, len(packet)
            if self.m2ts:
                self.out += (self.clock % (1 << 30)).to_bytes(4, "big")
            self.out += packet
            first = False


VIDEO_PID, AUDIO_PID, PMT_PID = 0x1011, 0x1100, 0x0100


def _tables(audio):
    pat = _section(0, 1, bytes([0, 1, 0xE0 | (PMT_PID >> 8), PMT_PID & 0xFF]))
    streams = bytes([0x1B, 0xE0 | (VIDEO_PID >> 8), VIDEO_PID & 0xFF, 0xF0, 0])
    if audio:
        streams += bytes([0x81, 0xE0 | (AUDIO_PID >> 8), AUDIO_PID & 0xFF, 0xF0, 0])
    pmt = _section(2, 1, bytes([0xE0 | (VIDEO_PID >> 8), VIDEO_PID & 0xFF, 0xF0, 0]) + streams)
    return b"\x00" + pat, b"\x00" + pmt


def ac3_frames(path):
    """The sync frames of a raw AC-3 file (as `ffmpeg -f ac3` writes)."""
    sizes48 = [64, 64, 80, 80, 96, 96, 112, 112, 128, 128, 160, 160, 192, 192, 224, 224, 256, 256,
               320, 320, 384, 384, 448, 448, 512, 512, 640, 640, 768, 768, 896, 896, 1024, 1024,
               1152, 1152, 1280, 1280]
    data = pathlib.Path(path).read_bytes()
    frames, pos = [], 0
    while pos + 5 <= len(data) and data[pos:pos + 2] == b"\x0b\x77":
        size = 2 * sizes48[data[pos + 4] & 0x3F]
        frames.append(data[pos:pos + size])
        pos += size
    return frames


def mux_ts(path, fields, fps=25.0, per_field=True, m2ts=False, start=TS_CLOCK, audio_frames=()):
    """Writes `fields` (from encode_fields) as MPEG-TS.

    per_field: one PES packet per field, each with its own time stamps (the
    second field half a frame later); otherwise one PES per frame with both
    fields.  `start` is the first presentation time in 90 kHz ticks (taken
    modulo 2**33 as the stream carries it).  AC-3 `audio_frames` (1536
    samples at 48 kHz each) are interleaved by time."""
    frame_ticks = TS_CLOCK / fps
    bframes = max((f["display"] - d["display"] for f, d in zip(fields[1:], fields)), default=0)
    delay = 2 * frame_ticks  # decode ahead of display by the reordering delay
    units = []  # (dts, pid, pes, pcr, random access)
    # Decode order position of each frame gives its dts.
    pairs = [fields[k:k + 2] for k in range(0, len(fields), 2)]
    for number, pair in enumerate(pairs):
        dts = start - delay + number * frame_ticks
        pts = start + pair[0]["display"] * frame_ticks
        key = pair[0]["key"]
        if per_field:
            for k, field in enumerate(pair):
                offset = k * frame_ticks / 2
                units.append((dts + offset, VIDEO_PID, _pes(0xE0, field["data"], round(pts + offset),
                                                             round(dts + offset)), key and k == 0))
        else:
            units.append((dts, VIDEO_PID, _pes(0xE0, pair[0]["data"] + pair[1]["data"], round(pts),
                                               round(dts)), key))
    del bframes
    audio_ticks = 1536 * TS_CLOCK / 48000
    for number, frame in enumerate(audio_frames):
        t = start + number * audio_ticks
        units.append((t - delay / 2, AUDIO_PID, _pes(0xBD, frame, round(t), bounded=True), False))
    units.sort(key=lambda unit: unit[0])
    mux = _Muxer(m2ts)
    pat, pmt = _tables(bool(audio_frames))
    for k, (t, pid, pes, key) in enumerate(units):
        mux.clock = int(t * 300) % (1 << 30)
        if k % 20 == 0 or key:
            mux.packets(0, pat)
            mux.packets(PMT_PID, pmt)
        pcr = round(t - frame_ticks) if pid == VIDEO_PID else None
        mux.packets(pid, pes, pcr=pcr, random_access=key)
    with open(path, "wb") as f:
        f.write(mux.out)
    return path
