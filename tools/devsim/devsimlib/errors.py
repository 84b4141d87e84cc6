"""Errors of the simulated device."""


class DevsimError(Exception):
    """A request the simulated device cannot carry out (bad layout, unknown copy, ...)."""
