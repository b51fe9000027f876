#include "common/atomic_file.h"
#include "common/error.h"
#include "common/files.h"
#include "common/text.h"
#include "support/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <locale>
#include <sstream>

using namespace tessaro;
using test::ReadFile;

namespace {

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

} // namespace

// Fifteen significant digits, positional also where to_chars would write an exponent, and a
// point whatever the locale (of streams and of the printf family, where a comma locale exists
// on this machine).
TEST(FormatDouble, FifteenSignificantDigitsAndAPointUnderACommaLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const char *cLocale = std::setlocale(LC_ALL, "de_DE.UTF-8");
    std::ostringstream probe;
    probe << 1.5;
    EXPECT_EQ(probe.str(), "1,5"); // the stream follows the locale, the file format does not
    std::string texts;
    for (double value : {1000.5, -1.0, -0.0, 0.074562009, 0.1 + 0.2, -19936902.863223653, 1.5e-7,
                         123456789012345678.0}) {
        texts += FormatDouble(value) + " ";
    }
    EXPECT_EQ(texts,
              "1000.5 -1 0 0.074562009 0.3 -19936902.8632237 0.00000015 123456789012346000 ");
    double parsed = 0;
    EXPECT_TRUE(ParseDouble("12.25", parsed) && parsed == 12.25);
    if (cLocale != nullptr) {
        std::setlocale(LC_ALL, "C");
    }
    std::locale::global(previous);
}

// Plain finite numbers with blanks around them; anything else is refused.
TEST(ParseNumbers, AcceptOnlyPlainFiniteNumbers) {
    double d = 0;
    std::int64_t i = 0;
    for (const auto &[text, value] : {std::pair{" -12.5 ", -12.5}, {"+3", 3.0}, {"1e2", 100.0}}) {
        EXPECT_TRUE(ParseDouble(text, d) && d == value) << text;
    }
    for (const char *bad : {"", " ", "nan", "NaN", "inf", "-inf", "infinity", "1,5", "1.5x", "0x10",
                            "1e999", "--1", "1 2"}) {
        EXPECT_FALSE(ParseDouble(bad, d)) << bad;
    }
    EXPECT_TRUE(ParseInt(" 22 ", i) && i == 22);
    for (const char *bad : {"", "1.0", "12x", "abc", "99999999999999999999", "1 2"}) {
        EXPECT_FALSE(ParseInt(bad, i)) << bad;
    }
}

// A file appears only when committed: while it is written, and after an error left the writer
// without Commit, the earlier file stays as it was; CreateNew never replaces a file that
// appeared meanwhile; no temporary file stays behind; a folder that cannot hold it is named.
TEST(AtomicFile, AppearsOnlyCompleteAndCreateNewReplacesNothing) {
    test::TempDir dir;
    const auto target = dir / "list.txt";
    WriteFileAtomically(target, "first\r\n");
    for (auto temporary : {AtomicFile::Temporary::Unnamed, AtomicFile::Temporary::Named}) {
        {
            AtomicFile file(target, AtomicFile::Mode::Replace, temporary);
            file.Write("half of a second");
            EXPECT_EQ(ReadFile(target), "first\r\n");
        }
        EXPECT_EQ(ReadFile(target), "first\r\n");
        const auto other = dir / (temporary == AtomicFile::Temporary::Named ? "n" : "u");
        AtomicFile late(other, AtomicFile::Mode::CreateNew, temporary);
        late.Write("late");
        WriteFileAtomically(other, "early"); // appears while the other is written
        EXPECT_THROW(late.Commit(), AtomicFile::TargetExists);
        EXPECT_FALSE(WriteNewFileAtomically(other, "again"));
        EXPECT_EQ(ReadFile(other), "early");
    }
    // Numbered: a taken name makes the file take the next of name_2, name_3 ... beside it.
    std::filesystem::create_directory(dir / "lists");
    for (const auto &[temporary, stem] :
         {std::pair{AtomicFile::Temporary::Unnamed, "u"}, {AtomicFile::Temporary::Named, "n"}}) {
        for (const std::string suffix : {"", "_2", "_3"}) {
            AtomicFile file(dir / "lists" / (stem + std::string(".ion")),
                            AtomicFile::Mode::Numbered, temporary);
            file.Write(suffix);
            file.Commit();
            EXPECT_EQ(file.Target(), dir / "lists" / (stem + suffix + ".ion"));
        }
        EXPECT_EQ(ReadFile(dir / "lists" / (stem + std::string(".ion"))), "");
    }
    EXPECT_EQ(test::FolderContents(dir / "lists").size(), 6u) << "and nothing else";
    WriteFileAtomically(target, "second\r\n");
    EXPECT_EQ(ReadFile(target), "second\r\n");
    EXPECT_TRUE(WriteNewFileAtomically(dir / "fresh", "x"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              5);
    try {
        AtomicFile file(dir / "fresh" / "x.txt"); // a file where a folder should be
        ADD_FAILURE() << "a file under a regular file was created";
    } catch (const FileError &e) {
        EXPECT_NE(std::string(e.what()).find("fresh"), std::string::npos) << e.what();
    }
}

// Files put in place through held folder descriptors: a new name gets its whole content, an
// existing one is kept by WriteNew and replaced by Write, every folder of many gets its own
// files, nothing else is left, and a missing folder is named.
TEST(FolderFiles, WriteWholeFilesIntoManyFolders) {
    test::TempDir dir;
    FolderFiles files;
    for (int k = 0; k < 70; ++k) { // more folders than are held open at once
        const auto folder = dir / std::to_string(k % 35);
        std::filesystem::create_directories(folder);
        EXPECT_EQ(files.WriteNew(folder / "a.jgw", "first " + std::to_string(k)), k < 35) << k;
        files.Write(folder / "b.jpg", "image " + std::to_string(k));
    }
    for (int k = 0; k < 35; ++k) {
        const auto folder = dir / std::to_string(k);
        EXPECT_EQ(ReadFile(folder / "a.jgw"), "first " + std::to_string(k));
        EXPECT_EQ(ReadFile(folder / "b.jpg"), "image " + std::to_string(k + 35));
        EXPECT_EQ(test::FolderContents(folder).size(), 2u) << "no temporary file stays";
    }
    try {
        files.WriteNew(dir / "missing" / "a.jgw", "x");
        ADD_FAILURE() << "a file in a missing folder was written";
    } catch (const FileError &e) {
        EXPECT_NE(std::string(e.what()).find(dir.Path().string() + "/missing/a.jgw"),
                  std::string::npos)
            << e.what();
    }
}

// A run killed while writing where the file system has no unnamed files leaves its hidden
// temporary files; once their process is gone they are removed, in the folder and in the
// folders inside it (relief rows), while a live writer's and every other file stay.
TEST(AtomicFile, TemporariesOfGoneProcessesAreRemoved) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "row3");
    const auto killedWhileWriting = [](const std::filesystem::path &target) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            AtomicFile file(target, AtomicFile::Mode::Replace, AtomicFile::Temporary::Named);
            file.Write("half");
            file.Writer().Flush();
            ::_exit(0); // no destructor runs, as under SIGKILL
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return std::to_string(pid);
    };
    const auto gone = killedWhileWriting(dir / "a.jpg");
    killedWhileWriting(dir / "row3" / "b.jpg");
    AtomicFile live(dir / "c.jpg", AtomicFile::Mode::Replace, AtomicFile::Temporary::Named);
    for (const std::string &name :
         {std::string("d.jpg"), ".d.jpg.part-" + gone + "-1", "d.jpg.part-" + gone + "-1-2"}) {
        test::WriteFile(dir / name, "");
    }
    auto expected = test::FolderContents(dir.Path());
    ASSERT_EQ(expected.size(), 7u);
    if (const int probe = ::open(dir.Path().c_str(), O_TMPFILE | O_WRONLY, 0600); probe >= 0) {
        ::close(probe); // unnamed files are offered: nothing to look for
        EXPECT_EQ(RemoveDeadTemporaries(dir.Path()), 0u);
    }
    EXPECT_EQ(detail::RemoveTemporariesOfGoneProcesses(dir.Path()), 2u);
    std::erase_if(expected, [](const auto &file) {
        return file.first.starts_with(".a.jpg.part-") ||
               file.first.starts_with("row3/.b.jpg.part-");
    });
    EXPECT_EQ(test::FolderContents(dir.Path()), expected);
}

// Writing past the buffer writes at once; a full disk is a FileError with its own number.
TEST(FdWriter, AFullDiskIsReportedAsSuch) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FdWriter writer(fd, "/dev/full", 16);
    try {
        writer.Write(std::string(100, 'x'));
        ADD_FAILURE() << "writing to a full device succeeded";
    } catch (const FileError &e) {
        EXPECT_STREQ(e.what(), "Cannot write to /dev/full: No space left on device.");
        EXPECT_EQ(e.Number(), static_cast<int>(ErrorNumber::DiskFull));
    }
    ::close(fd);
}

// Tiles are regular files (also through a link) with the exact name, in the folder asked
// about, which the index follows from one folder to the next and back.
TEST(FolderIndex, AnswersExactlyForManyNames) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "b" / "sub.jpg");
    EXPECT_TRUE(MakeDir(dir / "a"));
    WriteFileAtomically(dir / "a" / "1_2.png", "x");
    WriteFileAtomically(dir / "b" / "real.jpg", "x");
    std::filesystem::create_symlink(dir / "b" / "real.jpg", dir / "b" / "link.jpg");
    EXPECT_FALSE(MakeDir(dir / "a" / "1_2.png" / "z"));
    FolderIndex index;
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"a", "1_2.png", true},   {"a", "2_1.png", false},   {"a", "1_2.PNG", false},
        {"b", "real.jpg", true},  {"b", "link.jpg", true},   {"b", "sub.jpg", false},
        {"c", "real.jpg", false}, {"a/1_2.png", "x", false}, {"a", "1_2.png", true}};
    for (const auto &[folder, name, exists] : cases) {
        EXPECT_EQ(index.Exists(dir / folder, name), exists) << folder << "/" << name;
        EXPECT_EQ(FileExists(dir / folder / name), exists) << folder << "/" << name;
    }
}
