#include "common/atomic_file.h"
#include "common/error.h"
#include "common/files.h"
#include "common/text.h"
#include "support/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <locale>
#include <sstream>

using tessaro::FormatDouble;
using tessaro::test::ReadFile;
using Temporary = tessaro::AtomicFile::Temporary;
using Mode = tessaro::AtomicFile::Mode;

namespace {

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

} // namespace

TEST(FormatDouble, FifteenSignificantDigitsAndAPoint) {
    EXPECT_EQ(FormatDouble(1000.5), "1000.5");
    EXPECT_EQ(FormatDouble(-1.0), "-1");
    EXPECT_EQ(FormatDouble(-0.0), "0");
    EXPECT_EQ(FormatDouble(0.074562009), "0.074562009");
    EXPECT_EQ(FormatDouble(-19936902.863223653), "-19936902.8632237");
    EXPECT_EQ(FormatDouble(0.1 + 0.2), "0.3");
    EXPECT_EQ(FormatDouble(123456789012345678.0), "123456789012346000");
    EXPECT_EQ(FormatDouble(1.5e-7), "0.00000015");
}

TEST(FormatDouble, IgnoresACommaDecimalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    // The C locale of printf-family functions too, where a comma locale exists on this machine.
    const char *cLocale = std::setlocale(LC_ALL, "de_DE.UTF-8");
    std::ostringstream probe;
    probe << 1.5;
    EXPECT_EQ(probe.str(), "1,5");       // the stream follows the locale ...
    EXPECT_EQ(FormatDouble(2.5), "2.5"); // ... the file format does not
    double parsed = 0;
    EXPECT_TRUE(tessaro::ParseDouble("12.25", parsed));
    EXPECT_EQ(parsed, 12.25);
    if (cLocale != nullptr) {
        std::setlocale(LC_ALL, "C");
    }
    std::locale::global(previous);
}

TEST(ParseNumbers, AcceptOnlyPlainFiniteNumbers) {
    double d = 0;
    EXPECT_TRUE(tessaro::ParseDouble(" -12.5 ", d));
    EXPECT_EQ(d, -12.5);
    EXPECT_TRUE(tessaro::ParseDouble("+3", d));
    EXPECT_EQ(d, 3.0);
    EXPECT_TRUE(tessaro::ParseDouble("1e2", d));
    EXPECT_EQ(d, 100.0);
    for (const char *bad : {"", " ", "nan", "NaN", "inf", "-inf", "infinity", "1,5", "1.5x", "0x10",
                            "1e999", "--1", "1 2"}) {
        EXPECT_FALSE(tessaro::ParseDouble(bad, d)) << bad;
    }
    std::int64_t i = 0;
    EXPECT_TRUE(tessaro::ParseInt(" 22 ", i));
    EXPECT_EQ(i, 22);
    for (const char *bad : {"", "1.0", "abc", "99999999999999999999", "1 2"}) {
        EXPECT_FALSE(tessaro::ParseInt(bad, i)) << bad;
    }
    EXPECT_EQ(tessaro::TrimBlanks("  a b\t "), "a b\t");
    EXPECT_EQ(tessaro::TrimBlanks("   "), "");
}

// A file appears only when committed: left without Commit (as when an error leaves the writer
// early) it leaves the earlier file as it was; CreateNew never replaces a file that appeared
// meanwhile; no temporary file stays behind.
TEST(AtomicFile, AppearsOnlyCompleteAndCreateNewReplacesNothing) {
    tessaro::test::TempDir dir;
    const auto target = dir / "list.txt";
    {
        tessaro::AtomicFile file(target, Mode::Replace, Temporary::Named);
        file.Write("first\r\n");
        EXPECT_FALSE(std::filesystem::exists(target));
        EXPECT_TRUE(std::filesystem::exists(file.TemporaryPath()));
        file.Commit();
    }
    for (auto temporary : {Temporary::Unnamed, Temporary::Named}) {
        {
            tessaro::AtomicFile file(target, Mode::Replace, temporary);
            file.Write("half of a second");
        }
        EXPECT_EQ(ReadFile(target), "first\r\n");
        const auto other = dir / (temporary == Temporary::Named ? "n" : "u");
        tessaro::AtomicFile late(other, Mode::CreateNew, temporary);
        late.Write("late");
        tessaro::WriteFileAtomically(other, "early"); // appears while the other is written
        EXPECT_THROW(late.Commit(), tessaro::AtomicFile::TargetExists);
        EXPECT_FALSE(tessaro::WriteNewFileAtomically(other, "again"));
        EXPECT_EQ(ReadFile(other), "early");
    }
    tessaro::WriteFileAtomically(target, "second\r\n");
    EXPECT_EQ(ReadFile(target), "second\r\n");
    EXPECT_TRUE(tessaro::WriteNewFileAtomically(dir / "fresh", "x"));
    EXPECT_EQ(ReadFile(dir / "fresh"), "x");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              4);
}

TEST(AtomicFile, ReportsFoldersItCannotWriteTo) {
    tessaro::test::TempDir dir;
    EXPECT_THROW(tessaro::AtomicFile(dir / "missing" / "x.txt"), tessaro::FileError);
    tessaro::WriteFileAtomically(dir / "plain", "x");
    try {
        tessaro::AtomicFile file(dir / "plain" / "x.txt"); // a file where a folder should be
        FAIL() << "a file under a regular file was created";
    } catch (const tessaro::FileError &e) {
        EXPECT_NE(std::string(e.what()).find("plain"), std::string::npos) << e.what();
    }
}

TEST(FdWriter, AFullDiskIsReportedAsSuch) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        GTEST_SKIP() << "/dev/full is not available here";
    }
    tessaro::FdWriter writer(fd, "/dev/full", 16);
    try {
        writer.Write(std::string(100, 'x'));
        writer.Flush();
        FAIL() << "writing to a full device succeeded";
    } catch (const tessaro::FileError &e) {
        EXPECT_EQ(e.Number(), static_cast<int>(tessaro::ErrorNumber::DiskFull));
        EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos);
    }
    ::close(fd);
}

TEST(FolderIndex, AnswersExactlyForManyNames) {
    tessaro::test::TempDir dir;
    std::filesystem::create_directories(dir / "a");
    std::filesystem::create_directories(dir / "b" / "sub.jpg");
    tessaro::WriteFileAtomically(dir / "a" / "1_2.png", "x");
    tessaro::WriteFileAtomically(dir / "b" / "real.jpg", "x");
    std::filesystem::create_symlink(dir / "b" / "real.jpg", dir / "b" / "link.jpg");
    tessaro::FolderIndex index;
    EXPECT_TRUE(index.Exists(dir / "a", "1_2.png"));
    EXPECT_FALSE(index.Exists(dir / "a", "2_1.png"));
    EXPECT_FALSE(index.Exists(dir / "a", "1_2.PNG")) << "names are case-sensitive here";
    EXPECT_TRUE(index.Exists(dir / "b", "real.jpg")) << "switching folders";
    EXPECT_TRUE(index.Exists(dir / "b", "link.jpg"));
    EXPECT_FALSE(index.Exists(dir / "b", "sub.jpg")) << "a folder is no tile";
    EXPECT_FALSE(index.Exists(dir / "missing", "real.jpg"));
    EXPECT_FALSE(index.Exists(dir / "a" / "1_2.png", "x")) << "a file is no folder";
    EXPECT_TRUE(index.Exists(dir / "a", "1_2.png")) << "and back";
    EXPECT_TRUE(tessaro::FileExists(dir / "b" / "link.jpg"));
    EXPECT_FALSE(tessaro::FileExists(dir / "b" / "sub.jpg"));
    EXPECT_EQ(tessaro::GetExtension("s10_1_2.jpg.aux.xml"), ".jpg.aux.xml");
    EXPECT_EQ(tessaro::GetExtension("tqr"), "");
    EXPECT_TRUE(tessaro::MakeDir(dir / "x" / "y" / "z"));
    EXPECT_TRUE(tessaro::MakeDir(dir / "x" / "y" / "z")) << "already there";
    EXPECT_FALSE(tessaro::MakeDir(dir / "a" / "1_2.png" / "z"));
}
