#include <config_parser/config.hpp>

#include <gtest/gtest.h>

#include <json/json.h>
#include <boost/exception/get_error_info.hpp>
#include <boost/optional/optional_io.hpp>

#include <climits>
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

// The conversions a value answers; "int!" for an integer that as_int refuses by throwing.
std::string kinds(const value& _value) {
    std::string found;
    const auto note = [&found](bool _has, const char* _name) {
        found += _has ? std::string(found.empty() ? "" : " ") + _name : "";
    };
    note(_value.as_bool().has_value(), "bool");
    try {
        note(_value.as_int().has_value(), "int");
    } catch (const Json::LogicError&) {
        note(true, "int!");
    }
    note(_value.as_double().has_value(), "double");
    note(_value.as_string().has_value(), "string");
    note(_value.as_object().has_value(), "object");
    note(_value.as_array().has_value(), "array");
    return found;
}

// The whole tree under a value as compact JSON without quotes, walked through the interface.
std::string render(const value& _value) {
    if (const auto object = _value.as_object()) {
        std::string text = "{";
        for (const auto& key : object->get_keys()) {
            text += (text.size() > 1 ? "," : "") + key + ":" + render(*object->get_value(key));
        }
        return text + "}";
    }
    if (const auto array = _value.as_array()) {
        std::string text = "[";
        for (const value& element : *array) {
            text += (text.size() > 1 ? "," : "") + render(element);
        }
        return text + "]";
    }
    if (const auto number = _value.as_int()) {
        return std::to_string(*number);
    }
    return _value.as_string().value_or("?");
}

class Config : public ::testing::Test {
protected:
    const std::unique_ptr<config> m_config = parse(R"(// comments are allowed
    {
        "system": {"input_address": "tcp://*:5555", "output_address": "tcp://*:5556"},
        "name": "quorvane", /* block comment */ "port": 5557, "dup": 1, "dup": "later",
        "a": {"b": {"c": {"d": "deep"}, "n": 1}, "list": [{"x": "y"}]}, "": {"": "blank"},
        "k": {"t": true, "f": false, "i": -7, "r": 2.5, "whole": 3.0, "half": 3.5, "s": "text",
              "n": null, "o": {}, "l": [], "min": -2147483648, "huge": 1e30, "big": 3000000000,
              "small": -2147483649, "max": 18446744073709551615, "e15": 1e15, "B": 0, "a0": 0, "\u00e9": 0}
    })");
    const dictionary& root() const { return m_config->get_root(); }
    const value& k(const std::string& _key) const {
        return *root().get_value("k")->as_object()->get_value(_key);
    }
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
        SCOPED_TRACE(document);
        try {
            parse(document);
            ADD_FAILURE() << "parsed";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Cannot parse json: ", 0), 0u);
            EXPECT_GT(std::string(error.what()).size(), 20u);
            const auto* file = boost::get_error_info<boost::throw_file>(error);
            ASSERT_NE(file, nullptr);
            EXPECT_NE(std::string(*file).find("config_json_impl.cpp"), std::string::npos);
        }
    }
}

TEST(ConfigParse, ScalarRootHasNoKeysAndArrayRootKeepsItsFirstElement) {
    for (const std::string scalar : {"42", R"("text")", "null", "true"}) {
        EXPECT_TRUE(parse(scalar)->get_root().get_keys().empty()) << scalar;
    }
    const auto array = parse(R"([{"a": "x"}, 2, "three"])");
    EXPECT_EQ(array->get_root().get_keys(), std::vector<std::string>{""});
    EXPECT_EQ(render(*array->get_root().get_value("")), "{a:x}");
}

TEST_F(Config, ValuesAnswerOnlyTheirOwnConversions) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"t", "bool"},
        {"f", "bool"},
        {"i", "int double"},
        {"r", "double"},
        {"whole", "int double"},
        {"half", "double"},
        {"huge", "double"},
        {"big", "int! double"},
        {"small", "int! double"},
        {"max", "int! double"},
        {"e15", "int! double"},
        {"s", "string"},
        {"n", ""},
        {"o", "object"},
        {"l", "array"},
    };
    for (const auto& [key, expected] : rows) {
        EXPECT_EQ(kinds(k(key)), expected) << key;
    }
    EXPECT_EQ(k("f").as_bool(), false);
    EXPECT_EQ(k("i").as_int(), -7);
    EXPECT_EQ(k("whole").as_int(), 3);
    EXPECT_EQ(k("min").as_int(), INT_MIN);
    EXPECT_EQ(k("r").as_double(), 2.5);
    EXPECT_EQ(k("huge").as_double(), 1e30);
    EXPECT_EQ(k("big").as_double(), 3e9);
    EXPECT_EQ(k("s").as_string(), std::string("text"));
    EXPECT_EQ(render(*root().get_value("dup")), "later");
    EXPECT_EQ(
        root().get_value("k")->as_object()->get_keys(),
        (std::vector<std::string>{"B", "a0", "big", "e15", "f", "half", "huge", "i", "l", "max",
                                  "min", "n", "o", "r", "s", "small", "t", "whole", "\u00e9"}));
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
    const auto both = m_config->get_by_path<std::string>({"system", "input_address"}) +
                      m_config->get_by_path<std::string>({"system", "output_address"});
    EXPECT_EQ(both.value(),
              std::make_tuple(std::string("tcp://*:5555"), std::string("tcp://*:5556")));
}

// Values refer to their dictionaries and element vectors by address; many siblings make any
// container that moves its elements leave those references dangling.
TEST(ConfigTree, NestedArraysAndObjectsStayReachable) {
    std::string document = R"({"grid": [[1, [2, "deep"]], [], [{"k": "v"}]], "list": [)";
    std::string expected = "[";
    for (int i = 0; i < 64; ++i) {
        const std::string n = std::to_string(i);
        const std::string comma = i ? "," : "";
        document +=
            comma + R"({"id": )" + n + R"(, "tags": ["t)" + n + R"(", {"x": [)" + n + "]}]}";
        expected += comma + "{id:" + n + ",tags:[t" + n + ",{x:[" + n + "]}]}";
    }
    const auto tree = parse(document + "]}");
    EXPECT_EQ(render(*tree->get_root().get_value("grid")), "[[1,[2,deep]],[],[{k:v}]]");
    EXPECT_EQ(render(*tree->get_root().get_value("list")), expected + "]");
}

}  // namespace kelm::libs::config
