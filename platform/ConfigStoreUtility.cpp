#include "ConfigStoreUtility.h"

#include "FMPException.h"
#include "ILogger.h"

#include <boost/property_tree/xml_parser.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ZAV {

namespace {

constexpr int kReadFailed = 1;
constexpr int kWriteFailed = 2;

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Writes all of data to fd, retrying interrupted and short writes.
bool writeAll(int fd, const std::string& data, int& error)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            error = errno;
            if (error == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

ConfigStoreUtility::ConfigStoreUtility(ILogger& logger)
    : m_logger(logger), m_componentName("ConfigStoreUtility")
{
}

boost::property_tree::ptree ConfigStoreUtility::readSettings(const std::string& path)
{
    boost::property_tree::ptree tree;
    try {
        // trim_whitespace undoes the pretty printing of writeSettings.
        boost::property_tree::read_xml(path, tree,
                                       boost::property_tree::xml_parser::trim_whitespace);
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(kReadFailed, "Cannot read settings file " + path + ": " + e.what());
    }
    return tree;
}

void ConfigStoreUtility::writeSettings(const std::string& path,
                                       const boost::property_tree::ptree& tree)
{
    std::ostringstream text;
    try {
        boost::property_tree::write_xml(
            text, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 2));
    } catch (const boost::property_tree::xml_parser_error& e) {
        throw FMPException(kWriteFailed, "Cannot format settings for " + path + ": " + e.what());
    }

    // Write a temporary file beside the live one and rename it over: a crash or a full disk
    // leaves either the old file or the new one, never half of one.
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw FMPException(kWriteFailed, "Cannot create a temporary file beside " + path + ": " +
                                             errnoText(error));
    }
    temp.assign(name.data());

    int error = 0;
    bool ok = fchmod(fd, 0600) == 0 || ((error = errno), false);
    ok = ok && writeAll(fd, text.str(), error);
    if (ok) {
        while (fsync(fd) != 0) {
            error = errno;
            if (error != EINTR) {
                ok = false;
                break;
            }
        }
    }
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = error == EINTR; // the descriptor is gone either way; EINTR lost no data after fsync
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        throw FMPException(kWriteFailed, "Cannot write settings file " + path + ": " +
                                             errnoText(error));
    }

    // Make the rename itself durable.
    int dirFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        if (fsync(dirFd) != 0) {
            const int dirError = errno;
            m_logger.logMessage(6, m_componentName,
                                "Cannot flush the folder of " + path + ": " + errnoText(dirError));
        }
        ::close(dirFd);
    }
}

} // namespace ZAV
