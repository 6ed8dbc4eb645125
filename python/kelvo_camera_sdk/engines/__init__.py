"""Inference engines."""

from .base import InferenceFuture
from .openvino_runner import OpenVINORunner

__all__ = ["InferenceFuture", "OpenVINORunner"]
