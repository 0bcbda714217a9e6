#include "write_interest.h"

void WriteInterest::Waited(bool readable, bool writable)
{
    // Nothing is read from a socket before its connect is done.
    opened = opened || writable || readable;
    // What was read may have been what OpenSSL waited for.
    stale = stale && !readable;
}

void WriteInterest::Wrote(bool library_wants, bool socket_writable)
{
    stale = library_wants && socket_writable;
}
