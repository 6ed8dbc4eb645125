// Runtime integer controls of inference back-ends (block-matcher parameters,
// depth scale, ...): a static descriptor table per back-end class plus
// per-instance current values.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

/// One control descriptor.
struct KELVO_API IntControl {
    std::string name;
    std::string kind;  ///< "number" or "enum"
    int default_value = 0;
    std::string label;
    std::optional<int> min, max, step;                                       ///< "number" only
    std::optional<std::string> unit;                                         ///< "number" only
    std::optional<std::vector<std::pair<double, std::string>>> enum_values;  ///< "enum" only

    static IntControl number(std::string name, int default_value, std::string label, int min,
                             int max, int step, std::optional<std::string> unit = std::nullopt);
    static IntControl enumeration(std::string name, int default_value, std::string label,
                                  std::vector<std::pair<double, std::string>> enum_values);
    /// Raises std::invalid_argument naming the control when `value` is not allowed.
    void validate(int value) const;
    Json to_json() const;
};

/// Current values of one instance's controls; safe to change from any thread.
class KELVO_API IntControlValues {
  public:
    explicit IntControlValues(std::vector<IntControl> specs = {});

    const std::vector<IntControl>& specs() const { return _specs; }
    bool has(const std::string& name) const;
    /// Current value; std::invalid_argument for an unknown name.
    int get(const std::string& name) const;
    /// Validates and stores; bumps `version()`.
    void set(const std::string& name, int value);
    /// Adds descriptors (a base class's own controls); existing values are kept.
    void add(const std::vector<IntControl>& specs);
    /// Incremented on every change, so users can tell when to rebuild.
    std::uint64_t version() const { return _version.load(); }

  private:
    const IntControl& spec(const std::string& name) const;

    std::vector<IntControl> _specs;
    mutable std::mutex _mutex;
    std::map<std::string, int> _values;  ///< guarded by `_mutex`
    std::atomic<std::uint64_t> _version{0};
};

}  // namespace kelvo
