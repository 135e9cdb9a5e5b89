// The POSIX platform layer in process: the replacement of an output, the file calls' failures, the facts of
// an open file, the reads that wait (non-blocking descriptors, the wakeup) and the choice of paths through
// zenity.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "support/conversion_harness.h"

namespace catadump::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The names in the directory that a replacement made and left.
int partialFiles(const TempDir& dir) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().filename().string().ends_with(".partial")) ++count;
    }
    return count;
}

struct ReplacementCase {
    const char* name;
    void (*before)(const TempDir& dir);
    std::string output;  // in the directory
    std::string read;    // the file being read ("" none)
    bool created;        // createReplacement succeeds
    bool committed;      // and commitReplacement, after a change of `between`
    void (*between)(const TempDir& dir);
    std::string target;  // the file that holds the new bytes afterwards ("" none)
    std::string left;    // what `output` holds afterwards when no replacement reached it
};

void nothing(const TempDir&) {}

TEST(PlatformReplacement, MakesBesideRenamesOverOrLeavesAlone) {
    const ReplacementCase cases[] = {
        {"New", nothing, "out", "", true, true, nothing, "out", ""},
        {"Existing", [](const TempDir& d) { d.write("out", "old"); }, "out", "", true, true, nothing, "out",
         ""},
        {"ThroughALink",
         [](const TempDir& d) {
             d.write("real", "old"), fs::create_symlink(d.pathOf("real"), d.pathOf("out"));
         },
         "out", "", true, true, nothing, "real", ""},
        {"DanglingLinkIsReplaced",
         [](const TempDir& d) { fs::create_symlink(d.pathOf("none"), d.pathOf("out")); }, "out", "", true,
         true, nothing, "out", ""},
        {"TheDatabase", [](const TempDir& d) { d.write("out", "db"); }, "out", "out", false, false, nothing,
         "", "db"},
        {"TheDatabaseThroughALink",
         [](const TempDir& d) { d.write("db", "db"), fs::create_symlink(d.pathOf("db"), d.pathOf("out")); },
         "out", "db", false, false, nothing, "", "db"},
        {"AFolder", [](const TempDir& d) { fs::create_directory(d.pathOf("out")); }, "out", "", false, false,
         nothing, "", ""},
        {"NoFolder", nothing, "none/out", "", false, false, nothing, "", ""},
        {"FolderGoneBeforeTheRename", [](const TempDir& d) { fs::create_directory(d.pathOf("sub")); },
         "sub/out", "", true, false, [](const TempDir& d) { fs::remove_all(d.pathOf("sub")); }, "", ""},
        {"OutputBecameAFolder", nothing, "out", "", true, false,
         [](const TempDir& d) {
             fs::create_directory(d.pathOf("out"));
             d.write("out/keep", "x");
         },
         "", ""},
    };
    for (const ReplacementCase& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        test.before(dir);
        std::string output = dir.pathOf(test.output);
        platform::File read;
        if (!test.read.empty()) {
            ASSERT_TRUE(platform::openForSequentialRead(dir.pathOf(test.read), read));
        }
        platform::Replacement replacement;
        ASSERT_EQ(platform::createReplacement(output, replacement, read), test.created);
        platform::closeFile(read);
        if (test.created) {
            EXPECT_TRUE(fs::is_regular_file(replacement.temporary));
            EXPECT_TRUE(fs::equivalent(fs::path(replacement.temporary).parent_path(),
                                       fs::path(output).parent_path()));
            platform::File temporary;
            ASSERT_TRUE(platform::createForWriting(replacement.temporary, temporary));
            EXPECT_TRUE(platform::writeFile(temporary, "new", 3));
            EXPECT_TRUE(platform::closeFile(temporary));
            test.between(dir);
            EXPECT_EQ(platform::commitReplacement(replacement), test.committed);
        }
        if (!test.target.empty()) {
            EXPECT_EQ(readWholeFile(dir.pathOf(test.target)), "new");
            EXPECT_EQ(fs::is_symlink(output), test.target != test.output);
        } else if (!test.left.empty()) {
            EXPECT_EQ(readWholeFile(output), test.left);
        }
        EXPECT_EQ(partialFiles(dir), 0);
    }
}

// The new file has the permissions of a new output, whatever the old one had; a discarded one is gone.
TEST(PlatformReplacement, PermissionsOfANewFileAndDiscarding) {
    TempDir dir;
    std::string output = dir.write("out", "old");
    ::chmod(output.c_str(), 0600);
    mode_t before = ::umask(027);
    platform::Replacement replacement;
    ASSERT_TRUE(platform::createReplacement(output, replacement));
    ::umask(before);
    EXPECT_TRUE(platform::commitReplacement(replacement));
    struct stat info;
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    ASSERT_TRUE(platform::createReplacement(output, replacement));
    platform::discardReplacement(replacement);
    platform::discardReplacement(replacement);  // twice: nothing more to remove
    EXPECT_EQ(partialFiles(dir), 0);
    EXPECT_EQ(readWholeFile(output), "");
}

// An output that is no regular file is written into: a copy of the temporary file, made in $TMPDIR.
TEST(PlatformReplacement, DevicesAndPipesGetACopy) {
    TempDir dir;
    TempDir temporaries;
    const char* previous = std::getenv("TMPDIR");
    std::string kept = previous != nullptr ? previous : "";
    struct Device {
        std::string path;
        std::string tmpdir;
        bool created;
        bool committed;
    };
    // A socket is no regular file either, and cannot be opened for writing.
    std::string socketPath = dir.pathOf("socket");
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const Device devices[] = {{"/dev/null", temporaries.path(), true, true},
                              {"/dev/null", "", true, true},  // /tmp then
                              {"/dev/full", temporaries.path(), true, false},
                              {"/dev/null", dir.pathOf("no-such-folder"), false, false},
                              {socketPath, temporaries.path(), false, false}};
    for (const Device& device : devices) {
        SCOPED_TRACE(device.path + " " + device.tmpdir);
        ::setenv("TMPDIR", device.tmpdir.c_str(), 1);
        platform::Replacement replacement;
        bool created = platform::createReplacement(device.path, replacement);
        EXPECT_EQ(created, device.created);
        if (!created) continue;
        EXPECT_TRUE(
            replacement.temporary.starts_with((device.tmpdir.empty() ? "/tmp" : device.tmpdir) + "/"));
        platform::File temporary;
        ASSERT_TRUE(platform::createForWriting(replacement.temporary, temporary));
        std::string bytes(3 << 20, 'b');  // more than one piece of the copy
        EXPECT_TRUE(platform::writeFile(temporary, bytes.data(), bytes.size()));
        platform::closeFile(temporary);
        EXPECT_EQ(platform::commitReplacement(replacement), device.committed);
        EXPECT_TRUE(fs::is_character_file(device.path));
        EXPECT_FALSE(fs::exists(replacement.temporary));
        EXPECT_EQ(partialFiles(temporaries), 0);
    }
    // The temporary file gone before the copy: a failure.
    ::setenv("TMPDIR", temporaries.path().c_str(), 1);
    platform::Replacement replacement;
    ASSERT_TRUE(platform::createReplacement("/dev/null", replacement));
    fs::remove(replacement.temporary);
    EXPECT_FALSE(platform::commitReplacement(replacement));
    ASSERT_TRUE(platform::createReplacement("/dev/null", replacement));
    platform::discardReplacement(replacement);
    EXPECT_EQ(partialFiles(temporaries), 0);
    ::close(listener);
    if (previous != nullptr) {
        ::setenv("TMPDIR", kept.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

// The file calls on what they refuse: a folder to read, an output that is the file being read, a file that
// cannot be emptied or written, a pipe that needs no emptying.
TEST(PlatformFiles, RefusalsAndFailures) {
    platform::standardOutputFile();  // ignores SIGPIPE, as the program does
    TempDir dir;
    std::string database = dir.write("db", "bytes");
    platform::File file;
    EXPECT_FALSE(platform::openForSequentialRead(dir.path(), file));
    EXPECT_FALSE(platform::openForSequentialRead(dir.pathOf("absent"), file));
    ASSERT_TRUE(platform::openForSequentialRead(database, file));
    fs::create_hard_link(database, dir.pathOf("hard"));
    fs::create_symlink(database, dir.pathOf("soft"));
    for (const char* name : {"db", "hard", "soft"}) {
        platform::File output;
        EXPECT_FALSE(platform::createForWriting(dir.pathOf(name), output, file)) << name;
        EXPECT_EQ(platform::lastErrorCode(), EBUSY);
    }
    // Another file of the same device, any file for a file of another device or a handle that is closed.
    platform::File proc;
    ASSERT_TRUE(platform::openForSequentialRead("/proc/self/stat", proc));
    dir.write("other", "");
    for (platform::File reading : {file, proc, platform::File{9999}}) {
        platform::File other;
        EXPECT_TRUE(platform::createForWriting(dir.pathOf("other"), other, reading));
        platform::closeFile(other);
    }
    platform::closeFile(proc);

    bool hadBytes = true;
    EXPECT_FALSE(platform::emptyFile(file, hadBytes));  // opened for reading only
    char byte;
    EXPECT_FALSE(platform::writeFile(file, "x", 1));
    platform::closeFile(file);
    EXPECT_TRUE(platform::closeFile(file));  // closed already
    EXPECT_EQ(platform::readFile(file, &byte, 1), -1);
    EXPECT_FALSE(platform::emptyFile(file, hadBytes));

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_TRUE(platform::emptyFile(platform::File{ends[1]}, hadBytes));
    EXPECT_FALSE(hadBytes);
    ::close(ends[0]);
    EXPECT_FALSE(platform::writeFile(platform::File{ends[1]}, "x", 1));
    EXPECT_TRUE(platform::isClosedPipe(platform::lastErrorCode()));
    ::close(ends[1]);
}

// The facts of an open file: a regular file's size and modification to the nanosecond (also before 1970),
// nothing of a pipe's or a folder's, and no answer for a handle that is closed.
TEST(PlatformFiles, FactsOfRegularFilesPipesAndFolders) {
    TempDir dir;
    const struct {
        int64_t seconds;
        long nanoseconds;
        int64_t expected;
    } times[] = {
        {1700000000, 123456789, 1700000000123456789},
        {-2, 500000000, -1500000000},
    };
    for (const auto& time : times) {
        std::string path = dir.write("db", "QWTB and more");
        const struct timespec both[2] = {{0, UTIME_OMIT},
                                         {static_cast<time_t>(time.seconds), time.nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), both, 0), 0);
        platform::File file;
        ASSERT_TRUE(platform::openForSequentialRead(path, file));
        platform::FileFacts facts;
        EXPECT_TRUE(platform::fileFacts(file, facts));
        EXPECT_TRUE(facts.regular);
        EXPECT_EQ(facts.size, 13u);
        EXPECT_EQ(facts.modifiedUnixNanoseconds, time.expected);
        platform::closeFile(file);
        EXPECT_FALSE(platform::fileFacts(file, facts));
    }
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "QWTB", 4), 4);
    int folder = ::open(dir.path().c_str(), O_RDONLY);
    for (int descriptor : {ends[0], folder}) {
        platform::FileFacts facts{true, 1, 1};
        EXPECT_TRUE(platform::fileFacts(platform::File{descriptor}, facts));
        EXPECT_FALSE(facts.regular);
        EXPECT_EQ(facts.size, 0u);
        EXPECT_EQ(facts.modifiedUnixNanoseconds, 0);
        ::close(descriptor);
    }
    ::close(ends[1]);
}

// A read in non-blocking mode waits for late data; a wakeup ends the wait of a read with nothing to come.
TEST(PlatformReads, NonBlockingDescriptorsAndTheWakeup) {
    platform::Wakeup closedWakeup;  // never made: not watched
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
        platform::Wakeup wakeup;
        ASSERT_TRUE(platform::makeWakeup(wakeup));
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(::write(ends[1], "late", 4), 4);
            ::close(ends[1]);
        });
        char bytes[8];
        EXPECT_EQ(platform::readFile(platform::File{ends[0]}, bytes, sizeof bytes,
                                     variant == 0   ? nullptr
                                     : variant == 1 ? &wakeup
                                                    : &closedWakeup),
                  4);
        EXPECT_EQ(std::string(bytes, 4), "late");
        EXPECT_EQ(platform::readFile(platform::File{ends[0]}, bytes, sizeof bytes), 0);
        EXPECT_EQ(platform::lastErrorCode(), 0);
        writer.join();
        ::close(ends[0]);
        platform::closeWakeup(wakeup);
    }
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    platform::Wakeup wakeup;
    ASSERT_TRUE(platform::makeWakeup(wakeup));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        platform::signalWakeup(wakeup);
    });
    char byte;
    EXPECT_EQ(platform::readFile(platform::File{ends[0]}, &byte, 1, &wakeup), -1);
    EXPECT_TRUE(platform::wasWokenUp(platform::lastErrorCode()));
    closer.join();
    platform::closeWakeup(wakeup);
    platform::closeWakeup(wakeup);   // twice: nothing more to close
    platform::signalWakeup(wakeup);  // closed: nothing to signal
    ::close(ends[0]);
    ::close(ends[1]);

    // A regular file needs no wait, with a wakeup or without.
    TempDir dir;
    platform::File file;
    ASSERT_TRUE(platform::openForSequentialRead(dir.write("f", "abc"), file));
    ASSERT_TRUE(platform::makeWakeup(wakeup));
    char bytes[4];
    EXPECT_EQ(platform::readFile(file, bytes, sizeof bytes, &wakeup), 3);
    EXPECT_EQ(platform::readFile(platform::File{9999}, bytes, sizeof bytes, &wakeup), -1);  // not open
    platform::closeWakeup(wakeup);
    platform::closeFile(file);
}

// The choice of paths through a zenity of the test's own, which logs its arguments and answers as told.
struct ZenityCase {
    const char* name;
    bool forSaving;
    std::string answer;     // what it prints
    int status;             // its exit status
    bool chosen;            // askForPath's result
    std::string path;       // the path then, in the directory
    const char* saveFlags;  // "--save --confirm-overwrite" or ""
};

TEST(PlatformDialogs, ZenityAnswersAndDefaultExtensions) {
    TempDir dir;
    fs::create_directory(dir.pathOf("bin"));
    std::string fake =
        dir.write("bin/zenity", "#!/bin/sh\necho \"$@\" > \"$ZENITY_LOG\"\n"
                                "printf \"$ZENITY_ANSWER\"\n[ $ZENITY_STATUS = 9 ] && kill -9 $$\n"
                                "exit $ZENITY_STATUS\n");
    ::chmod(fake.c_str(), 0755);
    dir.write("there.db", "");
    std::string folder = dir.path() + "/";
    const ZenityCase cases[] = {
        {"SaveGetsTheExtension", true, folder + "list\n", 0, true, "list.qlx", "--save --confirm-overwrite"},
        {"SaveKeepsItsOwn", true, folder + "list.csv\r\n", 0, true, "list.csv", "--save --confirm-overwrite"},
        {"SaveOfADottedFolder", true, folder + ".hidden\n", 0, true, ".hidden.qlx",
         "--save --confirm-overwrite"},
        {"OpenTriesTheExtension", false, folder + "there\n", 0, true, "there.db", ""},
        {"OpenOfAMissingName", false, folder + "nowhere\n", 0, true, "nowhere", ""},
        {"Cancelled", false, "", 1, false, "", ""},
        {"EmptyAnswer", true, "\n", 0, false, "", "--save --confirm-overwrite"},
        {"Killed", false, folder + "there.db\n", 9, false, "", ""},
        {"RelativeSave", true, "list.csv\n", 0, true, "list.csv", "--save --confirm-overwrite"},
    };
    std::string previousPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    // An empty entry and a folder without zenity come first.
    std::string searched = ":";
    searched.append(dir.pathOf("none"))
        .append(":")
        .append(dir.pathOf("bin"))
        .append(":")
        .append(previousPath);
    ::setenv("PATH", searched.c_str(), 1);
    ::setenv("DISPLAY", ":99", 1);
    ::setenv("ZENITY_LOG", dir.pathOf("log").c_str(), 1);
    for (const ZenityCase& test : cases) {
        SCOPED_TRACE(test.name);
        ::setenv("ZENITY_ANSWER", test.answer.c_str(), 1);
        ::setenv("ZENITY_STATUS", std::to_string(test.status).c_str(), 1);
        platform::PathRequest request = {"Title", "Kind (*.x)", "*.x", test.forSaving ? "qlx" : "db",
                                         test.forSaving};
        std::string path = "unchanged";
        EXPECT_EQ(platform::askForPath(request, path), test.chosen);
        EXPECT_EQ(path, !test.chosen                   ? "unchanged"
                        : test.answer.starts_with('/') ? folder + test.path
                                                       : test.path);
        std::string log = "--file-selection --title=Title --file-filter=Kind (*.x) | *.x "
                          "--file-filter=All Files (*.*) | *";
        log += *test.saveFlags != '\0' ? " "s + test.saveFlags : "";
        EXPECT_EQ(readWholeFile(dir.pathOf("log")), log + "\n");
    }
    // A Wayland session alone will do.
    ::setenv("DISPLAY", "", 1);
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    ::setenv("ZENITY_ANSWER", "x\n", 1);
    ::setenv("ZENITY_STATUS", "0", 1);
    std::string path;
    platform::PathRequest request = {"Title", "Kind (*.x)", "*.x", "db", false};
    EXPECT_TRUE(platform::askForPath(request, path));
    // Without a session, or without PATH, and without a terminal to ask on, nothing is chosen.
    if (!::isatty(STDIN_FILENO)) {
        ::unsetenv("DISPLAY");
        ::setenv("WAYLAND_DISPLAY", "", 1);
        EXPECT_FALSE(platform::askForPath(request, path));
        ::setenv("DISPLAY", ":99", 1);
        ::unsetenv("PATH");
        EXPECT_FALSE(platform::askForPath(request, path));
    }
    ::setenv("PATH", previousPath.c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace catadump::test
