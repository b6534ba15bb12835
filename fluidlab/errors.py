"""The one exception the command reports as a plain message."""


class FluidlabError(Exception):
    """Bad input (an option, a file, a PHASES.toml): the command prints
    ``fluidlab: error: <message>`` and exits with status 2, no traceback."""
