// Window tests run on the offscreen platform with the program's own
// application object and font.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "Application.h"
#include "SanitizerHooks.h"

int main(int argc, char** argv) {
    // Listing the tests needs no display.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<TApplication> application;
    if (!listing) {
        application = std::make_unique<TApplication>(argc, argv);
        ApplyDesignFont(*application);
    }
    return RUN_ALL_TESTS();
}
