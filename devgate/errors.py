"""The one failure the devgate reports to whoever sets it up."""


class GateSetupError(Exception):
    """A setup request that cannot be met: the text is what the devgate command line prints."""
