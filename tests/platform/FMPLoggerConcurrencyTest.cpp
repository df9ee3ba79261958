#include "FMPLogger.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using TestSupport::TempDir;
using TestSupport::fileMode;
using TestSupport::readFile;
using ZAV::FMPLogger;
using ZAV::loggerConfig;

namespace {

// Long enough that a torn or interleaved write would show in the middle of a line.
const std::string kPayload(120, 'p');

std::string messageFor(int thread, int line)
{
    return "thread " + std::to_string(thread) + " line " + std::to_string(line) + " " + kPayload;
}

bool readNumber(const std::string& text, size_t& pos, int& value)
{
    const auto result = std::from_chars(text.data() + pos, text.data() + text.size(), value);
    if (result.ec != std::errc())
        return false;
    pos = static_cast<size_t>(result.ptr - text.data());
    return true;
}

bool expect(const std::string& text, size_t& pos, const std::string& literal)
{
    if (text.compare(pos, literal.size(), literal) != 0)
        return false;
    pos += literal.size();
    return true;
}

// Parses one whole line as written by a worker; false when any part is out of place.
bool parseLine(const std::string& line, int& thread, int& number)
{
    // "YYYY-MM-DD HH:MM:SS.mmm"
    static const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    size_t pos = shape.size();
    int pid = 0;
    int tid = 0;
    return expect(line, pos, " INFO [") && readNumber(line, pos, pid) && pid == getpid() &&
           expect(line, pos, ":") && readNumber(line, pos, tid) &&
           expect(line, pos, "] Worker: thread ") && readNumber(line, pos, thread) &&
           expect(line, pos, " line ") && readNumber(line, pos, number) &&
           expect(line, pos, " " + kPayload) && pos == line.size();
}

std::vector<std::string> linesOf(const std::string& content)
{
    std::vector<std::string> lines;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void runWorkers(FMPLogger& logger, int threads, int lines)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&logger, t, lines] {
            for (int n = 0; n < lines; ++n)
                logger.logMessage(5, "Worker", messageFor(t, n));
        });
    for (auto& worker : workers)
        worker.join();
}

bool start(FMPLogger& logger, const std::string& path, int64_t size, int64_t total)
{
    loggerConfig config;
    config.logFilePath = path;
    config.maxFileSize = size;
    config.maxTotalSize = total;
    logger.setLoggerSettings(&config);
    return logger.initialize(5, 5, "test", "1.0");
}

} // namespace

TEST(FMPLoggerConcurrencyTest, ManyThreadsWriteEveryLineWhole)
{
    const int threads = 8;
    const int perThread = 10000;
    TempDir dir;
    FMPLogger logger;
    ASSERT_TRUE(start(logger, dir.file("fw.log"), 0, 0));

    runWorkers(logger, threads, perThread);

    const std::string content = readFile(dir.file("fw.log"));
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    const auto lines = linesOf(content);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));

    // Each line once, and each thread's lines in the order it sent them.
    std::vector<int> next(threads, 0);
    int broken = 0;
    for (const std::string& line : lines) {
        int thread = -1;
        int number = -1;
        if (!parseLine(line, thread, number) || thread < 0 || thread >= threads ||
            number != next[thread]) {
            if (++broken <= 5)
                ADD_FAILURE() << "unexpected line: " << line;
            continue;
        }
        ++next[thread];
    }
    EXPECT_EQ(broken, 0);
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(next[t], perThread) << "thread " << t;
}

TEST(FMPLoggerConcurrencyTest, LinesStayWholeWhileFilesRotate)
{
    const int threads = 4;
    const int perThread = 5000;
    const int64_t size = 64 * 1024;
    TempDir dir;
    const std::string path = dir.file("fw.log");
    FMPLogger logger;
    ASSERT_TRUE(start(logger, path, size, 4 * size));

    runWorkers(logger, threads, perThread);

    EXPECT_EQ(fileMode(path + ".4"), -1);
    // Oldest file first, so each thread's numbers must keep rising across files.
    std::vector<int> last(threads, -1);
    int broken = 0;
    for (const std::string& file : {path + ".3", path + ".2", path + ".1", path}) {
        const std::string content = readFile(file);
        ASSERT_FALSE(content.empty()) << file;
        EXPECT_EQ(content.back(), '\n') << file;
        EXPECT_LE(static_cast<int64_t>(content.size()), size) << file;
        for (const std::string& line : linesOf(content)) {
            int thread = -1;
            int number = -1;
            if (!parseLine(line, thread, number) || thread < 0 || thread >= threads ||
                number <= last[thread]) {
                if (++broken <= 5)
                    ADD_FAILURE() << file << ": unexpected line: " << line;
                continue;
            }
            last[thread] = number;
        }
    }
    EXPECT_EQ(broken, 0);
    // A thread that finished early may have all its lines rotated away, but the last line
    // written by any thread is in the current file.
    int newest = -1;
    for (int t = 0; t < threads; ++t)
        newest = std::max(newest, last[t]);
    EXPECT_EQ(newest, perThread - 1);
}
