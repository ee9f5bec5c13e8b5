// For tests of whole consoles: a fixture with a scratch HOME, so consoles built from a path
// place their save directory there instead of in the real home; our test programs' paths;
// consoles built without their diagnostic lines on the test output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "host/console.hpp"

inline std::string test_rom(const std::string& name) { return std::string(ZUMBREL_TEST_ROMS) + "/" + name; }

template <class... Args>
std::unique_ptr<NESUnit> quiet_console(Args&&... args) {
    testing::internal::CaptureStdout();
    auto unit = std::make_unique<NESUnit>(std::forward<Args>(args)...);
    testing::internal::GetCapturedStdout();
    return unit;
}

class ScratchHome : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("zumbrel-home-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        const char* old = std::getenv("HOME");
        saved_home = old ? old : "";
        ::setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        ::setenv("HOME", saved_home.c_str(), 1);
        std::filesystem::remove_all(home);
    }

    std::filesystem::path home;
    std::string saved_home;
};
