/*
 * The documentation of the configuration against the one table of its
 * keys (config_keys.def): README's key table and the annotated example
 * name every key, and nothing else. (The man page's list and the fuzzer's
 * dictionary are made from the table.)
 */
#include <fstream>
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

/* The key of every row of README's key table, in order: rows read
 * "| `name` | kind | ...". */
std::vector<std::string> key_rows(const std::string &text)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);) {
        if (each.rfind("| `", 0) != 0) {
            continue;
        }
        std::string::size_type end = each.find("` | ", 3);
        if (end == std::string::npos) {
            continue;
        }
        for (const char *kind : {"string |", "number |", "boolean |"}) {
            if (each.compare(end + 4, std::string(kind).size(), kind) == 0) {
                found.push_back(each.substr(3, end - 3));
            }
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
    EXPECT_EQ(key_rows(readme), table_names());
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
