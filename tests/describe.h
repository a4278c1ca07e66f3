// Failure messages for the unit tests: what was checked, where, and both values to nine
// significant digits, enough to tell two floats apart.
#ifndef TESTS_DESCRIBE_H
#define TESTS_DESCRIBE_H

#include <QByteArray>
#include <QLatin1String>
#include <QString>

inline QByteArray describe(const char* what, int index, double got, double expected)
{
    return QStringLiteral("%1 at %2: got %3, expected %4")
        .arg(QLatin1String(what))
        .arg(index)
        .arg(got, 0, 'g', 9)
        .arg(expected, 0, 'g', 9)
        .toLocal8Bit();
}

#endif
