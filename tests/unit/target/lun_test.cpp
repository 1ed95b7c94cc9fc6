// LUN stores: sizes and the file store (the memory store is met by every system test).
#include "target/lun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace quevi::target {
namespace {

TEST(TargetLun, ParsesSizes) {
    EXPECT_EQ(parseLunSize("64M"), 64u << 20);
    EXPECT_EQ(parseLunSize("1G"), 1u << 30);
    EXPECT_EQ(parseLunSize("512K"), 512u << 10);
    EXPECT_EQ(parseLunSize("1MiB"), 1u << 20);
    EXPECT_EQ(parseLunSize("1024"), 1024u);
    EXPECT_FALSE(parseLunSize("1000")); // not whole blocks
    EXPECT_FALSE(parseLunSize("0"));
    EXPECT_FALSE(parseLunSize("12X"));
    EXPECT_FALSE(parseLunSize("M"));
    EXPECT_FALSE(parseLunSize("99999999999999999999"));
    EXPECT_FALSE(parseLunSize("/tmp/disk.img"));
}

TEST(TargetLun, FileStoreWorksInPlace) {
    char path[] = "/tmp/quevi-lun-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096 + 100), 0); // rounded down to whole blocks
    close(fd);
    std::string error;
    auto s = openFileLun(path, &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->size(), 4096u);
    std::vector<std::uint8_t> in(512, 0x3C), out(512);
    ASSERT_TRUE(s->write(1024, in));
    ASSERT_TRUE(s->flush());
    s.reset();
    fd = open(path, O_RDONLY);
    ASSERT_EQ(pread(fd, out.data(), out.size(), 1024), 512);
    close(fd);
    EXPECT_EQ(in, out);
    auto again = openLun(path, &error);
    ASSERT_TRUE(again);
    unlink(path);
    EXPECT_FALSE(openLun("/nonexistent/quevi.img", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

} // namespace
} // namespace quevi::target
