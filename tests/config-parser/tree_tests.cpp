#include "parse.hpp"

#include <gtest/gtest.h>

#include <json/json.h>
#include <boost/exception/exception.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/optional/optional_io.hpp>

#include <climits>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelm::libs::config {
namespace {

using test::parse;

const value& member(const dictionary& _object, const std::string& _key) {
    auto found = _object.get_value(_key);
    if (!found) {
        throw std::out_of_range("no member " + _key);
    }
    return *found;
}

std::vector<const value*> elements(const value& _array) {
    // The range is kept in a local: iterating `as_array().value()` directly would walk a
    // range owned by a destroyed temporary.
    const value::array range = _array.as_array().value();
    std::vector<const value*> all;
    for (value& element : range) {
        all.push_back(&element);
    }
    return all;
}

// Names every conversion a value answers, so one assertion pins down its whole kind.
std::string conversions(const value& _value) {
    std::string present;
    auto note = [&present](bool _has, const char* _name) {
        if (_has) {
            present += present.empty() ? _name : std::string(" ") + _name;
        }
    };
    note(_value.as_bool().has_value(), "bool");
    note(_value.as_int().has_value(), "int");
    note(_value.as_double().has_value(), "double");
    note(_value.as_string().has_value(), "string");
    note(_value.as_object().has_value(), "object");
    note(_value.as_array().has_value(), "array");
    return present;
}

std::string parse_failure(const std::string& _document) {
    try {
        parse(_document);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "parsed";
}

TEST(ConfigParse, MalformedDocumentsThrowWithReaderReport) {
    for (const std::string document :
         {"", "   ", "{", R"({"a": })", R"({"a" 1})", "[1 2]", R"({"a": tru})"}) {
        const std::string text = parse_failure(document);
        EXPECT_EQ(text.rfind("Cannot parse json: ", 0), 0u) << document << " -> " << text;
        EXPECT_GT(text.size(), std::string("Cannot parse json: ").size()) << document;
    }
}

TEST(ConfigParse, EmptyDocumentReportsWhatTheReaderExpected) {
    EXPECT_NE(parse_failure("").find("value, object or array expected"), std::string::npos);
}

TEST(ConfigParse, MissingFileIsAParseFailure) {
    std::ifstream missing("/nonexistent/quorvane/config.json");
    EXPECT_THROW(config::create<type::json>(missing), std::runtime_error);
}

TEST(ConfigParse, FailureCarriesThrowLocation) {
    try {
        parse("{");
        FAIL() << "a truncated document parsed";
    } catch (const boost::exception& error) {
        const char* const* file = boost::get_error_info<boost::throw_file>(error);
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        const int* line = boost::get_error_info<boost::throw_line>(error);
        ASSERT_NE(file, nullptr);
        ASSERT_NE(function, nullptr);
        ASSERT_NE(line, nullptr);
        EXPECT_NE(std::string(*file).find("config_json_impl.cpp"), std::string::npos);
        EXPECT_NE(std::string(*function).find("config_json_impl"), std::string::npos);
        EXPECT_GT(*line, 0);
    }
}

TEST(ConfigParse, CommentsAreAcceptedAndDropped) {
    const auto cfg = parse(R"(// leading
        { /* block */ "a": "x", // trailing
          "b": 1 })");
    EXPECT_EQ(cfg->get_root().get_keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(member(cfg->get_root(), "a").as_string(), std::string("x"));
}

TEST(ConfigParse, TextAfterRootValueIsIgnored) {
    const auto cfg = parse(R"({"a": "x"} trailing garbage)");
    EXPECT_EQ(member(cfg->get_root(), "a").as_string(), std::string("x"));
}

TEST(ConfigParse, RepeatedKeyKeepsLaterValue) {
    const auto cfg = parse(R"({"a": 1, "a": "second", "o": {"k": 1, "k": 2}})");
    EXPECT_EQ(member(cfg->get_root(), "a").as_string(), std::string("second"));
    EXPECT_EQ(member(member(cfg->get_root(), "o").as_object().value(), "k").as_int(), 2);
}

TEST(ConfigParse, ScalarRootHasNoKeys) {
    for (const std::string document : {"42", R"("text")", "null", "true"}) {
        const auto cfg = parse(document);
        EXPECT_TRUE(cfg->get_root().get_keys().empty()) << document;
        EXPECT_FALSE(cfg->get_root().get_value("")) << document;
    }
}

TEST(ConfigParse, ArrayRootKeepsFirstElementUnderEmptyKey) {
    const auto cfg = parse(R"([{"a": "x"}, 2, "three"])");
    EXPECT_EQ(cfg->get_root().get_keys(), std::vector<std::string>{""});
    const value& first = member(cfg->get_root(), "");
    ASSERT_TRUE(first.as_object());
    EXPECT_EQ(member(*first.as_object(), "a").as_string(), std::string("x"));
}

TEST(Dictionary, KeysComeInBytewiseOrder) {
    const auto cfg = parse(R"({"b": 1, "a": 2, "B": 3, "\u00e9": 4, "": 5, "a0": 6})");
    EXPECT_EQ(cfg->get_root().get_keys(),
              (std::vector<std::string>{"", "B", "a", "a0", "b", "\u00e9"}));
}

TEST(Value, EachKindAnswersOnlyItsOwnConversions) {
    const auto cfg = parse(R"({"t": true, "f": false, "i": -7, "u": 4000000000, "r": 2.5,
        "s": "text", "n": null, "o": {}, "a": []})");
    const dictionary& root = cfg->get_root();
    EXPECT_EQ(conversions(member(root, "t")), "bool");
    EXPECT_EQ(conversions(member(root, "f")), "bool");
    EXPECT_EQ(conversions(member(root, "i")), "int double");
    EXPECT_EQ(conversions(member(root, "r")), "double");
    EXPECT_EQ(conversions(member(root, "s")), "string");
    EXPECT_EQ(conversions(member(root, "n")), "");
    EXPECT_EQ(conversions(member(root, "o")), "object");
    EXPECT_EQ(conversions(member(root, "a")), "array");

    EXPECT_EQ(member(root, "f").as_bool(), false);
    EXPECT_EQ(member(root, "i").as_int(), -7);
    EXPECT_EQ(member(root, "u").as_double(), 4000000000.0);
    EXPECT_EQ(member(root, "r").as_double(), 2.5);
    EXPECT_EQ(member(root, "s").as_string(), std::string("text"));
    EXPECT_TRUE(member(root, "o").as_object()->get_keys().empty());
    EXPECT_TRUE(elements(member(root, "a")).empty());
}

TEST(Value, AsIntAcceptsWholeRealsAndRejectsFractions) {
    const auto cfg = parse(R"({"whole": 3.0, "negative": -2147483648, "half": 3.5,
        "beyond_64_bits": 1e30})");
    const dictionary& root = cfg->get_root();
    EXPECT_EQ(member(root, "whole").as_int(), 3);
    EXPECT_EQ(member(root, "negative").as_int(), INT_MIN);
    EXPECT_FALSE(member(root, "half").as_int());
    EXPECT_FALSE(member(root, "beyond_64_bits").as_int());
    EXPECT_EQ(member(root, "beyond_64_bits").as_double(), 1e30);
}

TEST(Value, AsIntOutsideIntRangeThrows) {
    const auto cfg = parse(R"({"big": 3000000000, "small": -2147483649, "huge_real": 1e15,
        "max_unsigned": 18446744073709551615})");
    const dictionary& root = cfg->get_root();
    EXPECT_THROW(member(root, "big").as_int(), Json::LogicError);
    EXPECT_THROW(member(root, "small").as_int(), Json::LogicError);
    EXPECT_THROW(member(root, "huge_real").as_int(), Json::LogicError);
    EXPECT_THROW(member(root, "max_unsigned").as_int(), Json::LogicError);
}

// Dictionaries and element vectors are referred to by address; many siblings force any
// container that moves its elements to leave those references dangling.
TEST(Tree, NestedArraysAndObjectsStayReachable) {
    std::string document = R"({"grid": [[1, [2, "deep"]], [], [{"k": "v"}]], "list": [)";
    for (int i = 0; i < 64; ++i) {
        document += (i ? "," : "") + std::string(R"({"id": )") + std::to_string(i) +
                    R"(, "tags": ["t)" + std::to_string(i) + R"(", {"x": [)" + std::to_string(i) +
                    "]}]}";
    }
    document += "]}";
    const auto cfg = parse(document);

    const auto grid = elements(member(cfg->get_root(), "grid"));
    ASSERT_EQ(grid.size(), 3u);
    const auto row = elements(*grid[0]);
    ASSERT_EQ(row.size(), 2u);
    EXPECT_EQ(row[0]->as_int(), 1);
    const auto inner = elements(*row[1]);
    ASSERT_EQ(inner.size(), 2u);
    EXPECT_EQ(inner[0]->as_int(), 2);
    EXPECT_EQ(inner[1]->as_string(), std::string("deep"));
    EXPECT_TRUE(elements(*grid[1]).empty());
    const auto last = elements(*grid[2]);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(member(last[0]->as_object().value(), "k").as_string(), std::string("v"));

    const auto list = elements(member(cfg->get_root(), "list"));
    ASSERT_EQ(list.size(), 64u);
    for (int i = 0; i < 64; ++i) {
        const dictionary& entry = list[i]->as_object().value();
        EXPECT_EQ(member(entry, "id").as_int(), i);
        const auto tags = elements(member(entry, "tags"));
        ASSERT_EQ(tags.size(), 2u);
        EXPECT_EQ(tags[0]->as_string(), "t" + std::to_string(i));
        const auto x = elements(member(tags[1]->as_object().value(), "x"));
        ASSERT_EQ(x.size(), 1u);
        EXPECT_EQ(x[0]->as_int(), i);
    }
}

}  // namespace
}  // namespace kelm::libs::config
