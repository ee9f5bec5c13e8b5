// A test fixture with a scratch HOME, so consoles built from a path place their save
// directory there instead of in the real home.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
