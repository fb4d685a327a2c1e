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

TEST(ConfigGet, StringByName) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get<std::string>("name"), std::string("quorvane"));
    EXPECT_FALSE(cfg->get<std::string>("port"));
    EXPECT_FALSE(cfg->get<std::string>("system"));
    EXPECT_FALSE(cfg->get<std::string>("missing"));
}

TEST(ConfigGet, DictionaryByName) {
    const auto cfg = parse(broker_document);
    auto system = cfg->get<const dictionary&>("system");
    ASSERT_TRUE(system);
    EXPECT_EQ(system->get_keys(), (std::vector<std::string>{"input_address", "output_address"}));
    EXPECT_FALSE(cfg->get<const dictionary&>("name"));
    EXPECT_FALSE(cfg->get<const dictionary&>("missing"));
}

TEST(GetByPath, FindsStringsAtAnyDepth) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"name"}).value(), "quorvane");
    EXPECT_EQ(cfg->get_by_path<std::string>({"system", "input_address"}).value(), "tcp://*:5555");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "c", "d"}).value(), "deep");
}

TEST(GetByPath, SingleMissingKeyNamesTheField) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"nothing"}).reason(),
              "Can not find field <string>: nothing");
    EXPECT_EQ(cfg->get_by_path<std::string>({"port"}).reason(),
              "Can not find field <string>: port");
}

TEST(GetByPath, MissingLastKeyNamesWholePathWithoutSuffix) {
    const auto cfg = parse(R"({"system": {"input_address": "a"}})");
    const auto found = cfg->get_by_path<std::string>({"system", "input_address"});
    EXPECT_EQ(found.value(), "a");
    const auto missing = cfg->get_by_path<std::string>({"system", "output_address"});
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.reason(), "Can not find field <string>: system.output_address");
}

TEST(GetByPath, LastKeyOfAnotherKindFailsLikeMissing) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "n"}).reason(),
              "Can not find field <string>: a.b.n");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "c"}).reason(),
              "Can not find field <string>: a.b.c");
}

TEST(GetByPath, FirstKeyNotAnObject) {
    const auto cfg = parse(R"({"system": 5})");
    EXPECT_EQ(cfg->get_by_path<std::string>({"system", "input_address"}).reason(),
              "Can not find object <object>: system, path: system.input_address");
    EXPECT_EQ(cfg->get_by_path<std::string>({"other", "input_address"}).reason(),
              "Can not find object <object>: other, path: other.input_address");
}

TEST(GetByPath, InnerMissingObjectNamesPrefixThenPath) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "x", "c"}).reason(),
              "Can not find object <object>: a.x, path: a.x.c");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "x", "d"}).reason(),
              "Can not find object <object>: a.b.x, path: a.b.x.d");
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "b", "n", "d"}).reason(),
              "Can not find object <object>: a.b.n, path: a.b.n.d");
}

TEST(GetByPath, ArraysAreNotWalkedInto) {
    const auto cfg = parse(broker_document);
    EXPECT_EQ(cfg->get_by_path<std::string>({"a", "list", "x"}).reason(),
              "Can not find object <object>: a.list, path: a.list.x");
}

TEST(GetByPath, EmptyKeysAreJoinedAsGiven) {
    const auto cfg = parse(R"({"": {"": "blank"}})");
    EXPECT_EQ(cfg->get_by_path<std::string>({"", ""}).value(), "blank");
    EXPECT_EQ(cfg->get_by_path<std::string>({"", "", "x"}).reason(),
              "Can not find object <object>: ., path: ..x");
}

TEST(GetByPath, EmptyPathFailsInsteadOfReadingPastTheEnd) {
    const auto cfg = parse(R"({"": "root"})");
    const auto nothing = cfg->get_by_path<std::string>({});
    EXPECT_FALSE(nothing.ok());
    EXPECT_EQ(nothing.reason(), "Can not find field <string>: ");
}

TEST(GetByPath, CombinedBrokerAddresses) {
    const auto cfg = parse(broker_document);
    const auto addresses = cfg->get_by_path<std::string>({"system", "input_address"}) +
                           cfg->get_by_path<std::string>({"system", "output_address"});
    ASSERT_TRUE(addresses.ok()) << addresses.reason();
    EXPECT_EQ(std::get<0>(addresses.value()), "tcp://*:5555");
    EXPECT_EQ(std::get<1>(addresses.value()), "tcp://*:5556");
}

TEST(GetByPath, CombinedFailuresReportBothInOrder) {
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
