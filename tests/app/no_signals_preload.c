/* Preloaded into the service by a daemon test: signal registration fails as
 * it would in a process out of descriptors, before any handler is installed. */
#include <errno.h>

int daemon_signal_init(int signal, ...)
{
    (void)signal;
    errno = EMFILE;
    return -1;
}
