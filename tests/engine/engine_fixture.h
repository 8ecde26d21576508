#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"

namespace velmora::testing {

/// A fresh temporary directory and a reset engine for each test.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        root_ = std::filesystem::temp_directory_path() /
                ("velmora-engine-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(root_);
        standin::resetEngine();
    }
    void TearDown() override {
        standin::resetEngine();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::string path(const std::string& relative) const { return (root_ / relative).string(); }

    std::string writeFile(const std::string& relative, const std::string& content) {
        auto p = root_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    /// A bundle at `relative` whose meta names `category` and `name`.
    std::string writeBundle(const std::string& relative, const std::string& category,
                            const std::string& name) {
        auto p = root_ / relative;
        std::filesystem::create_directories(p.parent_path());
        EXPECT_TRUE(
            standin::writeBundle(p.string(), {{"category", category}, {"name", name}}, {1, 2, 3}));
        return p.string();
    }

    std::filesystem::path root_;
};

}  // namespace velmora::testing
