"""Errors of the platform camera layer."""

from .._native import CameraSerialMismatch

__all__ = ["CameraSerialMismatch"]
