// The main of a test that renders headless: "-backend <name>" is read as the programs read
// --backend, the platform is prepared for that back end before the QGuiApplication exists, and
// every other argument goes to Qt Test. The test object is made from the back end prepared.
#pragma once

#include "visual/headless.h"

#include <QGuiApplication>
#include <QTest>

#include <cstdio>
#include <vector>

namespace rendertest {

template <class Test> int main(int argc, char** argv)
{
    visual::Backend backend = visual::Backend::Vulkan;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (qstrcmp(argv[i], "-backend") == 0 && i + 1 < argc) {
            if (!visual::parseBackend(QString::fromLocal8Bit(argv[++i]), &backend)) {
                std::fprintf(stderr, "unknown back end '%s': use vulkan or gles\n", argv[i]);
                return 2;
            }
            continue;
        }
        args.push_back(argv[i]);
    }
    int count = int(args.size());
    args.push_back(nullptr);
    backend = visual::prepareHeadless(backend);
    QGuiApplication app(count, args.data());
    Test test(backend);
    return QTest::qExec(&test, count, args.data());
}

} // namespace rendertest
