"""Catalogue entry of the Fenwa camera family."""

from .._native import KELVO_FENWA

__all__ = ["KELVO_FENWA"]
