"""Back-end classes under their registry keys ("stereo-bm", "lightstereo", ...)."""

from .._native import (
    InferenceClass,
    create_inference,
    inference_class,
    load_inference_plugins,
    registered_inferences,
)

__all__ = [
    "InferenceClass",
    "create_inference",
    "inference_class",
    "load_inference_plugins",
    "registered_inferences",
]
