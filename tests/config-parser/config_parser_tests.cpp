#include <config_parser/config.hpp>

#include <gtest/gtest.h>

#include <json/json.h>
#include <boost/algorithm/string/join.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/optional/optional_io.hpp>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelm::libs::config {
namespace {

std::unique_ptr<config> parse(const std::string& _document) {
    std::istringstream stream(_document);
    return config::create<type::json>(stream);
}

template <typename T>
std::string describe(const result<T>& _result) {
    return _result.ok() ? "ok" : "failed: " + _result.reason();
}

std::string joined(const std::vector<std::string>& _parts, const char* _separator) {
    return _parts.empty() ? "" : boost::algorithm::join(_parts, _separator);
}

// Every conversion a value answers, with what it gives: "int:3|double:3", "'text'", objects and
// arrays in full; "int!" where as_int throws for an integer out of its range.
std::string show(const value& _value) {
    std::vector<std::string> parts;
    std::ostringstream number;
    if (const auto flag = _value.as_bool()) {
        parts.push_back(*flag ? "bool:true" : "bool:false");
    }
    try {
        if (const auto integer = _value.as_int()) {
            parts.push_back("int:" + std::to_string(*integer));
        }
    } catch (const Json::LogicError&) {
        parts.push_back("int!");
    }
    if (const auto real = _value.as_double()) {
        number << "double:" << *real;
        parts.push_back(number.str());
    }
    if (const auto text = _value.as_string()) {
        parts.push_back("'" + *text + "'");
    }
    std::vector<std::string> members;
    if (const auto object = _value.as_object()) {
        for (const auto& key : object->get_keys()) {
            members.push_back(key + "=" + show(*object->get_value(key)));
        }
        parts.push_back("{" + joined(members, ",") + "}");
    }
    if (const auto array = _value.as_array()) {
        for (const value& element : *array) {
            members.push_back(show(element));
        }
        parts.push_back("[" + joined(members, ",") + "]");
    }
    return joined(parts, "|");
}

class Config : public ::testing::Test {
protected:
    const std::unique_ptr<config> m_config = parse(R"(// comments are allowed
    {
        "system": {"input_address": "tcp://*:5555", "output_address": "tcp://*:5556"},
        "name": "quorvane", /* block comment */ "port": 5557, "dup": 1, "dup": "later",
        "a": {"b": {"c": {"d": "deep"}, "n": 1}, "list": [{"x": "y"}]}, "": {"": "blank"},
        "k": {"t": true, "f": false, "i": -7, "r": 2.5, "half": 3.5, "whole": 3.0, "s": "text", "n": null,
              "o": {}, "l": [], "min": -2147483648, "huge": 1e30, "big": 3000000000, "e15": 1e15,
              "small": -2147483649, "max": 18446744073709551615, "B": null, "\u00e9": null}
    })");
};

}  // namespace

TEST(Result, KeepsEveryReasonInOperandOrder) {
    const result<std::string> in = std::string("in");
    const result<int> seven = 7;
    const result<int> first = error_reason{"first"};
    const result<std::string> second = error_reason{"second"};
    EXPECT_EQ(in.try_get(), std::string("in"));
    EXPECT_EQ(in.reason(), "");
    EXPECT_FALSE(first.try_get());
    EXPECT_THROW(first.value(), boost::bad_optional_access);
    EXPECT_EQ((in + seven).value(), std::make_tuple(std::string("in"), 7));
    EXPECT_EQ(std::get<1>(std::get<0>((in + in + seven).value())), "in");
    EXPECT_EQ(describe(in + seven), "ok");
    EXPECT_EQ(describe(in + first), "failed: first");
    EXPECT_EQ(describe(second + seven), "failed: second");
    EXPECT_EQ(describe(first + second), "failed: first\nsecond");
    EXPECT_EQ(describe(first + in + second + first), "failed: first\nsecond\nfirst");
}

TEST(ConfigParse, MalformedDocumentsThrowWithReportAndPlace) {
    for (const std::string document : {"", "   ", "{", R"({"a": })", "[1 2]", R"({"a": tru})"}) {
        try {
            parse(document);
            ADD_FAILURE() << document << " parsed";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Cannot parse json: ", 0), 0u);
            EXPECT_GT(std::string(error.what()).size(), 20u);
            const auto* file = boost::get_error_info<boost::throw_file>(error);
            ASSERT_NE(file, nullptr);
            EXPECT_NE(std::string(*file).find("config_json_impl.cpp"), std::string::npos);
        }
    }
}

// A scalar root has no members; an array root gives its first element under the empty key.
TEST(ConfigParse, RootsThatAreNoObjects) {
    for (const std::string scalar : {"42", R"("text")", "null", "true"}) {
        EXPECT_TRUE(parse(scalar)->get_root().get_keys().empty()) << scalar;
    }
    EXPECT_EQ(show(*parse(R"([{"a": "x"}, 2])")->get_root().get_value("")), "{a='x'}");
}

TEST_F(Config, ValuesAnswerTheirOwnConversionsInByteOrderOfKeys) {
    EXPECT_EQ(show(*m_config->get_root().get_value("k")),
              "{B=,big=int!|double:3e+09,e15=int!|double:1e+15,f=bool:false,half=double:3.5,huge="
              "double:1e+30,"
              "i=int:-7|double:-7,l=[],max=int!|double:1.84467e+19,"
              "min=int:-2147483648|double:-2.14748e+09,n=,o={},r=double:2.5,s='text',"
              "small=int!|double:-2.14748e+09,t=bool:true,whole=int:3|double:3,\u00e9=}");
    EXPECT_EQ(show(*m_config->get_root().get_value("dup")), "'later'");
}

TEST_F(Config, GetNamesStringsAndObjectsAtTheTop) {
    EXPECT_EQ(m_config->get<std::string>("name"), std::string("quorvane"));
    EXPECT_FALSE(m_config->get<std::string>("port"));
    EXPECT_FALSE(m_config->get<std::string>("system"));
    EXPECT_FALSE(m_config->get<std::string>("missing"));
    ASSERT_TRUE(m_config->get<const dictionary&>("system"));
    EXPECT_EQ(m_config->get<const dictionary&>("system")->get_keys(),
              (std::vector<std::string>{"input_address", "output_address"}));
    EXPECT_FALSE(m_config->get<const dictionary&>("name"));
    EXPECT_FALSE(m_config->get<const dictionary&>("missing"));
}

TEST_F(Config, GetByPathFindsStringsOrNamesWhatIsMissing) {
    struct row {
        std::initializer_list<std::string> path;
        std::string expected;
    };
    const std::string field = "Can not find field <string>: ";
    const std::string object = "Can not find object <object>: ";
    const row rows[] = {
        {{"name"}, "= quorvane"},
        {{"system", "input_address"}, "= tcp://*:5555"},
        {{"a", "b", "c", "d"}, "= deep"},
        {{"", ""}, "= blank"},
        {{"nothing"}, field + "nothing"},
        {{"port"}, field + "port"},
        {{"system", "missing"}, field + "system.missing"},
        {{"a", "b", "n"}, field + "a.b.n"},
        {{"a", "b", "c"}, field + "a.b.c"},
        {{}, field},
        {{"port", "x"}, object + "port, path: port.x"},
        {{"other", "x"}, object + "other, path: other.x"},
        {{"a", "x", "c"}, object + "a.x, path: a.x.c"},
        {{"a", "b", "n", "d"}, object + "a.b.n, path: a.b.n.d"},
        {{"a", "list", "x"}, object + "a.list, path: a.list.x"},
        {{"", "", "x"}, object + "., path: ..x"},
    };
    for (const row& r : rows) {
        const auto found = m_config->get_by_path<std::string>(r.path);
        EXPECT_EQ(found.ok() ? "= " + found.value() : found.reason(), r.expected);
    }
}

// Values refer to their dictionaries and element vectors by address; many siblings make any
// container that moves its elements leave those references dangling.
TEST(ConfigTree, NestedArraysAndObjectsStayReachable) {
    std::string document = R"({"grid": [[1, [2, "deep"]], [], [{"k": "v"}]], "list": [)";
    std::string expected = "[";
    for (int i = 0; i < 64; ++i) {
        const std::string n = std::to_string(i);
        const std::string comma = i ? "," : "";
        document += comma + R"({"id": ")" + n + R"(", "tags": [{"x": [")" + n + R"("]}]})";
        expected += comma + "{id='" + n + "',tags=[{x=['" + n + "']}]}";
    }
    const auto tree = parse(document + "]}");
    EXPECT_EQ(show(*tree->get_root().get_value("grid")),
              "[[int:1|double:1,[int:2|double:2,'deep']],[],[{k='v'}]]");
    EXPECT_EQ(show(*tree->get_root().get_value("list")), expected + "]");
}

}  // namespace kelm::libs::config
