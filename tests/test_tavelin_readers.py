"""Tavelin's frame readers: exact frames from every container, clip layouts,
lost frames, time stamps, and the image-folder readers."""
import os

import cv2
import numpy as np
import pytest
import samples
import Tavelin

CONTAINERS = (".avi", ".MTS", ".mp4")
START = [10, 0, 0]


def videos_of(paths):
    return [Tavelin.Video(p, list(START)) for p in paths]


def indices(frames):
    return [samples.read_index(f) for f in frames]


@pytest.mark.parametrize("container", CONTAINERS)
def test_get_frame_index_reads_exact_frames_of_every_window(recordings, container, capsys):
    videos = videos_of(recordings[container])  # files 1, 2, 3 of 60, 45 and 70 frames
    clips = [Tavelin.Clip(0, 1, 1, 0, 1, 2, 0.5),   # 0:01 of file 1 to 0:01 of file 2
             Tavelin.Clip(0, 1, 2, 0, 1, 2, 1.0),   # inside file 2: 0:01 to the end of 0:01
             Tavelin.Clip(0, 0, 3, 0, 0, 3, 2.0)]   # the whole of file 3
    frames, captures = Tavelin.GetFrameIndex(clips, videos, 7)
    expected = ([(0, f) for f in range(25, 60, 7)] + [(1, f) for f in range(0, 45, 7)] +
                [(1, f) for f in range(25, 45, 7)] + [(2, f) for f in range(0, 70, 7)])
    assert indices(frames) == expected
    assert [(c.iClip, c.iVideo, c.iFrame) for c in captures] == (
        [(1, 1, f) for f in range(25, 60, 7)] + [(1, 2, f) for f in range(0, 45, 7)] +
        [(2, 2, f) for f in range(25, 45, 7)] + [(3, 3, f) for f in range(0, 70, 7)])
    assert all(c.frame is f for c, f in zip(captures, frames))
    assert [c.InjRate for c in captures[:2]] == [0.5, 0.5] and captures[-1].InjRate == 2.0
    assert captures[1].time == [10.0, 0.0, 32 / 25] and captures[1].name == "1-0-32"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("container", CONTAINERS)
def test_frames_equal_those_opencv_reads_forward(recordings, container):
    path = recordings[container][2]
    capture = cv2.VideoCapture(path)
    forward = [capture.read()[1] for _ in range(70)]
    capture.release()
    frames, _ = Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 2.76, 0, 0)], videos_of([path]), 3)
    assert len(frames) == 24
    for k, frame in enumerate(frames):
        assert np.array_equal(frame, forward[3 * k])


@pytest.mark.parametrize("container", CONTAINERS)
def test_get_frame_index2_counts_the_step_across_files(recordings, container, capsys):
    videos = videos_of(recordings[container])
    clips = [Tavelin.Clip(0, 1, 0, 0, 1, 2, 3),   # frame 25.0 of file 0 to frame 25.0 of file 2
             Tavelin.Clip(0, 0.2, 1, 0, 1, 1, 4)]  # inside file 1: frames 5.0 to 25.0
    frames, captures = Tavelin.GetFrameIndex2(clips, videos, 10)
    expected = ([(0, f) for f in (25, 35, 45, 55)] + [(1, f) for f in (5, 15, 25, 35)] + [(2, f) for f in (0, 10, 20)] +
                [(1, f) for f in (5, 15, 25)])
    assert indices(frames) == expected
    assert [(c.iClip, c.iVideo, c.iFrame) for c in captures] == [(1 if k < 11 else 2, v, float(f))
                                                                   for k, (v, f) in enumerate(expected)]
    assert all(type(c.iFrame) is float for c in captures)  # floats from the frame rate stay floats
    assert captures[0].time == [10.0, 0.0, 1.0] and captures[0].name == "0-0-25.0"
    assert all(c.frame is f for c, f in zip(captures, frames))
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "[  0  60 105 175]" and out[1:5] == ["25.0", "35.0", "45.0", "55.0"]


@pytest.mark.parametrize("container", CONTAINERS)
def test_stepped_and_repeated_access_stays_exact(recordings, container):
    # Far jumps, steps across groups of pictures and the first frames, in one file.
    videos = videos_of(recordings[container][2:])
    clips = [Tavelin.Clip(0, 2, 0, 0, 2.76, 0, 0), Tavelin.Clip(0, 0, 0, 0, 0.04, 0, 0),
             Tavelin.Clip(0, 0.5, 0, 0, 2.0, 0, 0)]
    frames, _ = Tavelin.GetFrameIndex2(clips, videos, 25)
    assert [i for _, i in indices(frames)] == [50, 0, 12, 37]


def test_lost_frames_in_get_frame_index(recordings, capsys):
    videos = videos_of(recordings[".MTS"][:1])
    videos[0].Frame_Count = 80  # the file has 60: frames 60 and 70 cannot be read
    frames, captures = Tavelin.GetFrameIndex([Tavelin.Clip(0, 2, 1, 0, 0, 1, 0)], videos, 10)
    assert [c.iFrame if c else None for c in captures] == [50, None, None]
    assert [i for _, i in indices(frames)] == [50, 0, 0]  # fillers: the file's first frame
    assert frames[1] is frames[2]
    assert capsys.readouterr().out == "60\n70\n"


def test_lost_frames_in_get_frame_index2(recordings, tmp_path, capsys):
    small = samples.write_video(tmp_path / "small.avi", 20, 5, size=(80, 60))
    videos = videos_of([small, recordings[".avi"][0]])
    videos[0].Frame_Count = 40  # the small file has 20 frames
    clips = [Tavelin.Clip(0, 1, 0, 0, 1.2, 0, 0),  # frames 25.0 and 30.0: lost before any read
             Tavelin.Clip(0, 2, 1, 0, 2, 1, 0),    # frame 50.0 of the 160x120 file
             Tavelin.Clip(0, 0.6, 0, 0, 1, 0, 0)]  # frames 15.0, 20.0 and 25.0 of the small file
    frames, captures = Tavelin.GetFrameIndex2(clips, videos, 5)
    assert len(frames) == len(captures) == 6
    white = [k for k, f in enumerate(frames) if (f == 255).all()]
    assert white == [0, 1, 4, 5]
    # Before any frame was read the stand-in has the file's size, later the last frame's.
    assert [f.shape[:2] for f in frames] == [(60, 80)] * 2 + [(120, 160)] + [(60, 80)] * 3
    assert indices([frames[2], frames[3]]) == [(0, 50), (5, 15)]
    assert [hasattr(c, "frame") for c in captures] == [False, False, True, True, False, False]
    out = capsys.readouterr().out.splitlines()
    assert out[1:5] == ["25.0", "------------Lost one frame at No. 0/2-------------",
                        "30.0", "------------Lost one frame at No. 1/2-------------"]
    assert out[-4:] == ["20.0", "------------Lost one frame at No. 1/3-------------",
                        "25.0", "------------Lost one frame at No. 2/3-------------"]


def test_clip_order_is_checked_before_reading(recordings):
    videos = videos_of(recordings[".avi"])
    bad = [
        [Tavelin.Clip(0, 0, 2, 0, 0, 1, 0)],                                   # ends before it starts
        [Tavelin.Clip(0, 0, 1.5, 0, 0, 2, 0)],                                 # not an integer file
        [Tavelin.Clip(0, 0, 2, 0, 0, 3, 0), Tavelin.Clip(0, 0, 1, 0, 1, 3, 0)],  # out of order
    ]
    for clips in bad:
        with pytest.raises(ValueError, match="clip"):
            Tavelin.GetFrameIndex(clips, videos, 10)
    frames, captures = Tavelin.GetFrameIndex([Tavelin.Clip(0, 0, 2.0, 0, 0, 2, 0)], videos, 20)
    assert [i for _, i in indices(frames)] == [0, 20, 40]
    # A clip beyond the files is named; an empty clip list fails at the first file.
    with pytest.raises(ValueError, match=r"clip 0 \(files 4 to 4\) names file 4, but the 3 videos are files 1 to 3"):
        Tavelin.GetFrameIndex([Tavelin.Clip(0, 0, 4, 0, 0, 4, 0)], videos, 10)
    with pytest.raises(IndexError):
        Tavelin.GetFrameIndex([], videos, 10)
    assert Tavelin.GetFrameIndex([], [], 10) == ([], [])


def test_unreadable_file_is_named(recordings, tmp_path):
    with pytest.raises(FileNotFoundError):
        Tavelin.Video(str(tmp_path / "none.MTS"), [1, 0, 0])
    (tmp_path / "text.MTS").write_text("not a video")
    video = Tavelin.Video(str(tmp_path / "text.MTS"), [1, 0, 0])
    assert video.FPS == 0
    video.Frame_Count = 10
    with pytest.raises(OSError) as error:
        Tavelin.GetFrameIndex([Tavelin.Clip(0, 0, 1, 0, 0, 1, 0)], [video], 5)
    assert error.value.filename == str(tmp_path / "text.MTS")


@pytest.mark.parametrize("container", CONTAINERS)
def test_get_frames_multi_on_the_callers_capture(recordings, container):
    path = recordings[container][2]
    video = Tavelin.Video(path, list(START))
    clips = [Tavelin.Clip(0, 0, 1, 0, 0, 1, 0.25)]
    capture = cv2.VideoCapture(path)
    for number in [0, 3, 4, 30, 10, 2, 60, 61, 69, 5, 0]:
        frame, record = Tavelin.GetFrames_multi(capture, video, number, 0, 1, clips)
        assert samples.read_index(frame) == (2, number)
        assert record.frame is frame and record.iFrame == number and record.InjRate == 0.25
    assert capture.isOpened()
    frame, record = Tavelin.GetFrames_multi(capture, video, 70, 0, 1, clips)
    assert frame is None and record.frame is None


def test_extract_from_videos(recordings, capsys):
    paths = recordings[".MTS"]
    assert Tavelin.ExtractFromVideos([]) is False
    frames = Tavelin.ExtractFromVideos(paths, 0.4, 0, 1, 0, 2)  # every 10 frames
    expected = [(0, f) for f in (25, 35, 45, 55)] + [(1, f) for f in range(0, 45, 10)] + \
               [(2, f) for f in range(0, 70, 10)]
    assert indices(frames) == expected
    assert indices(Tavelin.ExtractFromVideos(videos_of(paths), 0.4, 0, 1, 0, 2)) == expected
    with pytest.raises(ValueError):
        Tavelin.ExtractFromVideos(paths)  # a time step of 0 frames


def test_image2capture(tmp_path):
    images = [samples.frame_image(k) for k in range(3)]
    paths = samples.write_image_folder(tmp_path, images, extension=".png")
    frames, captures = Tavelin.Image2Capture(paths)
    assert [samples.read_index(f) for f in frames] == [(0, 0), (0, 1), (0, 2)]
    for path, frame, capture in zip(paths, frames, captures):
        assert capture.frame is frame and capture.time == Tavelin.GetCreatTime(path)
        assert (capture.iClip, capture.iVideo, capture.iFrame, capture.InjRate) == (2, 0, 0, 0)
    assert Tavelin.Image2Capture([]) == ([], [])
    with pytest.raises(FileNotFoundError):
        Tavelin.Image2Capture([str(tmp_path / "none.png")])


def read_video(path):
    capture = cv2.VideoCapture(path)
    return samples.read_frames(path), capture.get(cv2.CAP_PROP_FPS), capture.get(cv2.CAP_PROP_FOURCC)


def test_img2video_orders_by_modification_time(tmp_path):
    folder = tmp_path / "stills"
    paths = samples.write_image_folder(folder, [samples.frame_image(k) for k in range(3)],
                                       extension=".png", mtimes=[1_000_002, 1_000_001, 1_000_003])
    (folder / "notes").mkdir()
    (folder / "readme.txt").write_text("not an image")
    assert Tavelin.Img2Video(str(folder), 12.5) is None
    frames, fps, fourcc = read_video(str(folder / "Video.mp4"))
    assert [samples.read_index(f)[1] for f in frames] == [1, 0, 2] and fps == 12.5
    assert int(fourcc).to_bytes(4, "little") == b"mp4v"
    # A second run skips its own earlier video; crop changes nothing.
    Tavelin.Img2Video(folder, 12.5, (0, 0, 10, 10))
    assert [samples.read_index(f)[1] for f in read_video(str(folder / "Video.mp4"))[0]] == [1, 0, 2]
    assert len(os.listdir(folder)) == len(paths) + 3


def test_img2video_failures(tmp_path):
    with pytest.raises(FileNotFoundError):
        Tavelin.Img2Video(str(tmp_path / "missing"), 25)
    (tmp_path / "empty").mkdir()
    with pytest.raises(ValueError, match="empty"):
        Tavelin.Img2Video(str(tmp_path / "empty"), 25)
    mixed = tmp_path / "mixed"
    samples.write_image_folder(mixed, [samples.frame_image(0), samples.frame_image(1, size=(80, 60))],
                               extension=".png", mtimes=[1, 2])
    with pytest.raises(ValueError, match="img001.png"):
        Tavelin.Img2Video(str(mixed), 25)
    assert len(read_video(str(mixed / "Video.mp4"))[0]) == 1  # the frames before it are kept
    blocked = tmp_path / "blocked"
    samples.write_image_folder(blocked, [samples.frame_image(0)], extension=".png")
    (blocked / "Video.mp4").mkdir()
    with pytest.raises(OSError) as error:
        Tavelin.Img2Video(str(blocked), 25)
    assert error.value.filename == str(blocked / "Video.mp4")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def capture_fields(capture):
    return {key: value for key, value in vars(capture).items() if key != "frame"}


@pytest.mark.parametrize("lost", [False, True])
def test_iter_frames_gives_what_get_frame_index2_gives(recordings, tmp_path, capsys, lost):
    paths = recordings[".MTS"]
    if lost:  # lost frames before and after a frame was read, and a file read twice
        paths = [samples.write_video(tmp_path / "small.avi", 20, 5, size=(80, 60))] + paths[:1]
    videos = videos_of(paths)
    videos[0].Frame_Count += 20 * lost
    clips = [Tavelin.Clip(0, 1, 0, 0, 1.2, 0, 0), Tavelin.Clip(0, 0.6, 0, 0, 1, 1, 0.5),
             Tavelin.Clip(0, 0, 1, 0, 1.6, 1, 2)]
    frames, captures = Tavelin.GetFrameIndex2(clips, videos, 5)
    listed = capsys.readouterr().out
    pairs = list(Tavelin.IterFrames(clips, videos, 5))
    assert capsys.readouterr().out == listed
    assert len(pairs) == len(frames) > 10
    for (frame, capture), expected_frame, expected in zip(pairs, frames, captures):
        assert np.array_equal(frame, expected_frame)
        assert capture_fields(capture) == capture_fields(expected)
        assert hasattr(capture, "frame") == hasattr(expected, "frame")
        if hasattr(capture, "frame"):
            assert capture.frame is frame
    assert any((f == 255).all() for f, _ in pairs) == lost


def test_iter_frames_holds_one_frame_at_a_time_and_closes_its_file(recordings):
    import gc
    import weakref
    videos = videos_of(recordings[".MTS"])
    clips = [Tavelin.Clip(0, 0, 0, 0, 1, 2, 0)]
    before = open_descriptors()
    alive = []
    for frame, capture in Tavelin.IterFrames(clips, videos, 4):
        alive.append(weakref.ref(frame))
        del capture.frame, frame, capture
        gc.collect()
        assert sum(ref() is not None for ref in alive) <= 1  # only the frame kept for a lost one
    assert len(alive) == 33 and open_descriptors() == before  # positions 0, 4, ..., 128 of the recording

    stream = Tavelin.IterFrames(clips, videos, 4)
    assert samples.read_index(next(stream)[0]) == (0, 0)
    assert open_descriptors() > before
    stream.close()
    assert open_descriptors() == before
    with pytest.raises(StopIteration):
        next(stream)
    with Tavelin.IterFrames(clips, videos, 4) as stream:
        next(stream)
    assert open_descriptors() == before
    for _ in Tavelin.IterFrames(clips, videos, 4):
        break  # the dropped iterator closes its file
    gc.collect()
    assert open_descriptors() == before


def test_iter_frames_reports_bad_clips_when_it_reaches_them(recordings):
    videos = videos_of(recordings[".MTS"])
    stream = Tavelin.IterFrames([Tavelin.Clip(0, 0, 0, 0, 0.2, 0, 0), Tavelin.Clip(0, 0, 0, 0, 0, 5, 0)], videos, 5)
    assert len([next(stream) for _ in range(2)]) == 2
    with pytest.raises(ValueError, match=r"clip 1 \(files 0 to 5\) names file 5"):
        next(stream)
    assert list(Tavelin.IterFrames([], videos, 5)) == []
