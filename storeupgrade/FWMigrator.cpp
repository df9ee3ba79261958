#include "FWMigrator.h"

#include "FWOldStoreReader.h"
#include "SFRuleTable.h"
#include "SFTrustedGroupIP.h"
#include "TqStoreBridgeRules.h"
#include "TqStoreBridgeTrustedIP.h"

#include <boost/archive/archive_exception.hpp>

#include <cstring>
#include <functional>
#include <iostream>
#include <list>

using StatefulFirewall::SFRuleTable;
using StatefulFirewall::SFTrustedGroupIP;

namespace {

struct ReadTexts {
    const char* openFailure;
    const char* archiveFailure;
    const char* otherFailure;
};

const ReadTexts RULE_READ_TEXTS = {
    "Unable to open input file to migrate rule store",
    "Boost exception caught while reading rule store - ",
    "Unknown exception caught while reading rule store - ",
};

const ReadTexts TRUSTED_READ_TEXTS = {
    "Unable to open input file to migrate trustedip store",
    "Boost exception caught while reading trustedip store - ",
    "Unknown exception caught while reading trustedip store - ",
};

// Reads the whole input and decodes it; false after printing the failure line. Runs before
// the output is opened, so INPUT and OUTPUT may be the same file.
bool loadInput(const std::string& path, const ReadTexts& texts,
               const std::function<void(const std::string&)>& decode)
{
    std::string bytes;
    int error = 0;
    switch (FWOldStoreReader::readFile(path, bytes, error)) {
    case FWOldStoreReader::ReadResult::OpenFailed:
        std::cerr << texts.openFailure << std::endl;
        return false;
    case FWOldStoreReader::ReadResult::ReadFailed:
        std::cerr << texts.otherFailure << std::strerror(error) << std::endl;
        return false;
    case FWOldStoreReader::ReadResult::Read:
        break;
    }
    try {
        decode(bytes);
        return true;
    } catch (const boost::archive::archive_exception& e) {
        std::cerr << texts.archiveFailure << e.what() << std::endl;
    } catch (...) {
        std::cerr << texts.otherFailure << std::endl;
    }
    return false;
}

// Owns the entries of a loaded trusted-network list.
struct TrustedList {
    TrustedList() = default;
    TrustedList(const TrustedList&) = delete;
    TrustedList& operator=(const TrustedList&) = delete;
    ~TrustedList()
    {
        for (SFTrustedGroupIP* entry : entries)
            delete entry;
    }
    std::list<SFTrustedGroupIP*> entries;
};

} // namespace

int FWMigrator::MFWMigrator(int argc, char** argv)
{
    if (argc != 4)
        return usage();
    std::vector<std::string> args(argv, argv + 4);
    if (args[1] != "rule" && args[1] != "trustedip") {
        std::cerr << "Invalid migration type passed" << std::endl;
        return usage();
    }
    return args[1] == "rule" ? migrateRuleStore(args) : migrateTrustedIPStore(args);
}

int FWMigrator::usage()
{
    std::cout << "Utility used to migrate Rule Store and Trusted IP Store from 8.0.x to 10.6.x "
                 "version"
              << std::endl;
    std::cout << "Usage: <Type of migration> <Input File> <Output File>" << std::endl;
    std::cout << "Type of migration can be '" << "rule" << "' or '" << "trustedip" << "'"
              << std::endl;
    std::cout << "Input file should exist and be an absolute path" << std::endl;
    std::cout << "Output file should be an absolute path and will be over written"
              << std::endl;
    return 1;
}

int FWMigrator::migrateRuleStore(std::vector<std::string>& args)
{
    SFRuleTable table; // frees whatever was loaded, also after a failure
    if (!loadInput(args[2], RULE_READ_TEXTS, [&table](const std::string& bytes) {
            FWOldStoreReader::decodeRuleStore(bytes, table);
        }))
        return 1;
    StatefulFirewall::TqStoreBridgeRules bridge;
    return bridge.saveRuleStore(table, args[3]);
}

int FWMigrator::migrateTrustedIPStore(std::vector<std::string>& args)
{
    TrustedList list;
    if (!loadInput(args[2], TRUSTED_READ_TEXTS, [&list](const std::string& bytes) {
            FWOldStoreReader::decodeTrustedStore(bytes, list.entries);
        }))
        return 1;
    StatefulFirewall::TqStoreBridgeTrustedIP bridge;
    return bridge.saveTrustedIPStore(list.entries, args[3]);
}
