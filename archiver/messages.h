#ifndef MESSAGES_H
#define MESSAGES_H

#include <string>

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

// Writes one line "mirvo-archiver: MESSAGE" to stderr; always false, so that
// a failing step can end with `return fail(...)`.
bool fail(const std::string &message);

#endif // MESSAGES_H
