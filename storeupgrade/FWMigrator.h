#pragma once

// The migration program's steps: check the command line, load the previous release's store
// with FWOldStoreReader, hand the loaded objects to the store bridge, which writes the output.
// Every failure is one line on standard error and the result 1; the usage text goes to
// standard output. A failure while reading never touches the output.
//
// No data; one thread. The loaded objects belong to the operation that loads them and are
// freed before it returns.

#include <string>
#include <vector>

class FWMigrator {
public:
    FWMigrator() = delete;

    // argv: program, "rule" or "trustedip", input path, output path. Returns the exit code.
    static int MFWMigrator(int argc, char** argv);
    // Prints the usage text; always 1.
    static int usage();
    // args as MFWMigrator's argv; 0 when the output was written, else 1.
    static int migrateRuleStore(std::vector<std::string>& args);
    static int migrateTrustedIPStore(std::vector<std::string>& args);
};
