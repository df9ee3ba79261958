#include "FMPLogger.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::TempDir;
using TestSupport::fileMode;
using TestSupport::openDescriptorCount;
using TestSupport::readFile;
using TestSupport::writeFile;
using ZAV::FMPLogger;
using ZAV::loggerConfig;

namespace {

std::vector<std::string> linesOf(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool exists(const std::string& path)
{
    return fileMode(path) != -1;
}

off_t sizeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

loggerConfig configFor(const std::string& path, int64_t maxFileSize = 0, int64_t maxTotalSize = 0)
{
    loggerConfig config;
    config.logFilePath = path;
    config.maxFileSize = maxFileSize;
    config.maxTotalSize = maxTotalSize;
    return config;
}

// Sets the logger up on `path`; asserts that it opened.
void start(FMPLogger& logger, const loggerConfig& config, int level = 5)
{
    logger.setLoggerSettings(&config);
    ASSERT_TRUE(logger.initialize(level, level, "test", "1.0"));
}

// Restores the umask a test changed, even when an assertion ends the test early.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : m_old(umask(mask)) {}
    ~UmaskGuard() { umask(m_old); }

private:
    mode_t m_old;
};

// "line <n> " followed by padding, so a few lines fill a small file.
std::string numbered(int n)
{
    return "line " + std::to_string(n) + " " + std::string(60, 'x');
}

int numberOf(const std::string& line)
{
    const auto at = line.find(": line ");
    if (at == std::string::npos)
        return -1;
    return std::stoi(line.substr(at + 7));
}

} // namespace

TEST(FMPLoggerTest, DropsLinesAboveTheFirstLevel)
{
    TempDir dir;
    FMPLogger logger;
    start(logger, configFor(dir.file("fw.log")), 5);

    logger.logMessage(6, "Comp", "debug detail");
    logger.logMessage(2, "Comp", "broken rule");
    logger.logMessage(5, "Comp", "rule added");

    const auto lines = linesOf(dir.file("fw.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ERROR"), std::string::npos);
    EXPECT_NE(lines[0].find("Comp: broken rule"), std::string::npos);
    EXPECT_NE(lines[1].find("INFO"), std::string::npos);
    EXPECT_NE(lines[1].find("Comp: rule added"), std::string::npos);

    // Raising the level later lets the detail through.
    logger.setLogLevel(6);
    logger.logMessage(6, "Comp", "debug detail");
    EXPECT_EQ(linesOf(dir.file("fw.log")).size(), 3u);
}

TEST(FMPLoggerTest, WritesTimestampLevelProcessThreadAndComponent)
{
    TempDir dir;
    FMPLogger logger;
    start(logger, configFor(dir.file("fw.log")), 6);

    logger.logMessage(2, "Comp", "a");
    logger.logMessage(4, "Comp", "b");
    logger.logMessage(5, "Comp", "c");
    logger.logMessage(6, "Comp", "d");
    logger.logMessage(3, "Comp", "e");

    const std::string content = readFile(dir.file("fw.log"));
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    const auto lines = linesOf(dir.file("fw.log"));
    ASSERT_EQ(lines.size(), 5u);
    const std::string pid = std::to_string(getpid());
    const char* levels[] = {"ERROR", "WARN", "INFO", "DEBUG", "L3"};
    const char* messages[] = {"a", "b", "c", "d", "e"};
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::regex shape(std::string(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )") +
                               levels[i] + R"( \[)" + pid + R"(:\d+\] Comp: )" + messages[i]);
        EXPECT_TRUE(std::regex_match(lines[i], shape)) << lines[i];
    }
}

TEST(FMPLoggerTest, FileIsOwnerOnlyEvenUnderAnOpenUmask)
{
    TempDir dir;
    UmaskGuard guard(0);
    FMPLogger logger;
    start(logger, configFor(dir.file("fw.log")));
    EXPECT_EQ(fileMode(dir.file("fw.log")), 0600);
}

TEST(FMPLoggerTest, NarrowsAnOlderWiderFileAndAppendsToIt)
{
    TempDir dir;
    writeFile(dir.file("fw.log"), "earlier line\n");
    ASSERT_EQ(chmod(dir.file("fw.log").c_str(), 0644), 0);

    FMPLogger logger;
    start(logger, configFor(dir.file("fw.log")));
    logger.logMessage(5, "Comp", "later line");

    EXPECT_EQ(fileMode(dir.file("fw.log")), 0600);
    const auto lines = linesOf(dir.file("fw.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_NE(lines[1].find("later line"), std::string::npos);
}

TEST(FMPLoggerTest, CreatesMissingFoldersOwnerOnly)
{
    TempDir dir;
    UmaskGuard guard(0);
    FMPLogger logger;
    start(logger, configFor(dir.file("logs/fw/fw.log")));
    logger.logMessage(5, "Comp", "hello");

    EXPECT_EQ(fileMode(dir.file("logs")), 0700);
    EXPECT_EQ(fileMode(dir.file("logs/fw")), 0700);
    EXPECT_NE(readFile(dir.file("logs/fw/fw.log")).find("hello"), std::string::npos);
}

TEST(FMPLoggerTest, InitializeFailsWhenTheFileCannotBeOpened)
{
    TempDir dir;
    writeFile(dir.file("plain"), "");

    FMPLogger underFile;
    const loggerConfig blocked = configFor(dir.file("plain/sub/fw.log"));
    underFile.setLoggerSettings(&blocked);
    EXPECT_FALSE(underFile.initialize(5, 5, "test", "1.0"));
    underFile.logMessage(2, "Comp", "nowhere to go");

    FMPLogger noPath;
    const loggerConfig empty = configFor("");
    noPath.setLoggerSettings(&empty);
    EXPECT_FALSE(noPath.initialize(5, 5, "test", "1.0"));
}

TEST(FMPLoggerTest, LoggerThatWasNeverInitializedDropsSilently)
{
    TempDir dir;
    FMPLogger logger;
    const loggerConfig config = configFor(dir.file("fw.log"));
    logger.setLoggerSettings(&config);
    logger.logMessage(2, "Comp", "too early");
    EXPECT_FALSE(exists(dir.file("fw.log")));
}

TEST(FMPLoggerTest, RotationKeepsTotalOverSizeMinusOneOlderFiles)
{
    const int64_t size = 1000;
    // Three files and four: with four, a shift done in the wrong order loses a file.
    for (const int files : {3, 4}) {
        SCOPED_TRACE("total " + std::to_string(files) + " x size");
        TempDir dir;
        const std::string path = dir.file("fw.log");
        FMPLogger logger;
        start(logger, configFor(path, size, files * size));

        const int count = 200;
        for (int i = 0; i < count; ++i)
            logger.logMessage(5, "Comp", numbered(i));

        std::vector<std::string> kept{path};
        for (int i = 1; i < files; ++i)
            kept.push_back(path + "." + std::to_string(i));
        EXPECT_FALSE(exists(path + "." + std::to_string(files)));
        for (const std::string& file : kept) {
            EXPECT_TRUE(exists(file)) << file;
            EXPECT_LE(sizeOf(file), size) << file;
            EXPECT_EQ(fileMode(file), 0600) << file;
        }

        // Oldest to newest, the kept lines run on without a gap up to the last one written.
        std::vector<int> numbers;
        for (auto file = kept.rbegin(); file != kept.rend(); ++file)
            for (const std::string& line : linesOf(*file))
                numbers.push_back(numberOf(line));
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.back(), count - 1);
        for (size_t i = 1; i < numbers.size(); ++i)
            EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "at " << i;
    }
}

TEST(FMPLoggerTest, TotalBelowOneFileKeepsNoOlderFile)
{
    for (const int64_t total : {int64_t{500}, int64_t{0}}) {
        TempDir dir;
        const std::string path = dir.file("fw.log");
        FMPLogger logger;
        start(logger, configFor(path, 1000, total));
        for (int i = 0; i < 50; ++i)
            logger.logMessage(5, "Comp", numbered(i));

        EXPECT_FALSE(exists(path + ".1")) << "total " << total;
        EXPECT_LE(sizeOf(path), 1000) << "total " << total;
        const auto lines = linesOf(path);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(numberOf(lines.back()), 49);
    }
}

TEST(FMPLoggerTest, SettingsWithoutPathOrSizesKeepTheFileAndLimits)
{
    TempDir dir;
    const std::string path = dir.file("fw.log");
    FMPLogger logger;
    start(logger, configFor(path, 1000, 3000));
    logger.logMessage(5, "Comp", "before");

    logger.setLoggerSettings(nullptr);
    loggerConfig policy = configFor("", 0, 0);
    policy.auxiliarySize = 77;
    logger.setLoggerSettings(&policy);

    EXPECT_EQ(logger.getMaxFileSize(), 1000);
    EXPECT_EQ(logger.getMaxTotalSize(), 3000);
    EXPECT_EQ(logger.getAuxiliarySize(), 77);
    logger.logMessage(5, "Comp", "after");
    const std::string content = readFile(path);
    EXPECT_NE(content.find("before"), std::string::npos);
    EXPECT_NE(content.find("after"), std::string::npos);

    // The kept limit still rotates.
    for (int i = 0; i < 50; ++i)
        logger.logMessage(5, "Comp", numbered(i));
    EXPECT_TRUE(exists(path + ".1"));
    EXPECT_LE(sizeOf(path), 1000);
}

TEST(FMPLoggerTest, NewPathMovesTheLogAndClosesTheOldFile)
{
    TempDir dir;
    FMPLogger logger;
    start(logger, configFor(dir.file("old.log")));
    logger.logMessage(5, "Comp", "first");
    const int descriptors = openDescriptorCount();

    const loggerConfig moved = configFor(dir.file("new/new.log"));
    logger.setLoggerSettings(&moved);
    logger.logMessage(5, "Comp", "second");

    EXPECT_EQ(openDescriptorCount(), descriptors);
    const std::string oldContent = readFile(dir.file("old.log"));
    const std::string newContent = readFile(dir.file("new/new.log"));
    EXPECT_NE(oldContent.find("first"), std::string::npos);
    EXPECT_EQ(oldContent.find("second"), std::string::npos);
    EXPECT_NE(newContent.find("second"), std::string::npos);
    EXPECT_EQ(fileMode(dir.file("new/new.log")), 0600);
}

TEST(FMPLoggerTest, UnopenableNewPathKeepsLoggingToTheCurrentFile)
{
    TempDir dir;
    writeFile(dir.file("plain"), "");
    FMPLogger logger;
    start(logger, configFor(dir.file("fw.log")));

    const loggerConfig blocked = configFor(dir.file("plain/fw.log"));
    logger.setLoggerSettings(&blocked);
    logger.logMessage(5, "Comp", "still here");

    EXPECT_NE(readFile(dir.file("fw.log")).find("still here"), std::string::npos);
}

TEST(FMPLoggerTest, ClosesItsFileWhenDestroyed)
{
    TempDir dir;
    const int descriptors = openDescriptorCount();
    {
        FMPLogger logger;
        start(logger, configFor(dir.file("fw.log"), 200, 400));
        for (int i = 0; i < 20; ++i) // rotation reopens the file; none may leak
            logger.logMessage(5, "Comp", numbered(i));
        EXPECT_EQ(openDescriptorCount(), descriptors + 1);
    }
    EXPECT_EQ(openDescriptorCount(), descriptors);
}
