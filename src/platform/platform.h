// The thin layer between catadump and the operating system: files, the console's terminal state and the
// choice of the two paths. One implementation per platform (platform_posix.cpp, platform_win32.cpp); nothing
// else in the program knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#if defined(_WIN32)
struct tagOFNA;  // OPENFILENAMEA of <commdlg.h>
#endif

namespace catadump::platform {

// An open file. The value is the platform's own handle (a descriptor or a HANDLE), kept opaque.
struct File {
    intptr_t handle = -1;
    bool isOpen() const { return handle != -1; }
};

// Opens an existing file for sequential reading; others may read it too, but not write it.
bool openForSequentialRead(const std::string& path, File& file);
// Creates the file, or truncates it when it exists, for writing; others may read it meanwhile. The file
// being read (if any) is refused: it was opened for others to read but never to write.
bool createForWriting(const std::string& path, File& file, File beingRead = File{});
// The same, except that where the system can empty an open file (POSIX) an existing file keeps its bytes
// until `emptyFile`: emptying a large file takes the system a while, which the output's own thread can
// spend. Elsewhere the file is emptied here already.
bool createForWritingEmptiedLater(const std::string& path, File& file, File beingRead = File{});
// A file made whole under a name of its own and only then put at the path it is for, in one step: the path
// shows the file it held before or the whole new one, never a part of it, also when the run is killed.
struct Replacement {
    std::string path;       // where the finished file goes: a symbolic link's target, so that the link stays
    std::string temporary;  // where it is made: a new name beside `path`
    File copyInto;          // an output that is no regular file (a device, a pipe), open: it gets a copy
};
// Creates the temporary file, empty: exclusively, under a new name that cannot be foreseen, with the
// permissions of a newly created output. An output that exists and is no
// regular file cannot be replaced: it is opened for writing as createForWriting opens it, and the
// temporary file is made in the system's folder for them. False, with nothing created, when either cannot
// be made or when the path is the file being read, as for createForWriting.
bool createReplacement(const std::string& path, Replacement& replacement, File beingRead = File{});
// Puts the finished file at its path (or copies it into the output that is no regular file); false when
// the system failed to. The temporary file is gone either way.
bool commitReplacement(Replacement& replacement);
// Removes the temporary file; the output stays as it was.
void discardReplacement(Replacement& replacement);
// Empties a regular file opened by createForWritingEmptiedLater (other kinds of output stay as they are);
// false when the system failed to. `hadBytes` tells whether there was anything to empty.
bool emptyFile(File file, bool& hadBytes);
// Starts writing these bytes of the file to its disk and returns without waiting for them to arrive. A file
// that was emptied and written again is written out by the system when it is closed, and the close waits
// for that; this lets it happen while the file is being written. Does nothing where the system cannot.
void startWritingOut(File file, uint64_t offset, uint64_t length);
// A way to wake a read that is waiting for data, from another thread: a reader being closed must not wait
// for a pipe that nobody writes. Made once, signalled once, closed when no read can use it any more.
struct Wakeup {
    intptr_t waitHandle = -1;    // what a waiting read also watches (the reading end of a pipe)
    intptr_t signalHandle = -1;  // what signalWakeup writes to
};
bool makeWakeup(Wakeup& wakeup);
void signalWakeup(Wakeup& wakeup);
void closeWakeup(Wakeup& wakeup);

// Reads up to n bytes: the count read, 0 at the end of the file, or -1 on failure. A file that has no data
// ready (a pipe, a terminal, a descriptor in non-blocking mode) is waited for, so that every kind of input
// reads as a file does. With a wakeup, the wait also ends when it is signalled: -1 then, with the code that
// wasWokenUp recognises. (Where the system cannot watch both, the wakeup is not looked at.)
int64_t readFile(File file, void* destination, size_t n, const Wakeup* wakeup = nullptr);
bool wasWokenUp(int errorCode);
// Writes all n bytes; false when the system failed or wrote fewer.
bool writeFile(File file, const void* source, size_t n);
// Whether the file is a device other than a terminal (/dev/null, NUL): one whose writes cost the system
// no copy of the bytes.
bool isDeviceNotTerminal(File file);
// Whether the file is the null device itself: what is written to it is gone, in whatever order it came.
bool isNullDevice(File file);
// Closes the file; false when the close reported an error (a lost write, for example).
bool closeFile(File& file);
// What the system says of an open file: its kind, size and last modification. The size and the time are
// those of a regular file; other kinds (a pipe, a terminal, a device) leave them 0.
struct FileFacts {
    bool regular = false;
    uint64_t size = 0;
    int64_t modifiedUnixNanoseconds = 0;  // since 1970-01-01 UTC
};
bool fileFacts(const File& file, FileFacts& facts);  // false when the system could not tell
// The system's code for the last failure of one of the calls above.
int lastErrorCode();
// Whether that code says the reading end of a pipe has gone (a reader that stopped early).
bool isClosedPipe(int errorCode);

// A SHA-256 digest being computed, by the system's cryptographic library (which uses the processor's hash
// instructions where it has them). Copying is not allowed; moving is.
class Sha256 {
  public:
    Sha256();  // ready for data; a failure to set up is remembered and reported by finish
    ~Sha256();
    Sha256(Sha256&& other) noexcept : state(std::exchange(other.state, nullptr)) {}
    Sha256& operator=(Sha256&& other) noexcept {
        std::swap(state, other.state);  // the state this had goes with `other`
        return *this;
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const void* data, size_t n);
    // The digest of everything added, as 64 lower-case hex digits; empty when the library failed.
    // After finish nothing more may be added.
    std::string finish();

  private:
    // The library's part of finish: the 32 bytes of the digest, false when there are none.
    bool finishDigest(unsigned char (&digest)[32]);
    struct State;  // the library's own, in the platform's source
    State* state = nullptr;
};

// A file for bytes that wait their turn, in the system's folder for temporary files: read and written, never
// seen by anyone else, and gone when it is closed (or the process ends). False when none could be made.
bool createScratchFile(File& file);
// Moves a scratch file's position back to its start, to read what was written; false on failure.
bool rewindFile(File file);

// The process's standard input and standard output, switched to binary mode, for a database or a list
// that is "-". Writing to a pipe whose reader has gone then fails with a closed-pipe code instead of ending
// the process.
File standardInputFile();
File standardOutputFile();

// A hint that [bytes, bytes + n) will be filled once, start to end, and should be backed by large pages
// where the system offers them: the run's big tables then cost a page fault every 2 MiB rather than every
// 4 KiB. Nothing depends on it being followed; it is ignored where it cannot be.
void adviseLargePages(void* bytes, size_t n);

// Lets the calling thread run only where the program's other threads leave a core idle: for work that
// can wait, and that another thread takes over when it falls behind. Nothing depends on it.
void runThisThreadWhenIdle();

// Opens the null device on each of the standard descriptors (input, output, error) that is closed, so that
// no file the program opens takes one of their numbers: with standard output closed, the console lines
// would otherwise go into the list. False when the null device could not be opened.
bool reserveStandardDescriptors();

bool standardInputIsTerminal();
bool standardOutputIsTerminal();
bool standardErrorIsTerminal();

// The two things the user is asked for when the command line does not give both paths.
struct PathRequest {
    const char* title;          // dialog title, also the prompt on a terminal
    const char* filterName;     // "Quillseek DB Files (*.db)"
    const char* filterPattern;  // "*.db"
    const char* defaultExtension;
    bool forSaving;  // save dialogs confirm before overwriting
};

// Asks the user for one path; false when the choice was cancelled or could not be offered.
bool askForPath(const PathRequest& request, std::string& path);

#if defined(_WIN32)
// The memory that a file dialog's record points into; it must outlive the dialog.
struct DialogStorage {
    std::string filter;  // description and pattern pairs, each text NUL-terminated, the list ended by a NUL
    std::string path;    // the file buffer, which receives the chosen path
};
// Fills the record of the open or the save dialog (OPENFILENAMEA) for the request.
void fillDialogRecord(const PathRequest& request, DialogStorage& storage, tagOFNA& record);
#endif

}  // namespace catadump::platform
