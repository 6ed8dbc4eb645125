"""The OpenVINO engine."""

from .._native import OpenVINORunner, openvino_runner_available

__all__ = ["OpenVINORunner", "openvino_runner_available"]
