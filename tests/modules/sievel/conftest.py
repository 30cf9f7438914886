"""Registers the shared fixtures of the stereo._sievel tests."""
from sievel_support import guarded  # noqa: F401
