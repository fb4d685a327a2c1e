#include <asio_zmq/message.hpp>

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace az = kelm::libs::asio_zmq;

TEST(Message, CopiesTheBytesItIsMadeFrom) {
    std::string text = "a frame long enough to be stored outside the message itself";
    const az::message from_text(text);
    const az::message from_buffer(boost::asio::buffer(text));
    text[0] = 'X';
    EXPECT_EQ(from_text.string_view(),
              "a frame long enough to be stored outside the message itself");
    EXPECT_EQ(from_buffer.string_view(), from_text.string_view());
    EXPECT_NE(from_text.data(), static_cast<const void*>(text.data()));
}

TEST(Message, MoveHandsContentOverWithoutCopying) {
    az::message source(std::string(1000, 'x'));
    const void* content = source.data();

    az::message constructed(std::move(source));
    EXPECT_EQ(constructed.data(), content);
    EXPECT_EQ(source.size(), 0u);

    az::message assigned(std::string("old content that must be released by the assignment"));
    assigned = std::move(constructed);
    EXPECT_EQ(assigned.data(), content);
    EXPECT_EQ(assigned.size(), 1000u);
    EXPECT_EQ(constructed.size(), 0u);
}
