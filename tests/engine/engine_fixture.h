#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"
#include "tests/support/temp_dir.h"

namespace velmora::testing {

/// A fresh temporary directory and a reset engine for each test.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override { standin::resetEngine(); }
    void TearDown() override { standin::resetEngine(); }

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

    TempDir dir_;
    std::filesystem::path root_{dir_.path()};
};

}  // namespace velmora::testing
