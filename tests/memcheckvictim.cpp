// A program for memcheck to judge: "invalid-read" reads one element past a heap block, anything
// else exits cleanly.
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "invalid-read") != 0)
        return 0;
    // The index comes from the command line so that the compiler cannot see the overrun.
    const int count = argc + 2;
    std::unique_ptr<int[]> block(new int[count]());
    volatile int value = block[count];
    std::printf("%d\n", value);
    return 0;
}
