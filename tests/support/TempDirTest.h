#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A test with its own temporary directory, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vexil-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path path(const std::string& name) const { return m_dir / name; }

    // Writes `data` to a file of that name in the directory and returns its path.
    std::filesystem::path file(const std::string& name, const std::vector<uint8_t>& data) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        return path(name);
    }

    std::filesystem::path m_dir;
};
