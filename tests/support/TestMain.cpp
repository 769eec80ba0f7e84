// Entry of every test program: either a registered child body, or the test suite.
#include "tests/support/ChildProcess.h"

#include <gmock/gmock.h>

int wmain(int argc, wchar_t** argv)
{
    int status = 0;
    if (RunChildIfRequested(argc, argv, &status)) return status;
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
