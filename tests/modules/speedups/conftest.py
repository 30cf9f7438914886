"""Registers the shared fixtures of the pixelor._speedups tests."""
from speedups_support import guarded  # noqa: F401
