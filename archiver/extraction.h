#ifndef EXTRACTION_H
#define EXTRACTION_H

#include <string>

// The "x -o+" command: writes every member of `archive` into `folder`,
// replacing what stands there under the same names. A member whose name
// would lead outside `folder` is refused; nothing is ever written outside.
// Returns the exit code: Success only when every member came out whole.
int extractArchive(const std::string &archive, const std::string &folder);

// The "t" command: reads every member and checks its CRC-32, printing one
// line per damaged member. Returns the exit code.
int testArchive(const std::string &archive);

#endif // EXTRACTION_H
