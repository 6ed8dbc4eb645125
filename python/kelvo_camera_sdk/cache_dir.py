"""The kit's cache directory (compiled networks, model files)."""

from ._native import get_cache_dir, set_cache_dir

__all__ = ["get_cache_dir", "set_cache_dir"]
