/*
 * Reload: reading the configuration file into the instance, the UUIDs and
 * the variable map. Reload runs on the test thread; no worker is started.
 */
#include "test_support.h"

#include <keys.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::StartsWith;
using Variables = std::map<std::string, std::string>;

namespace {

// Keys set to values that no refused conversion could produce by accident
// (a string "1" read as QoS 1, null read as an empty user...), so that a
// row which must leave a member alone shows it. Loaded before each row: a
// row's file then also shows that absent keys keep earlier values.
constexpr const char *BASELINE = R"({
    "host": "base.example", "port": 1000, "user": "base-user", "pass": "base-pass",
    "topic": "base/${channel}", "message_qos": 2, "message_retain": false,
    "tls_insecure": true, "ca_file": "/base/ca.crt", "ca_path": "/base/certs",
    "client_cert_file": "/base/client.crt", "client_key_file": "/base/client.key",
    "client_id": "base-${uuid_agent}", "max_inflight_messages": 333, "report_status": true
})";

// Every configuration member, under its key.
nlohmann::json members(aspPlugin &plugin)
{
    PluginPeer state(plugin);
    nlohmann::json all;
#define CONFIG_KEY(name, kind, type, initial, shown, help) all[#name] = state.name;
#include "config_keys.def"
#undef CONFIG_KEY
    return all;
}

// The message of the agException that Reload throws, nothing when it
// returns; any other exception fails the test where it escapes.
std::optional<std::string> reload_failure(aspPlugin &plugin)
{
    try {
        plugin.Reload();
    } catch (const agException &e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// Whether another thread takes and releases the instance's thread lock in
// time. On false that thread is still blocked on the lock and uses the
// instance: the caller must not destroy it.
bool lock_is_free(aspPlugin &plugin)
{
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread taker([&plugin, taken] {
        plugin.Lock();
        plugin.Unlock();
        taken->store(true);
    });
    if (!wait_until([&] { return taken->load(); }, std::chrono::seconds(5))) {
        taker.detach();
        return false;
    }
    taker.join();
    return true;
}

// Opens files as an unprivileged user while it lives. Root bypasses
// permission bits, so a root test thread gives up its file-system user id
// (a per-thread credential, unlike the effective user id) for the time.
class UnprivilegedFileAccess
{
public:
    UnprivilegedFileAccess() : root(::geteuid() == 0)
    {
        if (root) {
            ::setfsuid(NOBODY);
        }
    }
    ~UnprivilegedFileAccess()
    {
        if (root) {
            ::setfsuid(0);
        }
    }
    UnprivilegedFileAccess(const UnprivilegedFileAccess &) = delete;
    UnprivilegedFileAccess &operator=(const UnprivilegedFileAccess &) = delete;

private:
    static constexpr uid_t NOBODY = 65534;
    bool root;
};

// Rows print as their names in failure messages, not as bytes.
template <typename Row>
auto operator<<(std::ostream &out, const Row &row) -> decltype(out << row.name)
{
    return out << row.name;
}

class ReloadTest : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        config_path = files.path() + "/mqtt.json";
        plugin = make_plugin({{"config", config_path}});
        ASSERT_NE(plugin, nullptr);
    }

    void write_config(const std::string &text) { files.write("mqtt.json", text); }

    void load_baseline()
    {
        write_config(BASELINE);
        ASSERT_EQ(reload_failure(*plugin), std::nullopt);
        log->clear();
    }

    /* A later load of `text` fails as `failure` says and leaves every
     * member as the baseline set it. */
    void expect_refused(const std::string &text,
        const ::testing::Matcher<const std::string &> &failure)
    {
        load_baseline();
        nlohmann::json before = members(*plugin);
        write_config(text);
        std::optional<std::string> refused = reload_failure(*plugin);
        ASSERT_TRUE(refused.has_value());
        EXPECT_THAT(*refused, failure);
        EXPECT_EQ(members(*plugin), before);
    }

    std::string loading_line(const std::string &path) const
    {
        return "mqtt: Loading configuration: " + path + "\n";
    }

    std::string config_path;
    std::unique_ptr<aspPlugin> plugin;
};

// ---------------------------------------------------------------------------
// Files that load: which members change, and nothing logged but the debug line.

struct DocumentCase {
    const char *name;
    const char *text;
    // The members that change, as a merge patch over the baseline; null
    // when they are the text itself.
    const char *changes;
};

constexpr const char *AS_WRITTEN = nullptr;

using ReloadDocumentTest = WithRows<ReloadTest, DocumentCase>;

TEST_P(ReloadDocumentTest, AssignsExactlyTheAcceptedValues)
{
    load_baseline();
    nlohmann::json expected = members(*plugin);
    const char *changes = GetParam().changes;
    expected.merge_patch(nlohmann::json::parse(changes != AS_WRITTEN ? changes : GetParam().text));

    write_config(GetParam().text);
    EXPECT_EQ(reload_failure(*plugin), std::nullopt);

    EXPECT_EQ(members(*plugin), expected);
    EXPECT_THAT(log->lines(), ElementsAre(loading_line(config_path)));
}

// The runner checks a file against the shared key table before the
// plug-in reads it: each key there must be one that Reload takes, as a
// value of the table's kind, and Reload must take no other.
TEST_F(ReloadTest, ReadsExactlyTheKeysOfTheSharedTable)
{
    load_baseline();
    const nlohmann::json baseline = members(*plugin);
    std::set<std::string> read;
    for (const ConfigKey &key : CONFIG_KEYS) {
        nlohmann::json value = key.kind == ConfigKind::TEXT ? nlohmann::json("changed")
            : key.kind == ConfigKind::NUMBER                ? nlohmann::json(0)
                                                            : nlohmann::json(!baseline[key.name].get<bool>());
        nlohmann::json document = {{key.name, value}};
        write_config(document.dump());
        ASSERT_EQ(reload_failure(*plugin), std::nullopt);
        EXPECT_NE(members(*plugin), baseline) << key.name << " is not read as its kind";
        read.insert(key.name);
        load_baseline();
    }
    std::set<std::string> members_read;
    for (const auto &member : baseline.items()) {
        members_read.insert(member.key());
    }
    EXPECT_EQ(read, members_read);
}

const DocumentCase documents[] = {
    {"EmptyObjectKeepsEarlierValues", "{}", "{}"},
    {"NullDocument", "null", "{}"},
    {"EmptyArray", "[]", "{}"},
    {"ArrayHoldingAnObject", R"([{"host": "other"}])", "{}"},
    {"StringDocument", R"("host")", "{}"},
    {"NumberDocument", "1883", "{}"},
    {"BooleanDocument", "true", "{}"},
    {"EveryKey",
        R"({"host": "mq.example", "port": 8883, "user": "u", "pass": "p", "topic": "t/${channel}",
            "message_qos": 2, "message_retain": true, "tls_insecure": false, "ca_file": "/ca",
            "ca_path": "/certs", "client_cert_file": "/c.crt", "client_key_file": "/c.key",
            "client_id": "id"})",
        AS_WRITTEN},
    {"LineComments",
        "// leading\n{\n  \"host\": \"a\", // after a member\n  \"port\": 2 // last\n}\n// trailing",
        R"({"host": "a", "port": 2})"},
    {"BlockComments",
        "/* leading */{/**/\"host\"/* key */:/* value */\"a\",/* two\nlines */\"port\":2}/* end */",
        R"({"host": "a", "port": 2})"},
    {"CommentMarkersInsideStrings", R"({"topic": "a//b/*c*/d"})", AS_WRITTEN},
    {"StringsKeptByteForByte", R"({"user": " spaced ", "topic": "t/${uuid_agent}/${channel}"})",
        AS_WRITTEN},
    {"LetterCaseOfKeysMatters", R"({"Host": "other", "PORT": 1, "Message_QoS": 0})", "{}"},
    {"UnknownKeysIgnored", R"({"hostname": "other", "qos": 0, "retain": true})", "{}"},
    {"RefusedValuesSkippedOthersRead",
        R"({"host": 1, "port": "2", "user": null, "pass": "p", "topic": ["t"], "message_qos": {},
            "message_retain": "true", "tls_insecure": 0, "ca_file": false, "ca_path": "/certs",
            "client_cert_file": null, "client_key_file": "/k"})",
        R"({"pass": "p", "ca_path": "/certs", "client_key_file": "/k"})"},
};
INSTANTIATE_TEST_SUITE_P(Documents, ReloadDocumentTest, ::testing::ValuesIn(documents), RowName());

// Integers keep their low bits, floating point is truncated toward zero,
// and strings and booleans accept only their own type.
const DocumentCase conversions[] = {
    {"PortLow16Bits", R"({"port": 70000})", R"({"port": 4464})"},
    {"PortMinusOne", R"({"port": -1})", R"({"port": 65535})"},
    {"PortFloatTruncated", R"({"port": 1883.9})", R"({"port": 1883})"},
    {"PortNegativeFloatTruncated", R"({"port": -1.5})", R"({"port": 65535})"},
    {"PortLow32BitsOf64", R"({"port": 4294969179})", R"({"port": 1883})"},
    {"PortLargestUnsigned", R"({"port": 18446744073709551615})", R"({"port": 65535})"},
    {"PortTrue", R"({"port": true})", R"({"port": 1})"},
    {"PortZero", R"({"port": 0})", AS_WRITTEN},
    {"PortDigitStringRefused", R"({"port": "1883"})", "{}"},
    {"PortHugeFloatRefused", R"({"port": 1e300})", "{}"},
    {"PortHugeNegativeFloatRefused", R"({"port": -1e300})", "{}"},
    {"PortBeyond64BitsRefused", R"({"port": 18446744073709551616})", "{}"},
    {"QosFloatTruncated", R"({"message_qos": 1.7})", R"({"message_qos": 1})"},
    {"QosNegativeFloatTowardZero", R"({"message_qos": -0.7})", R"({"message_qos": 0})"},
    {"QosFalse", R"({"message_qos": false})", R"({"message_qos": 0})"},
    {"QosTrue", R"({"message_qos": true})", R"({"message_qos": 1})"},
    {"QosDigitStringRefused", R"({"message_qos": "1"})", "{}"},
    {"QosHugeFloatRefused", R"({"message_qos": 1e300})", "{}"},
    {"RetainTrue", R"({"message_retain": true})", AS_WRITTEN},
    {"RetainOneRefused", R"({"message_retain": 1})", "{}"},
    {"RetainStringTrueRefused", R"({"message_retain": "true"})", "{}"},
    {"InsecureFalse", R"({"tls_insecure": false})", AS_WRITTEN},
    {"InsecureZeroRefused", R"({"tls_insecure": 0})", "{}"},
    {"UserNullRefused", R"({"user": null})", "{}"},
    {"UserEmptyString", R"({"user": ""})", AS_WRITTEN},
    {"UserNumberRefused", R"({"user": 5})", "{}"},
    {"ClientIdKeptAsWritten", R"({"client_id": "sink-${uuid_agent}"})", AS_WRITTEN},
    {"ClientIdEmptyString", R"({"client_id": ""})", AS_WRITTEN},
    {"ClientIdNumberRefused", R"({"client_id": 7})", "{}"},
    {"InflightNumber", R"({"max_inflight_messages": 2000.5})", R"({"max_inflight_messages": 2000})"},
    {"InflightOutOfRangeKeptForTheConnectStep", R"({"max_inflight_messages": -1})", AS_WRITTEN},
    {"InflightStringRefused", R"({"max_inflight_messages": "2000"})", "{}"},
};
INSTANTIATE_TEST_SUITE_P(
    Conversions, ReloadDocumentTest, ::testing::ValuesIn(conversions), RowName());

// ---------------------------------------------------------------------------
// Files that would leave no publish possible: one line naming the key, and
// no member touched. What is checked is what the load would make: the
// file's value converted, else the value in force.

struct RefusalCase {
    const char *name;
    const char *text;
    const char *problem;
};

using ReloadRefusalTest = WithRows<ReloadTest, RefusalCase>;

TEST_P(ReloadRefusalTest, RefusesTheLoadNamingTheKey)
{
    expect_refused(GetParam().text,
        ::testing::Eq("mqtt: " + config_path + ": " + GetParam().problem +
            ": every publish would be refused"));
}

const RefusalCase refusals[] = {
    {"EmptyTopic", R"({"topic": "", "host": "other"})", "topic is empty"},
    {"PlusInTheTopic", R"({"topic": "a/+/${channel}"})",
        "topic \"a/+/${channel}\" holds + or # outside ${...}"},
    {"HashAfterAVariable", R"({"topic": "${channel}/#"})",
        "topic \"${channel}/#\" holds + or # outside ${...}"},
    {"QosAboveTwo", R"({"message_qos": 3})", "message_qos 3 is outside 0 to 2"},
    {"QosTruncatedBelowZero", R"({"message_qos": -1.5})", "message_qos -1 is outside 0 to 2"},
    {"QosLow32BitsTwosComplement", R"({"message_qos": 4294967295})",
        "message_qos -1 is outside 0 to 2"},
};
INSTANTIATE_TEST_SUITE_P(Values, ReloadRefusalTest, ::testing::ValuesIn(refusals), RowName());

// Only the fixed text can be judged: a variable's value is the agent's.
TEST_F(ReloadTest, WildcardsInsideVariablesAndAQosAloneAreTakenWithTheTopicInForce)
{
    load_baseline();
    write_config(R"({"topic": "a/${odd+name}/${channel}"})");
    EXPECT_EQ(reload_failure(*plugin), std::nullopt);
    write_config(R"({"message_qos": 0})");
    EXPECT_EQ(reload_failure(*plugin), std::nullopt);
    EXPECT_EQ(PluginPeer(*plugin).topic, "a/${odd+name}/${channel}");

    auto fresh = make_plugin({{"config", config_path}});
    EXPECT_EQ(reload_failure(*fresh),
        "mqtt: " + config_path + ": topic is empty: every publish would be refused")
        << "no topic in the file and none in force";
}

// ---------------------------------------------------------------------------
// Files that do not parse: the JSON error, and no member touched.

struct TextCase {
    const char *name;
    const char *text;
};

using ReloadParseErrorTest = WithRows<ReloadTest, TextCase>;

TEST_P(ReloadParseErrorTest, ThrowsJsonExceptionAndKeepsEveryMember)
{
    expect_refused(GetParam().text,
        StartsWith("mqtt: " + config_path + ": JSON exception: [json.exception."));
    EXPECT_THAT(log->lines(), ElementsAre(loading_line(config_path)));
}

const TextCase parse_errors[] = {
    {"EmptyFile", ""},
    {"OnlyWhiteSpace", " \n\t "},
    {"OnlyAComment", "// nothing here\n/* or here */"},
    {"TrailingText", R"({"host": "a"} x)"},
    {"TwoValues", "{}{}"},
    {"TrailingAfterNull", "null 0"},
    {"UnterminatedBlockComment", R"({"host": "a"} /* open)"},
    {"LoneSlash", R"({"host": "a"} /)"},
    {"UnterminatedString", R"({"host": "a)"},
    {"MissingValue", R"({"host": })"},
    {"NumberOverflow", R"({"port": 1e400})"},
};
INSTANTIATE_TEST_SUITE_P(Files, ReloadParseErrorTest, ::testing::ValuesIn(parse_errors), RowName());

// ---------------------------------------------------------------------------
// Files that cannot be opened: named with the real cause of the failed open.

struct OpenFailureCase {
    const char *name;
    // Prepares the path in the test's directory and returns it.
    std::function<std::string(const std::string &dir)> prepare;
    int error;
};

using ReloadOpenFailureTest = WithRows<ReloadTest, OpenFailureCase>;

TEST_P(ReloadOpenFailureTest, ThrowsTheSystemsTextForTheError)
{
    std::string path = GetParam().prepare(files.path());
    auto unopened = make_plugin({{"config", path}});
    nlohmann::json before = members(*unopened);

    EXPECT_EQ(reload_failure(*unopened),
        "mqtt: " + path + ": " + std::strerror(GetParam().error));
    EXPECT_EQ(members(*unopened), before);
}

std::string make_symlink(const std::string &target, const std::string &link)
{
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
    }
    return link;
}

const OpenFailureCase open_failures[] = {
    {"MissingFile", [](const std::string &dir) { return dir + "/absent.json"; }, ENOENT},
    {"MissingDirectory", [](const std::string &dir) { return dir + "/absent/mqtt.json"; }, ENOENT},
    {"EmptyPath", [](const std::string &) { return std::string(); }, ENOENT},
    {"DanglingSymlink",
        [](const std::string &dir) { return make_symlink(dir + "/absent.json", dir + "/link.json"); },
        ENOENT},
    {"SymlinkLoop",
        [](const std::string &dir) { return make_symlink(dir + "/loop.json", dir + "/loop.json"); },
        ELOOP},
    {"Directory", [](const std::string &dir) { return dir; }, EISDIR},
    {"BelowARegularFile",
        [](const std::string &dir) {
            std::ofstream(dir + "/plain") << "{}";
            return dir + "/plain/mqtt.json";
        },
        ENOTDIR},
    {"NameTooLong", [](const std::string &dir) { return dir + "/" + std::string(300, 'x'); },
        ENAMETOOLONG},
};
INSTANTIATE_TEST_SUITE_P(
    Paths, ReloadOpenFailureTest, ::testing::ValuesIn(open_failures), RowName());

TEST_F(ReloadTest, UnreadableFileIsNotReportedAsMissing)
{
    write_config(R"({"host": "unread"})");
    // Searchable by anyone, so that only the file's own bits refuse.
    ASSERT_EQ(::chmod(files.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(config_path.c_str(), 0), 0);
    nlohmann::json before = members(*plugin);

    UnprivilegedFileAccess unprivileged;
    int probe = ::open(config_path.c_str(), O_RDONLY);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "file permissions do not apply to this process";
    }

    EXPECT_EQ(reload_failure(*plugin), "mqtt: " + config_path + ": " + std::strerror(EACCES));
    EXPECT_EQ(members(*plugin), before);
}

// ---------------------------------------------------------------------------
// The UUIDs and the variable map.

TEST_F(ReloadTest, LoadsEachUuidIntoItsOwnMember)
{
    write_config(R"({"topic": "t"})");
    plugin->Reload();

    EXPECT_EQ(PluginPeer(*plugin).uuid_agent, "agent-uuid");
    EXPECT_EQ(PluginPeer(*plugin).uuid_serial, "serial-uuid");
    EXPECT_EQ(PluginPeer(*plugin).uuid_site, "site-uuid");
}

TEST_F(ReloadTest, VariablesHoldEveryHostEntryAndTheUuids)
{
    config.conf_vars = {{"${region}", "eu-west"}, {"${empty}", ""}};
    write_config(R"({"topic": "t"})");
    plugin->Reload();

    EXPECT_EQ(PluginPeer(*plugin).variables,
        (Variables{{"${empty}", ""}, {"${region}", "eu-west"}, {"${uuid_agent}", "agent-uuid"},
            {"${uuid_serial}", "serial-uuid"}, {"${uuid_site}", "site-uuid"}}));
}

TEST_F(ReloadTest, HostVariableShadowsUuidVariable)
{
    config.conf_vars = {{"${region}", "eu-west"}, {"${uuid_site}", "host-site"}};
    write_config(R"({"topic": "t"})");
    plugin->Reload();

    EXPECT_EQ(PluginPeer(*plugin).variables,
        (Variables{{"${region}", "eu-west"}, {"${uuid_agent}", "agent-uuid"},
            {"${uuid_serial}", "serial-uuid"}, {"${uuid_site}", "host-site"}}));
    EXPECT_EQ(PluginPeer(*plugin).uuid_site, "site-uuid");
}

using ReloadRefreshTest = WithRows<ReloadTest, TextCase>;

// Text null: the file is removed.
TEST_P(ReloadRefreshTest, FailedReloadStillRefreshesUuidsAndVariables)
{
    config.conf_vars = {{"${old}", "1"}};
    write_config(R"({"topic": "t"})");
    plugin->Reload();

    config.conf_vars = {{"${new}", "2"}};
    config.SetUUID(UUID_AGENT, "agent-2");
    config.SetUUID(UUID_SERIAL, "serial-2");
    config.SetUUID(UUID_SITE, "site-2");
    if (GetParam().text != nullptr) {
        write_config(GetParam().text);
    } else {
        ASSERT_EQ(std::remove(config_path.c_str()), 0);
    }
    EXPECT_NE(reload_failure(*plugin), std::nullopt);

    EXPECT_EQ(PluginPeer(*plugin).variables,
        (Variables{{"${new}", "2"}, {"${uuid_agent}", "agent-2"}, {"${uuid_serial}", "serial-2"},
            {"${uuid_site}", "site-2"}}));
    EXPECT_EQ(PluginPeer(*plugin).uuid_agent, "agent-2");
}

const TextCase failing_files[] = {
    {"MissingFile", nullptr},
    {"EmptyFile", ""},
    {"TrailingContent", "{} }"},
};
INSTANTIATE_TEST_SUITE_P(
    Failures, ReloadRefreshTest, ::testing::ValuesIn(failing_files), RowName());

TEST_F(ReloadTest, WithoutGlobalConfigurationThrowsInstanceNotFound)
{
    write_config(R"({"host": "other"})");
    nlohmann::json before = members(*plugin);
    agGlobalConfig::instance = nullptr;

    EXPECT_EQ(reload_failure(*plugin),
        "static agGlobalConfig &agGlobalConfig::GetInstance(): instance not found");
    EXPECT_EQ(members(*plugin), before);
    EXPECT_EQ(PluginPeer(*plugin).uuid_agent, "");
}

// ---------------------------------------------------------------------------
// The thread lock: free again after every kind of reload, including those
// whose every key throws inside the locked section.

using ReloadLockTest = WithRows<ReloadTest, TextCase>;

TEST_P(ReloadLockTest, ReleasesTheThreadLock)
{
    write_config(GetParam().text);
    reload_failure(*plugin);

    if (!lock_is_free(*plugin)) {
        plugin.release(); // still in use by the blocked thread
        FAIL() << "the thread lock is still held after Reload";
    }
}

const TextCase lock_files[] = {
    {"ValidObject", BASELINE},
    {"EveryValueRefused",
        R"({"host": 1, "port": "1", "user": 1, "pass": 1, "topic": 1, "message_qos": "1",
            "message_retain": 1, "tls_insecure": 1, "ca_file": 1, "ca_path": 1,
            "client_cert_file": 1, "client_key_file": 1})"},
    {"ArrayDocument", "[1]"},
    {"NullDocument", "null"},
    {"ParseError", "{"},
};
INSTANTIATE_TEST_SUITE_P(Files, ReloadLockTest, ::testing::ValuesIn(lock_files), RowName());

// ---------------------------------------------------------------------------
// The shipped example.

TEST_F(ReloadTest, ExampleConfigurationSetsEveryKey)
{
    const std::string example = TAVRIX_SOURCE_DIR "/examples/mqtt.json";
    std::ifstream stream(example);
    ASSERT_TRUE(stream.is_open()) << example;
    nlohmann::json document = nlohmann::json::parse(stream, nullptr, true, true);
    auto loaded = make_plugin({{"config", example}});

    EXPECT_EQ(reload_failure(*loaded), std::nullopt);

    // Exactly the keys it reads, each of a type the loader accepts.
    EXPECT_EQ(members(*loaded), document);
    EXPECT_EQ(PluginPeer(*loaded).port, 8883);
    EXPECT_EQ(PluginPeer(*loaded).message_qos, 1);
    EXPECT_FALSE(PluginPeer(*loaded).tls_insecure);
    EXPECT_NE(PluginPeer(*loaded).ca_file, "") << "the example shows a TLS connection";
    EXPECT_THAT(PluginPeer(*loaded).topic, ::testing::HasSubstr("${channel}"));
}

} // namespace
