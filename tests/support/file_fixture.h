// A scratch directory per test, for files written and read back.
#ifndef ZARNO_FILE_FIXTURE_H
#define ZARNO_FILE_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class FileTest : public ::testing::Test {
protected:
    std::string dir;  // with its trailing separator

    void SetUp() override
    {
        std::string t = ::testing::TempDir() + "zarno-files-XXXXXX";
        ASSERT_NE(mkdtemp(&t[0]), nullptr);
        dir = t + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string Write(const std::string& name, const std::string& text)
    {
        std::ofstream(dir + name, std::ios::binary) << text;
        return dir + name;
    }
    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::vector<std::string> Lines(const std::string& path)
    {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
};

#endif
