"""Runtime integer controls of inference back-ends."""

from ._native import IntControl

__all__ = ["IntControl"]
