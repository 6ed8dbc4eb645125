#include "kelvo/sources/payload.hpp"

#include <algorithm>
#include <utility>

namespace kelvo {

Payload::Payload(std::vector<std::uint8_t> bytes) {
    auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    _data = owned->data();
    _size = owned->size();
    _owner = std::move(owned);
}

Payload::Payload(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size)
    : _owner(std::move(owner)), _data(size > 0 ? data : nullptr), _size(size) {}

Payload::Payload(Payload&& other) noexcept
    : _owner(std::move(other._owner)),
      _data(std::exchange(other._data, nullptr)),
      _size(std::exchange(other._size, 0)) {}

Payload& Payload::operator=(Payload&& other) noexcept {
    if (this != &other) {
        _owner = std::move(other._owner);
        _data = std::exchange(other._data, nullptr);
        _size = std::exchange(other._size, 0);
    }
    return *this;
}

bool operator==(const Payload& a, const Payload& b) {
    return a.size() == b.size() &&
           (a.data() == b.data() || std::equal(a.begin(), a.end(), b.begin()));
}

}  // namespace kelvo
