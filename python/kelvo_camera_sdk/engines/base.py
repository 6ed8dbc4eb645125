"""The engine interface's futures."""

from .._native import InferenceFuture

__all__ = ["InferenceFuture"]
