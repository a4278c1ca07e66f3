// A program run to its end as a test runs it: what it exited with and what it wrote.
#ifndef TESTS_RUNPROGRAM_H
#define TESTS_RUNPROGRAM_H

#include "emptyconfig.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A guard against a hung program, not a speed bound: a render in the sanitizer build takes a
// good part of a minute.
constexpr int kProgramTimeoutMs = 120000;

struct Run {
    int status = -1; // -1 when the program crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

// Runs program with args in workDir (the test's own when empty), with the test's environment
// unless env is given. Standard output is a pipe.
inline Run runProgram(const QString& program, const QStringList& args, const QString& workDir = {},
    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(kProgramTimeoutMs) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

#endif
