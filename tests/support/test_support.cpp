/*
 * test_support.cpp - shared test helpers (see test_support.h).
 */
#include "test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vqtest {

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vqtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string &path)
{
    std::filesystem::create_directories(path);
}

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LogTexts()
{
    std::vector<std::string> out;
    for (const auto &e : LogEntries())
        out.push_back(e.text);
    return out;
}

void PlatformTest::SetUp()
{
    WriteFile(data_ / "notes.ini", "");
    SetDataDirectory(data_.path());
    SetLogEcho(false);
    ClearLog();
    ClearStatus();
    UseRealClock();
    ResetIdle();
    SetIdlePaceMs(0);
    misuses_at_start_ = MisuseCount();
}

void PlatformTest::TearDown()
{
    EXPECT_EQ(HandleCountAll(), 0u) << DescribeHandles();
    EXPECT_EQ(MisuseCount(), misuses_at_start_);
}

}  // namespace vqtest
