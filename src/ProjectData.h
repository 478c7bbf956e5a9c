#pragma once

#include <QString>

// The file Kivo keeps for one project in its per-user data folder: <data>/<folder>/<name>-<hash>
// <suffix>, where name is the project file's name without its extension (characters a file
// system refuses made '_', at most 64 UTF-16 units) and hash the first 8 hex digits of the
// SHA-256 of its cleaned full path, so that projects of one name in different folders keep
// different files. Nothing is ever written beside the project. The suffix includes its dot
// (".json"). Empty when the system names no data folder. The file need not exist.
QString ProjectDataFile(const QString &project, const QString &folder, const QString &suffix);
