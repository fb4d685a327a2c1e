#include <config_parser/result.hpp>

#include <gtest/gtest.h>

#include <boost/optional/bad_optional_access.hpp>
#include <boost/optional/optional_io.hpp>

#include <string>
#include <tuple>

namespace kelm::libs::config {
namespace {

result<std::string> success(const std::string& _text) {
    return _text;
}

result<int> failure(const std::string& _reason) {
    return error_reason{_reason};
}

TEST(Result, SuccessExposesValueAndEmptyReason) {
    const auto found = success("tcp://*:5555");
    EXPECT_TRUE(found.ok());
    EXPECT_EQ(found.try_get(), std::string("tcp://*:5555"));
    EXPECT_EQ(found.value(), "tcp://*:5555");
    EXPECT_EQ(found.reason(), "");
}

TEST(Result, FailureExposesReasonOnly) {
    const auto missing = failure("Can not find field <string>: a");
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(missing.try_get());
    EXPECT_EQ(missing.reason(), "Can not find field <string>: a");
}

TEST(Result, ValueOfFailureThrowsBadOptionalAccess) {
    const auto missing = failure("gone");
    try {
        missing.value();
        FAIL() << "value() of a failed result returned";
    } catch (const boost::bad_optional_access& error) {
        EXPECT_STREQ(error.what(),
                     "Attempted to access the value of an uninitialized optional object.");
    }
}

TEST(ResultSum, TwoSuccessesGiveTupleInOperandOrder) {
    const auto both = success("in") + result<int>(7);
    ASSERT_TRUE(both.ok());
    EXPECT_EQ(both.value(), std::make_tuple(std::string("in"), 7));
    EXPECT_EQ(both.reason(), "");
}

TEST(ResultSum, OneFailureGivesItsReasonAlone) {
    const auto second_failed = success("in") + failure("second");
    EXPECT_FALSE(second_failed.ok());
    EXPECT_EQ(second_failed.reason(), "second");

    const auto first_failed = failure("first") + success("out");
    EXPECT_FALSE(first_failed.ok());
    EXPECT_EQ(first_failed.reason(), "first");
}

TEST(ResultSum, TwoFailuresJoinReasonsFirstOperandFirst) {
    const auto both = failure("first") + failure("second");
    EXPECT_FALSE(both.ok());
    EXPECT_EQ(both.reason(), "first\nsecond");
    EXPECT_THROW(both.value(), boost::bad_optional_access);
}

TEST(ResultSum, ChainedSumsKeepEveryReasonInOrder) {
    const auto all = failure("a") + success("b") + failure("c") + failure("d");
    EXPECT_FALSE(all.ok());
    EXPECT_EQ(all.reason(), "a\nc\nd");

    const auto nested = success("a") + success("b") + result<int>(3);
    ASSERT_TRUE(nested.ok());
    EXPECT_EQ(std::get<1>(std::get<0>(nested.value())), "b");
    EXPECT_EQ(std::get<1>(nested.value()), 3);
}

}  // namespace
}  // namespace kelm::libs::config
