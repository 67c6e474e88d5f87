// The descriptor owner: exactly one close per descriptor, whichever way ownership moves.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "media/FileDescriptor.hpp"

namespace quillon {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

int openNull() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(FileDescriptor, ClosesOnceWhereverOwnershipMoves)
{
    int fd = openNull();
    ASSERT_GE(fd, 0);
    {
        FileDescriptor first(fd);
        FileDescriptor second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), fd);
        FileDescriptor third;
        third = std::move(second);
        EXPECT_TRUE(isOpen(fd)) << "a move must not close";
    }
    EXPECT_FALSE(isOpen(fd)) << "the last owner closes";

    // Assigning over an owner closes what it held; release() hands the descriptor over unclosed.
    const int a = openNull();
    const int b = openNull();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    {
        FileDescriptor owner(a);
        owner = FileDescriptor(b);
        EXPECT_FALSE(isOpen(a));
        EXPECT_EQ(owner.release(), b);
    }
    EXPECT_TRUE(isOpen(b));

    // close() closes now and reports success; a second close() does not close again.
    FileDescriptor owner(b);
    EXPECT_TRUE(owner.close());
    EXPECT_FALSE(isOpen(b));
    EXPECT_FALSE(owner);
    EXPECT_TRUE(owner.close());
}

}  // namespace
}  // namespace quillon
