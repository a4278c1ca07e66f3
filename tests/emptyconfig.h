// Keeps a developer's own configuration out of the programs a test starts.
#ifndef TESTS_EMPTYCONFIG_H
#define TESTS_EMPTYCONFIG_H

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

// The programs read their configuration file from the user's configuration folder, which a
// developer's own settings would otherwise bring into every run: each program a test starts
// inherits an empty folder instead, set before the test's first line (a test that gives its
// programs an environment of its own gives them its own folder, or none).
inline QTemporaryDir& emptyConfigFolder()
{
    static QTemporaryDir folder;
    return folder;
}
inline const bool kEmptyConfigFolderSet
    = qputenv("XDG_CONFIG_HOME", QFile::encodeName(emptyConfigFolder().path()));

#endif
