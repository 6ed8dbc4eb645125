// Error types of the kit. Messages are part of the interface: callers and
// scripts match on them, so they are kept exactly as documented.
#pragma once

#include <stdexcept>
#include <string>

#include "kelvo/export.hpp"

namespace kelvo {

/// A run-time error: wrong state, bad model, bad output shape, missing runtime.
class KELVO_API RuntimeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// An output the kit will not write: over its own input, over an existing
/// file or into a non-empty folder without being told to.
class KELVO_API OutputRefused : public RuntimeError {
  public:
    using RuntimeError::RuntimeError;
};

/// A value of the wrong kind was handed to an interface that checks kinds.
class KELVO_API TypeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace kelvo
