// tqd: the firewall daemon. Takes no arguments and runs until SIGINT or SIGTERM.

#include "FWMain.h"

#include <signal.h>
#include <sys/stat.h>

int main(int argc, char**)
{
    if (argc > 1)
        return 22;
    // Every file the daemon creates is for root's eyes only.
    ::umask(0177);
    // A platform service that dies while the daemon writes to it must not kill the daemon with
    // its chains in place; set before any thread exists, so every thread inherits it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    return FWMain::MFWMain();
}
