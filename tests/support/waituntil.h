#ifndef WAITUNTIL_H
#define WAITUNTIL_H

#include <functional>

// Runs the event loop until `condition` holds or `timeoutMs` have passed and
// returns the condition. Unlike QTRY_* it does not sleep between rounds, so
// that large transfers run at full speed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

#endif // WAITUNTIL_H
