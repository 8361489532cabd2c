#ifndef CONFIGURATIONFIELDS_H
#define CONFIGURATIONFIELDS_H

#include <QString>

// config.txt keeps one entry per line and splits it on spaces, so neither
// may appear inside a field. A line break would split the entry over two
// lines and let a crafted file name inject lines of its own.
bool breaksConfigurationLine(const QString &text);

// A path is the one field of its line that may hold spaces (an entry's
// name, the last field, never does): only a line break cannot be stored.
bool breaksConfigurationPath(const QString &path);

// A backup name names a file inside the save folders, the remote folders and
// the working directory: it may not lead out of them, so it holds no folder
// separator, is not empty and is neither "." nor "..".
bool isValidBackupName(const QString &name);

// A line of config.txt without the carriage returns at its end: an editor
// may leave more than the one of "\r\n", and they belong to no path or name
// (a save writes the line back without them).
QString withoutCarriageReturns(QString line);

// The name under which an entry's copy lands in latest/ and the dated
// folders: zipped entries are stored as their archive.
QString storedBackupName(const QString &name, bool zipped);

// The configuration file, in the folder the program works in.
inline constexpr char configurationFileName[] = "config.txt";

// Where WinRAR is usually installed.
inline constexpr char defaultWinrarPath[] = "C:/Program Files (x86)/WinRAR/WinRAR.exe";

// The archiver of a new config.txt: the stand-in when it is installed beside
// the running program, else WinRAR's usual place.
QString defaultArchiverPath();

#endif // CONFIGURATIONFIELDS_H
