"""Records and instances of the inference framework."""

from .._native import DepthInference, InferenceVariant, ModelFile

__all__ = ["DepthInference", "InferenceVariant", "ModelFile"]
