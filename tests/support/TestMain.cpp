// Entry of the test programs: the same process-wide set-up as the program's entry,
// with a log writer that records the program's entries for the tests to inspect.
#include "browser/WebViewFactory.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    CUSTOM_UA = quillmere::kFirefoxUserAgent;
    quillmere::test::installLogCapture();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
