/*
 * The documentation of the configuration against the one table of its
 * keys (config_keys.def): README's key table and the annotated example
 * name every key, and nothing else. (The man page's list and the fuzzer's
 * dictionary are made from the table.)
 */
#include <fstream>
#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <keys.h>

namespace {

std::string source_file(const std::string &name)
{
    std::ifstream stream(std::string(TAVRIX_SOURCE_DIR) + "/" + name);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

/* Every line of `text` that `pattern` matches, its first group. */
std::vector<std::string> matching(const std::string &text, const std::string &pattern)
{
    std::vector<std::string> found;
    std::regex line(pattern);
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);) {
        std::smatch match;
        if (std::regex_match(each, match, line)) {
            found.push_back(match[1]);
        }
    }
    return found;
}

std::vector<std::string> table_names()
{
    std::vector<std::string> names;
    for (const ConfigKey &key : CONFIG_KEYS) {
        names.push_back(key.name);
    }
    return names;
}

TEST(ConfigDocsTest, ReadmeKeyTableHasARowPerKeyInItsOrder)
{
    const std::string readme = source_file("README.md");
    for (const ConfigKey &key : CONFIG_KEYS) {
        std::string row = std::string("| `") + key.name + "` | " + config_kind_name(key.kind) +
            " | " + key.shown + " | " + key.help + " |";
        EXPECT_NE(readme.find("\n" + row + "\n"), std::string::npos) << row;
    }
    EXPECT_EQ(matching(readme, "\\| `([a-z_]+)` \\| (?:string|number|boolean) \\| .*"),
        table_names());
}

TEST(ConfigDocsTest, ExampleSetsEveryKey)
{
    nlohmann::json example =
        nlohmann::json::parse(source_file("examples/mqtt.json"), nullptr, true, true);
    std::vector<std::string> names = table_names();
    std::vector<std::string> keys;
    for (const auto &item : example.items()) {
        keys.push_back(item.key());
    }
    EXPECT_THAT(keys, ::testing::UnorderedElementsAreArray(names));
}

} // namespace
