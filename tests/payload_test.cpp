// Frame payloads: bytes moved in are not copied, copies share them, a view
// keeps its owner alive, and a moved-from payload never points at bytes it
// no longer holds.
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <vector>

#include "kelvo/sources/types.hpp"

namespace {

using kelvo::Payload;

TEST(Payload, VectorMovedInIsNotCopiedAndCopiesShareIt) {
    std::vector<std::uint8_t> bytes{1, 2, 3, 4};
    const std::uint8_t* where = bytes.data();
    const Payload p(std::move(bytes));
    EXPECT_EQ(p.data(), where);
    EXPECT_EQ(p.size(), 4u);
    const Payload copy = p;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.data(), where);
    const std::span<const std::uint8_t> span = p;
    EXPECT_EQ(span.data(), where);
    EXPECT_EQ(std::vector<std::uint8_t>(p.begin(), p.end()),
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(p[3], 4);
    EXPECT_EQ(p.to_vector(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(Payload, AViewKeepsItsOwnerAliveUntilTheLastCopyGoes) {
    auto buffer = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{9, 8, 7});
    std::weak_ptr<std::vector<std::uint8_t>> watch = buffer;
    Payload view(buffer, buffer->data() + 1, 2);
    buffer.reset();
    Payload copy = view;
    view = Payload();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(copy.to_vector(), (std::vector<std::uint8_t>{8, 7}));
    copy = Payload();
    EXPECT_TRUE(watch.expired());
}

TEST(Payload, MovedFromIsEmptyAndEqualityComparesBytes) {
    Payload a(std::vector<std::uint8_t>{5, 6});
    Payload b = std::move(a);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): the promise under test
    EXPECT_EQ(a.data(), nullptr);
    Payload c;
    c = std::move(b);
    EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c, Payload(std::vector<std::uint8_t>{5, 6}));
    EXPECT_FALSE(c == Payload(std::vector<std::uint8_t>{5, 7}));
    EXPECT_EQ(Payload(), Payload(std::vector<std::uint8_t>{}));
}

}  // namespace
