#include <config_parser/config.hpp>

#include <gtest/gtest.h>

#include <json/json.h>
#include <boost/algorithm/string/join.hpp>
#include <boost/exception/get_error_info.hpp>

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kelm::libs::config {
namespace {

using strings = std::vector<std::string>;

std::unique_ptr<config> parse(const std::string& _document) {
    std::istringstream stream(_document);
    return config::create<type::json>(stream);
}

// Every conversion a value answers, with what it gives: "int:3|double:3", "'text'", objects and
// arrays in full; "int!" where as_int throws for an integer out of its range.
std::string show(const value& _value) {
    strings parts;
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
        std::ostringstream number;
        number << "double:" << *real;
        parts.push_back(number.str());
    }
    if (const auto text = _value.as_string()) {
        parts.push_back("'" + *text + "'");
    }
    strings members;
    if (const auto object = _value.as_object()) {
        for (const auto& key : object->get_keys()) {
            members.push_back(key + "=" + show(*object->get_value(key)));
        }
        parts.push_back("{" + boost::algorithm::join(members, ",") + "}");
    }
    if (const auto array = _value.as_array()) {
        for (const value& element : *array) {
            members.push_back(show(element));
        }
        parts.push_back("[" + boost::algorithm::join(members, ",") + "]");
    }
    return boost::algorithm::join(parts, "|");
}

class Config : public ::testing::Test {
protected:
    const std::unique_ptr<config> m_config = parse(R"(// comments are allowed
    {
        "system": {"input_address": "tcp://*:5555", "output_address": "tcp://*:5556"},
        "name": "quorvane", "port": 5557, "a": {"b": {"c": {"d": "deep"}, "n": 1}},
        "k": {"t": true, "f": false, "i": -7, "r": 2.5, "half": 3.5, "whole": 3.0, "s": "text", "n": null,
              "o": {}, "l": [[], [[1], {"x": ["y"]}]], "min": -2147483648, "huge": 1e30, "big": 3000000000,
              "e15": 1e15, "small": -2147483649, "max": 18446744073709551615, "B": null, "\u00e9": null}
    })");
};

}  // namespace

TEST(Result, KeepsEveryReasonInOperandOrder) {
    const result<std::string> in = std::string("in");
    const result<int> first = error_reason{"first"};
    const result<std::string> second = error_reason{"second"};
    EXPECT_EQ(in.try_get().value_or(""), "in");
    EXPECT_THROW(first.value(), boost::bad_optional_access);
    EXPECT_EQ((in + result<int>(7)).value(), std::make_tuple(std::string("in"), 7));
    EXPECT_EQ((in + first).reason(), "first");
    EXPECT_EQ((second + in).reason(), "second");
    EXPECT_EQ((first + in + second).reason(), "first\nsecond");
}

// A scalar root has no members; an array root gives its elements under the empty key, where the
// first one stays. A malformed document throws the parser's report from the place that read it.
TEST(ConfigParse, RootsOfDocuments) {
    const std::string bad = "Cannot parse json: ... from config_json_impl.cpp";
    const std::pair<std::string, std::string> rows[] = {
        {"42", ""}, {R"("text")", ""}, {"null", ""},   {R"([{"a": "x"}, 2])", "{a='x'}"},
        {"", bad},  {"{", bad},        {"[1 2]", bad}, {R"({"a": tru})", bad}};
    for (const auto& [document, expected] : rows) {
        std::string found;
        try {
            const auto tree = parse(document);
            const auto& root = tree->get_root();
            found = root.get_keys().empty() ? "" : show(*root.get_value(""));
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            const auto* file = boost::get_error_info<boost::throw_file>(error);
            found = (what.size() > 19 ? what.substr(0, 19) + "..." : what) + " from " +
                    std::filesystem::path(file ? *file : "").filename().string();
        }
        EXPECT_EQ(found, expected) << document;
    }
}

// Values refer to their dictionaries and element vectors by address, which must not move while
// the tree is built.
TEST_F(Config, ValuesAnswerTheirConversionsAndGetAnswersStringsAndObjectsAtTheTop) {
    EXPECT_EQ(show(*m_config->get_root().get_value("k")),
              "{B=,big=int!|double:3e+09,e15=int!|double:1e+15,f=bool:false,half=double:3.5,huge="
              "double:1e+30,i=int:-7|double:-7,l=[[],[[int:1|double:1],{x=['y']}]],max=int!|double:"
              "1.84467e+19,min=int:-2147483648|double:-2.14748e+09,n=,o={},r=double:2.5,s='text',"
              "small=int!|double:-2.14748e+09,t=bool:true,whole=int:3|double:3,\u00e9=}");
    strings found;
    for (const std::string name : {"name", "port", "system", "missing"}) {
        const auto object = m_config->get<const dictionary&>(name);
        found.push_back(m_config->get<std::string>(name).value_or("-") + " " +
                        (object ? boost::algorithm::join(object->get_keys(), ",") : "-"));
    }
    EXPECT_EQ(found, (strings{"quorvane -", "- -", "- input_address,output_address", "- -"}));
}

TEST_F(Config, GetByPathFindsStringsOrNamesWhatIsMissing) {
    const std::string field = "Can not find field <string>: ";
    const std::string object = "Can not find object <object>: ";
    // An aggregate, so that the paths' arrays live as long as the table.
    const struct {
        std::initializer_list<std::string> path;
        std::string expected;
    } rows[] = {
        {{"name"}, "= quorvane"},
        {{"a", "b", "c", "d"}, "= deep"},
        {{"port"}, field + "port"},
        {{"system", "missing"}, field + "system.missing"},
        {{}, field},
        {{"other", "x"}, object + "other, path: other.x"},
        {{"a", "b", "n", "d"}, object + "a.b.n, path: a.b.n.d"},
    };
    for (const auto& [path, expected] : rows) {
        const auto found = m_config->get_by_path<std::string>(path);
        EXPECT_EQ(found.ok() ? "= " + found.value() : found.reason(), expected);
    }
}

}  // namespace kelm::libs::config
