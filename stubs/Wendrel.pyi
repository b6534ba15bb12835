"""Number ranges and file helpers."""
from os import PathLike

_Path = str | PathLike[str]

def orange(start: int, stop: int, step: int) -> list[int]:
    """start, start + step, ... up to and including stop."""

def GetFiles(folder: _Path, pattern: str) -> list[str]:
    """Full paths of the matching files, sorted by name."""

def makedir(folder: _Path) -> None:
    """Creates folder with its parents; an existing folder is no error."""
