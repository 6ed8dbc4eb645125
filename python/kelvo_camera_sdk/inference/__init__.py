"""Depth-inference back-ends and their registry."""

from .base import DepthInference, InferenceVariant, ModelFile
from .registry import create_inference, inference_class, registered_inferences

__all__ = [
    "DepthInference",
    "InferenceVariant",
    "ModelFile",
    "create_inference",
    "inference_class",
    "registered_inferences",
]
