#ifndef PORT21_H
#define PORT21_H

#include "ftptestserver.h"

#include <QString>

// mirvo always connects to port 21, so a test server for it listens on
// port 21 of a loopback address of its own (which needs root).

// A loopback address on whose port 21 nothing listens: an unreachable
// server, or a place for a new one. Drawn at random from a wide range, so
// that tests running side by side do not meet.
QString freeLoopbackAddress();

// Starts `server` on port 21 of a free loopback address (the address in
// `options` is replaced).
bool startOnPort21(FtpTestServer &server, FtpTestServer::Options options = {});

#endif // PORT21_H
