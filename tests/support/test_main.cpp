// The test programs' main. On Windows the process ends right after the verdict, without
// the loader's shutdown: under Wine a test process that had printed its verdict was seen
// to stall for ever in that shutdown with one thread left, waiting on the server. The
// tools themselves end the usual way, and their own tests run them as processes.
#include <gtest/gtest.h>

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
#ifdef _WIN32
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
#endif
    return status;
}
