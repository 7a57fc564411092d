/*
 * test_support.h - what tests of every area share: temporary folders,
 * whole-file reads and writes, and a fixture that gives each test a fresh
 * data directory with the platform's test controls reset.
 */
#ifndef VQ_TEST_SUPPORT_H
#define VQ_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vq_testhooks.h"

namespace vqtest {

/* A folder under $TMPDIR removed with everything in it at destruction. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
bool FileExists(const std::string &path);
void MakeDirs(const std::string &path);
/* Names in a folder, sorted. */
std::vector<std::string> ListDir(const std::string &path);
/* Log entries' texts, in order. */
std::vector<std::string> LogTexts();

/* Fresh data directory (with an empty notes.ini), log and status cleared,
 * real clock, idle control reset with no pacing; at the end checks that
 * no handle is left open and no handle was misused. */
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TempDir data_;
    std::size_t misuses_at_start_ = 0;
};

}  // namespace vqtest

#endif /* VQ_TEST_SUPPORT_H */
