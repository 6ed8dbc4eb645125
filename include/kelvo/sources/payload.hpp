// A frame's encoded bytes, shared without copies: either a byte vector moved
// in, or a view into a reference-counted buffer someone else filled (the
// demuxer's packet), kept alive for as long as any copy of the payload lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kelvo/export.hpp"

namespace kelvo {

/// Read-only bytes with the look of a byte container (data, size, empty,
/// begin/end, indexing, a span). Copies share the bytes.
class KELVO_API Payload {
  public:
    using value_type = std::uint8_t;
    using const_iterator = const std::uint8_t*;
    using iterator = const_iterator;

    Payload() = default;
    /// Takes the bytes over (moved, not copied). Implicit, so that sources
    /// and test doubles fill frames from byte vectors as they always have.
    Payload(std::vector<std::uint8_t> bytes);  // NOLINT(google-explicit-constructor)
    /// `size` bytes at `data`, which stay valid while `owner` lives.
    Payload(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size);

    Payload(const Payload&) = default;
    Payload& operator=(const Payload&) = default;
    /// A moved-from payload is empty (never a view without its owner).
    Payload(Payload&& other) noexcept;
    Payload& operator=(Payload&& other) noexcept;

    const std::uint8_t* data() const noexcept { return _data; }
    std::size_t size() const noexcept { return _size; }
    bool empty() const noexcept { return _size == 0; }
    const_iterator begin() const noexcept { return _data; }
    const_iterator end() const noexcept { return _data + _size; }
    std::uint8_t operator[](std::size_t i) const noexcept { return _data[i]; }
    std::span<const std::uint8_t> span() const noexcept { return {_data, _size}; }
    operator std::span<const std::uint8_t>() const noexcept { return span(); }
    /// A copy of the bytes.
    std::vector<std::uint8_t> to_vector() const { return {begin(), end()}; }

    /// Equal bytes.
    friend KELVO_API bool operator==(const Payload& a, const Payload& b);

  private:
    std::shared_ptr<const void> _owner;
    const std::uint8_t* _data = nullptr;
    std::size_t _size = 0;
};

}  // namespace kelvo
