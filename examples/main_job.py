"""The main job: generate a sample recording, describe it and show what would be read.

Writes a three-file recording (H.264 in MPEG-TS, .MTS) into demo/recording,
describes each file with Tessil.Video and prints, for a clip from 0:01 of the
first file to 0:02 of the last, the frame window of every file and the frame
selection of Dravio.GetIndex at a step of 10 frames.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import samples  # noqa: E402
import Dravio  # noqa: E402
import Tessil  # noqa: E402

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "demo", "recording")
paths = samples.write_recording(root, [100, 75, 120], ".MTS", size=(320, 240))
videos = [Tessil.Video(p) for p in paths]
for video in videos:
    print(f"{os.path.relpath(video.path)}: {video.FPS} fps, {video.Frame_Count} frames, "
          f"starts at {video.start_time}")

print("Frame windows at a step of 10 frames, from 0:01 of the first file to 0:02 of the last:")
for k, video in enumerate(videos):
    start = (0, 1) if k == 0 else (0, 0)
    end = (0, 2) if k == len(videos) - 1 else (0, 0)
    print(f"  file {k}: {video.GetCaptures(10, *start, *end)}")

print("The same span as one selection counted across the files (cumulative table first):")
clip = [0, len(videos) - 1, videos[0].FPS * 1, videos[-1].FPS * 2]
files, frames = Dravio.GetIndex([v.Frame_Count for v in videos], clip, 10)
for k, numbers in zip(files, frames):
    print(f"  file {k}: {numbers}")
