"""Files that fail under the toolkit: full disks and read-only folders for every
writer, files gone, cut short or garbled before a reader reaches them, frames
of the wrong size, and JPEGs tagged with an EXIF orientation."""
import errno
import os
import shutil
import subprocess

import cv2
import Dravio
import Hollark
import numpy as np
import pytest
import samples
import Tavelin
import Tessil

SIZE = (160, 120)


def noise_images(count, size=SIZE, seed=0):
    """Images of noise: they compress badly, so a few fill a small disk."""
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, (size[1], size[0], 3), np.uint8) for _ in range(count)]


class SmallDisk:
    """A tmpfs of a few hundred kB mounted on a folder: fill() leaves only a few
    kB free, read_only() remounts it read-only."""

    def __init__(self, folder, size="1m"):
        self.folder = folder
        folder.mkdir()
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            pytest.skip("cannot mount a small tmpfs here (needs root): " + result.stderr.strip())

    def fill(self, leave=2048):
        info = os.statvfs(self.folder)
        free = info.f_bavail * info.f_frsize
        with open(self.folder / "filler", "wb") as filler:
            filler.write(b"\0" * max(0, free - leave))

    def read_only(self):
        subprocess.run(["mount", "-o", "remount,ro", str(self.folder)], check=True)

    def unmount(self):
        subprocess.run(["umount", "-l", str(self.folder)], check=False)


@pytest.fixture
def disk(tmp_path):
    mounted = []

    def mount(name="disk", size="1m"):
        mounted.append(SmallDisk(tmp_path / name, size))
        return mounted[-1]

    yield mount
    for small in mounted:
        small.unmount()


@pytest.fixture(params=["full", "read-only"])
def unwritable(request, disk, tmp_path):
    """A folder that takes no new file, and the errno values expected of it;
    prepare(folder) puts inputs into it first. Read-only: a chmod 0o555 folder,
    or, as root (who writes there anyway), a tmpfs remounted read-only."""

    class Place:
        def __init__(self):
            self.small = None
            if request.param == "full" or os.geteuid() == 0:
                self.small = disk()
                self.folder = self.small.folder
            else:
                self.folder = tmp_path / "locked"
                self.folder.mkdir()
            self.kind = request.param
            self.errnos = {errno.ENOSPC} if self.kind == "full" else {errno.EACCES, errno.EROFS, errno.EPERM}

        def close(self):
            if self.kind == "full":
                self.small.fill()
            elif self.small:
                self.small.read_only()
            else:
                os.chmod(self.folder, 0o555)

    place = Place()
    yield place
    if place.small is None:
        os.chmod(place.folder, 0o755)


def assert_names(error, path):
    text = str(error.value)
    assert os.fspath(path) in text or error.value.filename == os.fspath(path), text


def assert_unwritable(error, place, path):
    """An OSError naming `path` with the cause, not OpenCV's codec or frame rate."""
    assert isinstance(error.value, OSError)
    assert error.value.errno in place.errnos, str(error.value)
    assert_names(error, path)
    assert "FourCC" not in str(error.value)


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """Three MPEG-TS files of 60, 45 and 70 frames, and a fourth of another size."""
    folder = tmp_path_factory.mktemp("recording")
    paths = samples.write_recording(folder, [60, 45, 70], ".MTS")
    other = samples.write_video(folder / "other.MTS", 20, 3, size=(128, 96))
    return paths, other


def copy_recording(paths, folder):
    os.makedirs(folder, exist_ok=True)
    return [shutil.copy(path, folder) for path in paths]


# ---- writers on a full disk and in a folder that takes no file ----------------------------------

VIDEO_WRITERS = ["cv_toVideo images", "cv_toVideo paths", "VideoCombine", "RegularVideo", "Img2Video"]


@pytest.mark.parametrize("writer", VIDEO_WRITERS)
def test_video_writers_report_the_disk_not_success(writer, unwritable, recording, tmp_path, capsys):
    paths, _ = recording
    folder = unwritable.folder
    images = noise_images(12)
    stills = samples.write_image_folder(tmp_path / "stills", images, extension=".png")
    if writer == "Img2Video":
        samples.write_image_folder(folder, images[:3], extension=".jpg")
    unwritable.close()
    output = folder / "out.mp4"
    with pytest.raises(OSError) as error:
        if writer == "cv_toVideo images":
            Dravio.cv_toVideo(images * 4, str(output), 25)
        elif writer == "cv_toVideo paths":
            Dravio.cv_toVideo(stills * 4, str(output), 25)
        elif writer == "VideoCombine":
            Dravio.VideoCombine(paths, str(output))
        elif writer == "RegularVideo":
            Dravio.RegularVideo(paths, str(output), 1)
        else:
            output = folder / "Video.mp4"
            Tavelin.Img2Video(str(folder), 25)
    assert_unwritable(error, unwritable, output)


def test_a_writer_that_fills_the_disk_midway_keeps_no_promise(disk, recording):
    """Enough room for the file to open and the first frames, not for all."""
    small = disk(size="256k")
    small.fill(leave=40_000)
    output = small.folder / "out.mp4"
    with pytest.raises(OSError) as error:
        Dravio.cv_toVideo(noise_images(40), str(output), 25)
    assert error.value.errno == errno.ENOSPC and error.value.filename == str(output)


@pytest.mark.parametrize("saver", ["cv_imsave", "WriteFile", "MakeDyImg"])
def test_image_savers_report_the_disk(saver, unwritable, orbisk, tmp_path):
    folder = unwritable.folder
    image = noise_images(1, (400, 300))[0]
    if saver == "MakeDyImg":
        # The stills stay readable in the folder the strip is written to.
        stills = samples.write_image_folder(folder, noise_images(3, (40, 30)), extension=".png")
    unwritable.close()
    with pytest.raises(OSError) as error:
        if saver == "cv_imsave":
            target = folder / "still.png"
            Hollark.cv_imsave(image, str(folder / "still"), ".png")
        elif saver == "WriteFile":
            capture = Tavelin.Capture(0, 1, 2, [1, 2, 3], 0)
            capture.frame = image
            capture.Phase_frames = []
            target = folder
            capture.WriteFile(str(folder))
        else:
            target = folder
            orbisk.MakeDyImg(stills, 10, 200)
    assert error.value.errno in unwritable.errnos | {errno.ENOENT}, str(error.value)
    assert os.fspath(target) in str(error.value.filename) or os.fspath(target) in str(error.value)
    assert not (folder / "still.png").exists()  # no half-written image left behind


@pytest.mark.parametrize("job", ["Speed", "Speed_Vdo", "Speed_Fig", "GetCapture"])
def test_orbisk_jobs_report_the_disk(job, unwritable, orbisk, recording, capsys):
    folder = unwritable.folder
    paths = copy_recording(recording[0][:1], folder / "rec")
    videos = [Tessil.Video(path, [10, 0, 0]) for path in paths]
    clips = [Tavelin.Clip(0, 0, 0, 0, 2, 0, 0)]
    unwritable.close()
    with pytest.raises(OSError) as error:
        if job == "Speed":
            orbisk.Speed(paths, videos, 1, clips)
        elif job == "Speed_Vdo":
            orbisk.Speed_Vdo(videos, None, 1, clips, str(folder))
        elif job == "Speed_Fig":
            orbisk.Speed_Fig(noise_images(40), None, 3, 0, str(folder))
        else:
            orbisk.GetCapture(paths, videos, 1, clips)
    assert error.value.errno in unwritable.errnos, str(error.value)
    assert str(folder) in str(error.value.filename)
    printed = capsys.readouterr().out.splitlines()
    assert "output" not in printed and "Start processing" not in printed  # the writer never opened


def test_speed_prints_output_once_the_writer_is_open(orbisk, recording, tmp_path, capsys):
    paths = copy_recording(recording[0][:1], tmp_path / "rec")
    videos = [Tessil.Video(path, [10, 0, 0]) for path in paths]
    orbisk.Speed(paths, videos, 10, [Tavelin.Clip(0, 0, 0, 0, 2, 0, 0)])
    assert "output" in capsys.readouterr().out.splitlines()
    assert len(samples.read_frames(tmp_path / "rec" / "X10.mp4")) == 6  # frames 0, 10, ..., 50


# ---- readers: files gone, cut short or garbled after their Video was made ------------------------

def spoil(path, how):
    if how == "deleted":
        os.remove(path)
    elif how == "random bytes":
        with open(path, "wb") as file:
            file.write(np.random.default_rng(1).integers(0, 256, 20_000, np.uint8).tobytes())
    elif how == "emptied":
        open(path, "wb").close()
    elif how == "a folder":
        os.remove(path)
        os.mkdir(path)


READERS = ["GetFrameIndex", "GetFrameIndex2", "IterFrames", "ExtractFromVideos", "Speed", "GetCapture"]


@pytest.mark.parametrize("how", ["deleted", "random bytes", "emptied", "a folder"])
@pytest.mark.parametrize("reader", READERS)
def test_readers_name_a_file_spoiled_after_its_video(reader, how, recording, tmp_path, orbisk, capsys):
    paths = copy_recording(recording[0], tmp_path / "rec")
    videos = [Tessil.Video(path, [10, 0, 0]) for path in paths]
    spoil(paths[1], how)
    with pytest.raises(OSError) as error:
        if reader == "GetFrameIndex":
            Tavelin.GetFrameIndex([Tavelin.Clip(0, 1, 1, 0, 1, 3, 0)], videos, 10)
        elif reader == "GetFrameIndex2":
            Tavelin.GetFrameIndex2([Tavelin.Clip(0, 1, 0, 0, 1, 2, 0)], videos, 10)
        elif reader == "IterFrames":
            list(Tavelin.IterFrames([Tavelin.Clip(0, 1, 0, 0, 1, 2, 0)], videos, 10))
        elif reader == "ExtractFromVideos":
            Tavelin.ExtractFromVideos(videos, 1)
        elif reader == "Speed":
            orbisk.Speed(paths, videos, 10, [Tavelin.Clip(0, 1, 0, 0, 1, 2, 0)])
        else:
            orbisk.GetCapture(paths, videos, 10, [Tavelin.Clip(0, 1, 0, 0, 1, 2, 0)])
    assert error.value.filename == paths[1]
    assert not os.path.exists(tmp_path / "rec" / "X10.mp4")


@pytest.mark.parametrize("how", ["deleted", "random bytes", "a folder"])
@pytest.mark.parametrize("call", ["VideoCombine", "RegularVideo", "ExtractFromVideos"])
def test_a_first_file_that_cannot_be_read_is_named(call, how, recording, tmp_path, capsys):
    """It gives the output its frame size and rate (the frame step of
    ExtractFromVideos): without it there is nothing to make."""
    paths = copy_recording(recording[0], tmp_path / "rec")
    spoil(paths[0], how)
    with pytest.raises(OSError) as error:
        if call == "ExtractFromVideos":
            Tavelin.ExtractFromVideos(paths[:1] if how == "deleted" else paths, 1)
        elif call == "VideoCombine":
            Dravio.VideoCombine(paths, str(tmp_path / "out.mp4"), space=5)
        else:
            Dravio.RegularVideo(paths, str(tmp_path / "out.mp4"), 5)
    assert error.value.filename == paths[0]
    assert not (tmp_path / "out.mp4").exists()


def test_a_video_onto_a_folder_is_named(recording, tmp_path):
    (tmp_path / "out.mp4").mkdir()
    with pytest.raises(IsADirectoryError) as error:
        Dravio.cv_toVideo(noise_images(2), str(tmp_path / "out.mp4"), 25)
    assert error.value.filename == str(tmp_path / "out.mp4")


def test_a_file_cut_short_gives_white_frames_of_its_size(recording, tmp_path, capsys):
    paths = copy_recording(recording[0][:1], tmp_path / "rec")
    videos = [Tessil.Video(paths[0], [10, 0, 0])]
    size = os.path.getsize(paths[0])
    with open(paths[0], "r+b") as file:
        file.truncate(size // 2)
    frames, captures = Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 2, 0, 0)], videos, 5)
    assert len(frames) == 11 and all(frame.shape == (120, 160, 3) for frame in frames)
    read = [samples.read_index(frame) for frame, capture in zip(frames, captures) if hasattr(capture, "frame")]
    assert read and read == [(0, 5 * k) for k in range(len(read))]
    assert len(read) < 11 and "Lost one frame" in capsys.readouterr().out


def test_a_missing_video_is_a_file_not_found_error(tmp_path):
    missing = tmp_path / "none.MTS"
    with pytest.raises(FileNotFoundError) as error:
        Tessil.Video(str(missing), [1, 2, 3])
    assert error.value.filename == str(missing)


@pytest.mark.parametrize("reader", ["GetFrameIndex", "GetFrameIndex2", "IterFrames", "GetCapture"])
def test_a_clip_beyond_the_files_names_the_clip(reader, recording, orbisk, capsys):
    paths = recording[0]
    videos = [Tessil.Video(path, [10, 0, 0]) for path in paths]
    with pytest.raises(ValueError, match=r"clip 1 \(files .*\) names file"):
        if reader == "GetFrameIndex":
            Tavelin.GetFrameIndex([Tavelin.Clip(0, 0, 1, 0, 1, 1, 0), Tavelin.Clip(0, 0, 2, 0, 1, 4, 0)], videos, 10)
        else:
            clips = [Tavelin.Clip(0, 0, 0, 0, 1, 0, 0), Tavelin.Clip(0, 0, 1, 0, 1, 3, 0)]
            if reader == "GetFrameIndex2":
                Tavelin.GetFrameIndex2(clips, videos, 10)
            elif reader == "IterFrames":
                list(Tavelin.IterFrames(clips, videos, 10))
            else:
                orbisk.GetCapture(paths, videos, 10, clips)


BAD_IMAGES = ["missing", "a folder", "empty", "cut short", "random bytes"]


def bad_image(folder, how, extension=".png"):
    path = folder / f"bad-{how.replace(' ', '-')}{extension}"
    if how == "a folder":
        path.mkdir()
    elif how == "empty":
        path.touch()
    elif how == "cut short":
        data = cv2.imencode(".png", noise_images(1)[0])[1].tobytes()
        path.write_bytes(data[:len(data) // 3])
    elif how == "random bytes":
        path.write_bytes(np.random.default_rng(2).integers(0, 256, 5000, np.uint8).tobytes())
    return str(path)


# evenLight and rotate take a folder of JPEGs, whose listing holds only the
# files that are there.
IMAGE_CASES = [(function, how) for function in ("cv_imread", "cv_toVideo", "evenLight", "rotate", "MakeDyImg",
                                               "CaptureCrop") for how in BAD_IMAGES
               if function not in ("evenLight", "rotate") or how not in ("missing", "a folder")]


@pytest.mark.parametrize(("function", "how"), IMAGE_CASES)
def test_image_readers_name_a_bad_file(function, how, orbisk, tmp_path, capsys):
    good = samples.write_image_folder(tmp_path / "good", noise_images(2), extension=".png")
    bad = bad_image(tmp_path, how)
    files = [good[0], bad, good[1]]
    if function in ("evenLight", "rotate"):
        samples.write_image_folder(tmp_path / "jpegs", noise_images(2))
        bad = bad_image(tmp_path / "jpegs", how, ".jpg")
    with pytest.raises((OSError, ValueError)) as error:
        if function == "cv_imread":
            Hollark.cv_imread(bad)
        elif function == "cv_toVideo":
            Dravio.cv_toVideo(files, str(tmp_path / "out.mp4"), 25)
        elif function == "evenLight":
            Dravio.evenLight(str(tmp_path / "jpegs"))
        elif function == "rotate":
            Dravio.rotate(str(tmp_path / "jpegs"))
        elif function == "MakeDyImg":
            orbisk.MakeDyImg(files, 10, 2)
        else:
            orbisk.CaptureCrop(files, (0, 10, 0, 10))
    assert_names(error, bad)


def test_make_dy_img_names_the_first_bad_image_in_list_order(orbisk, tmp_path):
    good = samples.write_image_folder(tmp_path / "good", noise_images(24, (400, 300)), extension=".png")
    first, second = bad_image(tmp_path, "missing"), bad_image(tmp_path, "random bytes")
    files = good[:18] + [first] + good[18:] + [second]
    for _ in range(5):
        with pytest.raises(OSError) as error:
            orbisk.MakeDyImg(files, 10, 2)
        assert error.value.filename == first


# ---- frames of another size than the video's ------------------------------------------------------

def test_speed_fig_refuses_a_frame_of_another_size(orbisk, tmp_path, capsys):
    images = noise_images(3) + noise_images(1, (128, 96))
    with pytest.raises(ValueError, match=r"frame 3 of the video is 128x96; the video's frames are 160x120"):
        orbisk.Speed_Fig(images, None, 3, 0, str(tmp_path))
    assert not (tmp_path / "X3.mp4").exists()


@pytest.mark.parametrize("job", ["Speed", "GetCapture"])
def test_orbisk_refuses_a_file_of_another_size(job, orbisk, recording, tmp_path, capsys):
    paths, other = recording
    files = copy_recording([paths[0], other], tmp_path / "rec")
    videos = [Tessil.Video(path, [10, 0, 0]) for path in files]
    clips = [Tavelin.Clip(0, 0, 0, 0, 0.5, 1, 0)]
    with pytest.raises(ValueError, match=r"frame \d+ of the (video|series) is 128x96; .* 160x120"):
        getattr(orbisk, job)(files, videos, 10, clips)
    # Refused before anything is written: no video, no Capture folder.
    assert sorted(os.listdir(tmp_path / "rec")) == sorted(os.path.basename(f) for f in files)


# ---- JPEGs turned by their EXIF tag ----------------------------------------------------------------

def test_img2video_takes_jpegs_as_stored(tmp_path):
    if not shutil.which("exiftool"):
        pytest.skip("ExifTool is not installed")
    images = [samples.frame_image(k, 0, size=SIZE) for k in range(3)]
    paths = samples.write_image_folder(tmp_path, images, mtimes=[1000, 1001, 1002])
    subprocess.run(["exiftool", "-q", "-overwrite_original", "-Orientation=6", "-n", paths[1]], check=True)
    os.utime(paths[1], (1001, 1001))
    assert cv2.imread(paths[1]).shape == (160, 120, 3)  # OpenCV turns it by default
    Tavelin.Img2Video(str(tmp_path), 25)
    frames = samples.read_frames(tmp_path / "Video.mp4")
    assert [samples.read_index(frame) for frame in frames] == [(0, 0), (0, 1), (0, 2)]
