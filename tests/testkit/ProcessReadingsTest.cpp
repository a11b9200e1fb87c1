// What the kit reads of processes from /proc, against what the kernel says
// by other means.
#include "tests/kit/ChildProcess.h"
#include "tests/kit/ProcessReadings.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

TEST(ProcessReadingsTest, DescriptorsAndSocketsOfThisProcessAndAnother) {
    const ProcessReadings self = ProcessReadings::self();
    const int before = self.openDescriptors();
    ASSERT_GT(before, 0);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(self.openDescriptors(), before + 3);
    struct stat status {};
    ASSERT_EQ(fstat(sock, &status), 0);
    EXPECT_EQ(self.socketInodes().count(status.st_ino), 1u);

    // A child holds what this process held when it forked; read from
    // outside, it must count the same.
    const pid_t child = fork();
    if (child == 0) {
        char byte;
        _exit(read(ends[0], &byte, 1) == 1 ? 0 : 1);
    }
    EXPECT_EQ(ProcessReadings(child).openDescriptors(), before + 3);
    EXPECT_EQ(ProcessReadings(child).socketInodes(), self.socketInodes());
    EXPECT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_EQ(reapChild(child, 10000), 0);
    EXPECT_EQ(ProcessReadings(child).openDescriptors(), -1);

    close(sock);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(self.openDescriptors(), before);
}

TEST(ProcessReadingsTest, ResidentMemoryFollowsTouchedPages) {
    const ProcessReadings self = ProcessReadings::self();
    constexpr size_t kBytes = 64 << 20;
    const long before = self.residentKiB();
    ASSERT_GT(before, 0);
    void* area = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    std::memset(area, 1, kBytes);
    EXPECT_GE(self.residentKiB(), before + static_cast<long>(kBytes / 1024) * 9 / 10);
    munmap(area, kBytes);
    EXPECT_LT(self.residentKiB(), before + static_cast<long>(kBytes / 1024) / 10);
}

}  // namespace
