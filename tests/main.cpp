// The test program links the core directly, so it runs the library's load and unload
// sequences itself, around the whole suite, as the platform does for the real library.
#include "frame/state.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    LibraryLoad();
    const int result = RUN_ALL_TESTS();
    LibraryUnload(false);
    return result;
}
