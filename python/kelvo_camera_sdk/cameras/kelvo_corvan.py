"""Catalogue entry of the Corvan camera family."""

from .._native import KELVO_CORVAN

__all__ = ["KELVO_CORVAN"]
