// tqstoreupgrade: converts one store of the previous release into the current format.
//
//   tqstoreupgrade rule|trustedip INPUT OUTPUT
//
// Exit status 0 when OUTPUT was written, 1 otherwise (with one line on standard error, or the
// usage text on standard output for a wrong command line).

#include "FWMigrator.h"

#include <sys/stat.h>

int main(int argc, char** argv)
{
    // Whatever the program creates is private to its owner: stores hold the firewall's rules.
    ::umask(0177);
    return FWMigrator::MFWMigrator(argc, argv);
}
