// The commands for the container runtime's kernel interface and the way they are written.
#include "proc_kestal.hpp"

#include "child_process.hpp"
#include "private_log_socket.hpp"
#include "termination_support.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

using kestal::termination::Command;
using kestal::termination::format_command;
using kestal::termination::kCommandSize;
using kestal::termination::kMaxContainerName;
using kestal::termination::proc_kestal_write;
using kestal::termination::set_proc_kestal_path;
using kestal::test::read_file;
using kestal::test::run_in_child;
using kestal::test::ScratchDir;
using kestal::test::write_file;

struct CommandCase {
    const char *label;
    Command command;
    std::string name;
    int pid;
    std::string expected;
};

void PrintTo(const CommandCase &c, std::ostream *os) {
    *os << c.label;
}

class CommandText : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandText, IsTheNameAndProcessNumberUncut) {
    const CommandCase &c = GetParam();
    char out[kCommandSize];
    const std::size_t length = format_command(c.command, c.name.c_str(), c.pid, out);
    EXPECT_EQ(std::string(out, length), c.expected);
    EXPECT_EQ(out[length], '\0');
}

const std::string kName40(40, 'c');
const std::string kLongestName(kMaxContainerName, 'n');

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandText,
    testing::Values(
        CommandCase{"announce", Command::announce, "web01", 4242, "web01 4242"},
        CommandCase{"withdraw", Command::withdraw, "web01", 4242, "-d web01 4242"},
        // Outside a container the name is empty: a leading blank, or two blanks in a row.
        CommandCase{"announce outside", Command::announce, "", 17, " 17"},
        CommandCase{"withdraw outside", Command::withdraw, "", 17, "-d  17"},
        CommandCase{"forty characters", Command::announce, kName40, 123456, kName40 + " 123456"},
        CommandCase{"longest name, largest pid", Command::announce, kLongestName, INT_MAX,
                    kLongestName + " " + std::to_string(INT_MAX)},
        CommandCase{"longest name, widest number", Command::withdraw, kLongestName, INT_MIN,
                    "-d " + kLongestName + " " + std::to_string(INT_MIN)}));

class ProcKestalWrite : public testing::Test {
protected:
    void TearDown() override { set_proc_kestal_path(nullptr); }
    ScratchDir dir_;
};

TEST_F(ProcKestalWrite, WritesExactlyTheTextWithoutTerminatorOrNewline) {
    const std::string path = dir_.file("kestal");
    write_file(path, "");
    set_proc_kestal_path(path.c_str());
    const std::string text = "web01 4242";
    testing::internal::CaptureStderr();
    EXPECT_EQ(proc_kestal_write(text.data(), text.size()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(path), text);
}

TEST_F(ProcKestalWrite, OpensWriteOnly) {
    // A file that its owner may write but not read: only a write-only open succeeds. Root
    // is not held to file modes, so the child gives up root first.
    const std::string path = dir_.file("write-only");
    write_file(path, "");
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
    set_proc_kestal_path(path.c_str());
    const auto child = run_in_child([] {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            return 2;
        }
        return proc_kestal_write("-d web01 1", 10) == 0 ? 0 : 1;
    });
    EXPECT_EQ(child.exit_code(), 0) << child.err;
    EXPECT_EQ(read_file(path), "-d web01 1");
}

struct OpenFailure {
    const char *label;
    const char *path;  // relative to the scratch directory; "" is the directory itself
};

void PrintTo(const OpenFailure &c, std::ostream *os) {
    *os << c.label;
}

class ProcKestalOpenFailure : public ProcKestalWrite,
                              public testing::WithParamInterface<OpenFailure> {};

TEST_P(ProcKestalOpenFailure, ReturnsMinusOneSilentlyAndCreatesNothing) {
    write_file(dir_.file("plain"), "");
    const std::string path = dir_.path() + "/" + GetParam().path;
    set_proc_kestal_path(path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(proc_kestal_write("x 1", 3), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(dir_.file("plain")), "");
    EXPECT_FALSE(kestal::test::file_exists(dir_.file("missing")));
}

INSTANTIATE_TEST_SUITE_P(Paths, ProcKestalOpenFailure,
                         testing::Values(OpenFailure{"missing file", "missing"},
                                         OpenFailure{"directory", ""},
                                         OpenFailure{"below a plain file", "plain/kestal"}));

TEST_F(ProcKestalWrite, AFailedWriteIsReportedOnceAndReturnsMinusOne) {
    KESTAL_REQUIRE_LOG_SOCKET();  // /dev/full of the tests' private /dev
    set_proc_kestal_path("/dev/full");
    testing::internal::CaptureStderr();
    EXPECT_EQ(proc_kestal_write("web01 4242", 10), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write: No space left on device\n");
}

}  // namespace
