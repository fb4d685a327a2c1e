#include "parse.hpp"

#include <gtest/gtest.h>

#include <boost/optional/optional_io.hpp>

#include <string>
#include <tuple>
#include <vector>

namespace kelm::libs::config {
namespace {

using test::parse;

constexpr const char* broker_document = R"({
    "system": {"input_address": "tcp://*:5555", "output_address": "tcp://*:5556"},
    "port": 5557,
    "name": "quorvane",
    "a": {"b": {"c": {"d": "deep"}, "n": 1}, "list": [{"x": "y"}]}
})";

TEST(config_get, string_by_name) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get<std::string>("name"), std::string("quorvane"));
    EXPECT_FALSE(cfg->get<std::string>("port"));
    EXPECT_FALSE(cfg->get<std::string>("system"));
    EXPECT_FALSE(cfg->get<std::string>("missing"));
}

TEST(config_get, dictionary_by_name) {
    const auto cfg = parse(broker_document);
    auto system = cfg->get<const dictionary&>("system");
    ASSERT_TRUE(system);
    EXPECT_EQ(system->get_keys(), (std::vector<std::string>{"input_address", "output_address"}));
    EXPECT_FALSE(cfg->get<const dictionary&>("name"));
    EXPECT_FALSE(cfg->get<const dictionary&>("missing"));
}

TEST(get_by_path, finds_strings_at_any_depth) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"name"}).value(), "quorvane");
    EXPECT_EQ(cfg->get_by_path<std::string>({"system", "input_address"}).value(), "tcp://*:5555");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "c", "d"}).value(), "deep");
}

TEST(get_by_path, single_missing_key_names_the_field) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"nothing"}).reason(),
              "Can not find field <string>: nothing");
    EXPECT_EQ(cfg->get_by_path<std::string>({"port"}).reason(),
              "Can not find field <string>: port");
}

TEST(get_by_path, missing_last_key_names_whole_path_without_suffix) {
    const auto cfg = parse(R"({"system": {"input_address": "a"}})");
    const auto found = cfg->get_by_path<std::string>({"system", "input_address"});
    EXPECT_EQ(found.value(), "a");
    const auto missing = cfg->get_by_path<std::string>({"system", "output_address"});
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.reason(), "Can not find field <string>: system.output_address");
}

TEST(get_by_path, last_key_of_another_kind_fails_like_missing) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "n"}).reason(),
              "Can not find field <string>: a.b.n");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "c"}).reason(),
              "Can not find field <string>: a.b.c");
}

TEST(get_by_path, first_key_not_an_object) {
    const auto cfg = parse(R"({"system": 5})");
    EXPECT_EQ(cfg->get_by_path<std::string>({"system", "input_address"}).reason(),
              "Can not find object <object>: system, path: system.input_address");
    EXPECT_EQ(cfg->get_by_path<std::string>({"other", "input_address"}).reason(),
              "Can not find object <object>: other, path: other.input_address");
}

TEST(get_by_path, inner_missing_object_names_prefix_then_path) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "x", "c"}).reason(),
              "Can not find object <object>: a.x, path: a.x.c");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "x", "d"}).reason(),
              "Can not find object <object>: a.b.x, path: a.b.x.d");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "n", "d"}).reason(),
              "Can not find object <object>: a.b.n, path: a.b.n.d");
}

TEST(get_by_path, arrays_are_not_walked_into) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "list", "x"}).reason(),
              "Can not find object <object>: a.list, path: a.list.x");
}

TEST(get_by_path, empty_keys_are_joined_as_given) {
    const auto cfg = parse(R"({"": {"": "blank"}})");
    EXPECT_EQ(cfg->get_by_path<std::string>({"", ""}).value(), "blank");
    EXPECT_EQ(cfg->get_by_path<std::string>({"", "", "x"}).reason(),
              "Can not find object <object>: ., path: ..x");
}

TEST(get_by_path, empty_path_fails_instead_of_reading_past_the_end) {
    const auto cfg = parse(R"({"": "root"})");
    const auto nothing = cfg->get_by_path<std::string>({});
    EXPECT_FALSE(nothing.ok());
    EXPECT_EQ(nothing.reason(), "Can not find field <string>: ");
}

TEST(get_by_path, combined_broker_addresses) {
    const auto cfg = parse(broker_document);
    const auto addresses = cfg->get_by_path<std::string>({"system", "input_address"}) +
                           cfg->get_by_path<std::string>({"system", "output_address"});
    ASSERT_TRUE(addresses.ok()) << addresses.reason();
    EXPECT_EQ(std::get<0>(addresses.value()), "tcp://*:5555");
    EXPECT_EQ(std::get<1>(addresses.value()), "tcp://*:5556");
}

TEST(get_by_path, combined_failures_report_both_in_order) {
    const auto cfg = parse(R"({"system": {}})");
    const auto addresses = cfg->get_by_path<std::string>({"system", "input_address"}) +
                           cfg->get_by_path<std::string>({"system", "output_address"});
    EXPECT_FALSE(addresses.ok());
    EXPECT_EQ(addresses.reason(),
              "Can not find field <string>: system.input_address\n"
              "Can not find field <string>: system.output_address");
}

}  // namespace
}  // namespace kelm::libs::config
