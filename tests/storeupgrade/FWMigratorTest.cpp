// tqstoreupgrade as a program: previous-release stores made by the old-store writer are
// converted into stores the daemon's code loads, and every failure gives its line, exit code 1
// and an output as it was.

#include "ModelFixtures.h"
#include "OldStoreWriter.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "SFTrustedGroupIP.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace StatefulFirewall;
using TestSupport::fileMode;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const std::string kUsage =
    "Utility used to migrate Rule Store and Trusted IP Store from 8.0.x to 10.6.x version\n"
    "Usage: <Type of migration> <Input File> <Output File>\n"
    "Type of migration can be 'rule' or 'trustedip'\n"
    "Input file should exist and be an absolute path\n"
    "Output file should be an absolute path and will be over written\n";
const std::string kOldContent = "previous output";

struct Limits {
    rlim_t fileSize = RLIM_INFINITY;
    rlim_t addressSpace = RLIM_INFINITY;
};

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// Runs tqstoreupgrade with args; standard output and error go to files in folder.
Outcome run(const std::string& folder, std::vector<std::string> args, Limits limits = {})
{
    args.insert(args.begin(), TQ_STOREUPGRADE);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string outPath = folder + "/stdout", errPath = folder + "/stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        const rlimit fsize{limits.fileSize, limits.fileSize};
        const rlimit as{limits.addressSpace, limits.addressSpace};
        ::setrlimit(RLIMIT_FSIZE, &fsize);
        ::setrlimit(RLIMIT_AS, &as);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return outcome;
}

std::vector<std::string> folderEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

template <unsigned V> std::wstring oldRules(const SFRuleTable& model)
{
    OldStore::TableT<V> table;
    OldStore::fromModel(model, table);
    return OldStore::ruleStoreText(table);
}

std::wstring oldTrusted(const std::list<SFTrustedGroupIP*>& model)
{
    OldStore::TrustedList list;
    OldStore::fromModel(model, list);
    return OldStore::trustedStoreText(list);
}

// The golden stores of the current format: every match kind and format, fixed groups, jump
// rules, identifiers with bytes above 0x7f, adaptive keys and intrusion flags; every trusted
// entry type.
std::string golden(const char* name)
{
    return readFile(std::string(TQ_SOURCE_DIR) + "/tests/policycore/golden/" + name);
}

std::unique_ptr<SFRuleTable> goldenTable()
{
    auto table = std::make_unique<SFRuleTable>();
    decodeRuleStore(golden("rule-store.data"), *table);
    return table;
}

struct GoldenTrusted {
    GoldenTrusted() { decodeTrustedStore(golden("trustedip-store.data"), entries); }
    ~GoldenTrusted()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
    std::list<SFTrustedGroupIP*> entries;
};

// The hand-written previous-release trusted store: 192.168.0.0/24 and the local-subnet entry.
const std::wstring kGoldenTrusted =
    L"22 serialization::archive 9 0 0 2 0 1 1 0\n0 4 4 43200 24 16777215 1\n1 3";

class FWMigratorTest : public ::testing::Test {
protected:
    std::string file(const char* name) const { return m_dir.file(name); }

    TestSupport::TempDir m_dir;
    std::string m_in = file("old.data");
    std::string m_out = file("new.data");
};

// ---- migration ------------------------------------------------------------------------------

TEST_F(FWMigratorTest, VersionZeroRulesMigrateWithTheFlagFalseAndVersionOneKeepsIt)
{
    const auto table = goldenTable();
    // Version 0 records carry no flag: the output has it false on every rule, written in
    // class version 1 form, which is what the current writer gives for such a table.
    writeFile(m_in, OldStore::fileBytes(oldRules<0>(*table)));
    Outcome outcome = run(m_dir.path(), {"rule", m_in, m_out});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out + outcome.err, "");
    SFRuleTable loaded;
    ASSERT_NO_THROW(decodeRuleStore(readFile(m_out), loaded));
    for (const SFRuleGroup* group : loaded.groups)
        for (const SFRule* rule : group->rules)
            EXPECT_FALSE(rule->treatAsIntrusion) << rule->name;
    for (SFRuleGroup* group : table->groups)
        for (SFRule* rule : group->rules)
            rule->treatAsIntrusion = false;
    EXPECT_EQ(readFile(m_out), encodeRuleStore(*table));
    EXPECT_EQ(fileMode(m_out), 0600);

    // Version 1 keeps the flags; read and written in place.
    writeFile(m_in, OldStore::fileBytes(oldRules<1>(*goldenTable())));
    outcome = run(m_dir.path(), {"rule", m_in, m_in});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(readFile(m_in), golden("rule-store.data"));
    EXPECT_EQ(folderEntries(m_dir.path()), (std::vector<std::string>{"new.data", "old.data"}));
}

TEST_F(FWMigratorTest, TrustedStoresMigrateToWhatTheWideLoaderReads)
{
    // The writer itself gives the hand-written text (plus the archive's final line end).
    std::list<SFTrustedGroupIP*> hand;
    ASSERT_NO_THROW(decodeTrustedStore(OldStore::fileBytes(kGoldenTrusted), hand));
    EXPECT_EQ(oldTrusted(hand), kGoldenTrusted + L"\n");
    for (SFTrustedGroupIP* entry : hand)
        delete entry;

    writeFile(m_in, OldStore::fileBytes(kGoldenTrusted));
    Outcome outcome = run(m_dir.path(), {"trustedip", m_in, m_out});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out + outcome.err, "");
    EXPECT_EQ(TestSupport::model::storedValues(m_out),
              (std::vector<std::string>{"192.168.0.0/24", "NOT SET"}));

    GoldenTrusted sample;
    writeFile(m_in, OldStore::fileBytes(oldTrusted(sample.entries)));
    outcome = run(m_dir.path(), {"trustedip", m_in, m_out});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(readFile(m_out), golden("trustedip-store.data"));
}

// ---- failures: one run per row --------------------------------------------------------------

enum class Output { Absent, Unchanged, Private, Shared };

struct Row {
    const char* what;
    std::vector<std::string> args; // "IN", "OUT" and "MISSING" (in no folder) stand for paths
    std::optional<std::string> input; // none: no input file
    Output output;                    // state before (Absent or Unchanged/Shared) and after
    int exitCode;
    std::string out, err; // err: exact, or a prefix when it ends in "- "
    Limits limits = {};
};

TEST_F(FWMigratorTest, EveryFailureGivesItsLineAndExitOneAndLeavesTheOutput)
{
    using OldStore::edited;
    const auto sample = goldenTable();
    const std::wstring v1 = oldRules<1>(*sample);
    const std::string rules = OldStore::fileBytes(v1);
    const std::string v2 = OldStore::fileBytes(oldRules<2>(*sample));
    const std::string narrow = encodeRuleStore(*sample);
    GoldenTrusted trusted;
    const std::string trustedBytes = OldStore::fileBytes(oldTrusted(trusted.entries));
    const std::string golden = OldStore::fileBytes(kGoldenTrusted);
    // Faulty variants, edited in the wide text.
    auto faulty = [&v1](const std::wstring& from, const std::wstring& to) {
        return OldStore::fileBytes(edited(v1, from, to));
    };
    const std::string data4Nine = faulty(L" 20063 24689 8 ", L" 20063 24689 9 ");
    const std::string header19 = faulty(L"archive 9 ", L"archive 19 ");
    const std::string hugeGroups =
        faulty(L"archive 9 0 0 0 0 5 0 ", L"archive 9 0 0 0 0 4000000000 0 ");
    const std::string hugeTrusted =
        OldStore::fileBytes(edited(kGoldenTrusted, L" 0 0 2 0 ", L" 0 0 4000000000 0 "));
    const std::string truncated = OldStore::fileBytes(v1.substr(0, v1.size() / 2));
    // A group name whose stored length is far beyond the store: refused before any of it is
    // sized (the wide reader used to reserve it and then append one character per count).
    sample->groups.back()->name = "distinct";
    const std::string hugeName = OldStore::fileBytes(
        edited(oldRules<1>(*sample), L" 8 distinct ", L" 3000000000 distinct "));
    // The old release's wide stream failed on a byte of 0x80 or more in a name.
    sample->groups.back()->name = "Caf\xc3\xa9";
    const std::string nonAscii = OldStore::fileBytes(oldRules<1>(*sample));

    const std::vector<std::string> rule{"rule", "IN", "OUT"}, trustedip{"trustedip", "IN", "OUT"};
    const std::string readRule = "Boost exception caught while reading rule store - ";
    const std::string readTrusted = "Boost exception caught while reading trustedip store - ";
    const std::string countTooLarge = "list count larger than the input\n";
    const std::string lengthTooLarge = "string length larger than the input\n";
    const std::string badType = "Invalid migration type passed\n";
    // Under the sanitizer the program reserves address space it never uses.
#ifdef __SANITIZE_ADDRESS__
    const Limits smallMemory{};
#else
    const Limits smallMemory{RLIM_INFINITY, 256u << 20};
#endif
    const Limits smallFiles{200, RLIM_INFINITY};
    const auto absent = Output::Absent, unchanged = Output::Unchanged;

    const std::vector<Row> rows = {
        {"no arguments", {}, std::nullopt, absent, 1, kUsage, ""},
        {"two arguments", {"rule", "IN"}, rules, absent, 1, kUsage, ""},
        {"four arguments", {"rule", "IN", "OUT", "x"}, rules, absent, 1, kUsage, ""},
        {"capital type", {"Rule", "IN", "OUT"}, rules, absent, 1, kUsage, badType},
        {"short type", {"trusted", "IN", "OUT"}, rules, absent, 1, kUsage, badType},
        {"missing input", rule, std::nullopt, absent, 1, "",
         "Unable to open input file to migrate rule store\n"},
        {"missing trusted input", trustedip, std::nullopt, absent, 1, "",
         "Unable to open input file to migrate trustedip store\n"},
        {"empty input", rule, "", unchanged, 1, "", readRule},
        {"Data4 count 9", rule, data4Nine, unchanged, 1, "", readRule + "array size too short\n"},
        {"header 19", rule, header19, unchanged, 1, "", readRule + "unsupported version\n"},
        {"SFRule version 2", rule, v2, unchanged, 1, "",
         readRule + "class version <unknown class>\n"},
        {"truncated", rule, truncated, unchanged, 1, "", readRule + "input stream error\n"},
        {"name with a byte above 0x7f", rule, nonAscii, unchanged, 1, "",
         readRule + lengthTooLarge},
        {"current narrow rule store", rule, narrow, unchanged, 1, "", readRule},
        {"huge trusted list count", trustedip, hugeTrusted, unchanged, 1, "",
         readTrusted + countTooLarge, smallMemory},
        {"huge group list count", rule, hugeGroups, unchanged, 1, "", readRule + countTooLarge,
         smallMemory},
        {"huge group name length", rule, hugeName, unchanged, 1, "", readRule + lengthTooLarge,
         smallMemory},
        {"missing output folder", {"rule", "IN", "MISSING"}, rules, absent, 1, "",
         "Unable to open output file to migrate rule store\n"},
        {"output beyond the file size limit", trustedip, trustedBytes, unchanged, 1, "",
         "Unknown exception caught while saving trustedip store - File too large\n", smallFiles},
        {"new output", trustedip, golden, Output::Private, 0, "", ""},
        {"existing shared output", rule, rules, Output::Shared, 0, "", ""},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ::unlink(m_in.c_str());
        ::unlink(m_out.c_str());
        if (row.input)
            writeFile(m_in, *row.input);
        if (row.output == Output::Unchanged || row.output == Output::Shared) {
            writeFile(m_out, kOldContent);
            ASSERT_EQ(::chmod(m_out.c_str(), 0644), 0);
        }
        std::vector<std::string> args;
        for (const std::string& arg : row.args)
            args.push_back(arg == "IN"        ? m_in
                           : arg == "OUT"     ? m_out
                           : arg == "MISSING" ? file("no/such/rules.data")
                                              : arg);

        const Outcome outcome = run(m_dir.path(), args, row.limits);
        EXPECT_EQ(outcome.exitCode, row.exitCode);
        EXPECT_EQ(outcome.out, row.out);
        if (row.err.size() > 2 && row.err.compare(row.err.size() - 2, 2, "- ") == 0)
            EXPECT_EQ(outcome.err.rfind(row.err, 0), 0u) << outcome.err;
        else
            EXPECT_EQ(outcome.err, row.err);
        switch (row.output) {
        case Output::Absent:
            EXPECT_EQ(fileMode(m_out), -1);
            break;
        case Output::Unchanged:
            EXPECT_EQ(readFile(m_out), kOldContent);
            EXPECT_EQ(fileMode(m_out), 0644);
            break;
        case Output::Private:
        case Output::Shared:
            EXPECT_EQ(fileMode(m_out), row.output == Output::Private ? 0600 : 0644);
            EXPECT_NE(readFile(m_out), kOldContent);
            break;
        }
        std::vector<std::string> expected;
        if (row.output != Output::Absent)
            expected.push_back("new.data");
        if (row.input)
            expected.push_back("old.data");
        EXPECT_EQ(folderEntries(m_dir.path()), expected); // no temporary file left behind
    }
}

TEST_F(FWMigratorTest, DeviceOutputIsWrittenInPlaceAndStaysADevice)
{
    struct stat st {};
    if (::stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode))
        GTEST_SKIP() << "no /dev/full";
    writeFile(m_in, OldStore::fileBytes(kGoldenTrusted));
    const Outcome outcome = run(m_dir.path(), {"trustedip", m_in, "/dev/full"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err,
              "Unknown exception caught while saving trustedip store - No space left on device\n");
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(folderEntries(m_dir.path()), std::vector<std::string>{"old.data"});
}

} // namespace
