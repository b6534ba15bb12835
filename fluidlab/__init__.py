"""fluidlab: from a folder of camcorder files to phase areas over time.

The command ``fluidlab`` (also ``python -m fluidlab``) has four subcommands:

    fluidlab info FOLDER_OR_FILES          the files of a recording, their frames and clocks
    fluidlab analyse FOLDER --phases P.toml --every 5s --out DIR
                                           areas.csv, areas.png and overlays/ in DIR
    fluidlab pick FRAME_OR_VIDEO[:time] --out P.toml
                                           choose HSV ranges by looking, in a window
    fluidlab timelapse FOLDER --every 2s --out X.mp4 [--clock]

All decoding, separation and image writing is done by the toolkit's modules
(Tessil, Tavelin, Dravio, Hollark); this package orchestrates them.
"""

__version__ = "0.1.0"

from fluidlab.errors import FluidlabError  # noqa: E402,F401
