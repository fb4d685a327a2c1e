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

TEST(result, success_exposes_value_and_empty_reason) {
    const auto found = success("tcp://*:5555");
    EXPECT_TRUE(found.ok());
    EXPECT_EQ(found.try_get(), std::string("tcp://*:5555"));
    EXPECT_EQ(found.value(), "tcp://*:5555");
    EXPECT_EQ(found.reason(), "");
}

TEST(result, failure_exposes_reason_only) {
    const auto missing = failure("Can not find field <string>: a");
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(missing.try_get());
    EXPECT_EQ(missing.reason(), "Can not find field <string>: a");
}

TEST(result, value_of_failure_throws_bad_optional_access) {
    const auto missing = failure("gone");
    try {
        missing.value();
        FAIL() << "value() of a failed result returned";
    } catch (const boost::bad_optional_access& error) {
        EXPECT_STREQ(error.what(),
                     "Attempted to access the value of an uninitialized optional object.");
    }
}

TEST(result_sum, two_successes_give_tuple_in_operand_order) {
    const auto both = success("in") + result<int>(7);
    ASSERT_TRUE(both.ok());
    EXPECT_EQ(both.value(), std::make_tuple(std::string("in"), 7));
    EXPECT_EQ(both.reason(), "");
}

TEST(result_sum, one_failure_gives_its_reason_alone) {
    const auto second_failed = success("in") + failure("second");
    EXPECT_FALSE(second_failed.ok());
    EXPECT_EQ(second_failed.reason(), "second");

    const auto first_failed = failure("first") + success("out");
    EXPECT_FALSE(first_failed.ok());
    EXPECT_EQ(first_failed.reason(), "first");
}

TEST(result_sum, two_failures_join_reasons_first_operand_first) {
    const auto both = failure("first") + failure("second");
    EXPECT_FALSE(both.ok());
    EXPECT_EQ(both.reason(), "first\nsecond");
    EXPECT_THROW(both.value(), boost::bad_optional_access);
}

TEST(result_sum, chained_sums_keep_every_reason_in_order) {
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
