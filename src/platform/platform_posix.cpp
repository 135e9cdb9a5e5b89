// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <limits>
#include <new>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace catadump::platform {
namespace {

int descriptor(File file) { return static_cast<int>(file.handle); }

// Whether the path names the same regular file as the open file (also through a hard or symbolic link).
bool isSameFile(File open, const std::string& path) {
    struct stat openInfo;
    struct stat pathInfo;
    if (!open.isOpen() || ::fstat(descriptor(open), &openInfo) != 0) return false;
    if (::stat(path.c_str(), &pathInfo) != 0 || !S_ISREG(pathInfo.st_mode)) return false;
    return openInfo.st_dev == pathInfo.st_dev && openInfo.st_ino == pathInfo.st_ino;
}

bool fileExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool hasExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

// The dialogs' default extension: a save name typed without one gets it; an open name that does not exist
// is tried with it.
std::string withDefaultExtension(const PathRequest& request, std::string path) {
    std::string extended = path + "." + request.defaultExtension;
    if (request.forSaving) return hasExtension(path) ? path : extended;
    return (!fileExists(path) && fileExists(extended)) ? extended : path;
}

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string candidate = list.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool graphicalSession() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

// Runs zenity's file selection and takes the path it prints; false when the user cancels.
bool askWithZenity(const PathRequest& request, std::string& path) {
    std::string title = std::string("--title=") + request.title;
    std::string filter = std::string("--file-filter=") + request.filterName + " | " + request.filterPattern;
    std::vector<const char*> arguments = {"zenity", "--file-selection", title.c_str(), filter.c_str(),
                                          "--file-filter=All Files (*.*) | *"};
    if (request.forSaving) {
        arguments.push_back("--save");
        arguments.push_back("--confirm-overwrite");
    }
    arguments.push_back(nullptr);

    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return false;
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    if (child == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        ::execvp("zenity", const_cast<char* const*>(arguments.data()));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    std::string chosen;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) chosen.append(chunk, static_cast<size_t>(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r')) chosen.pop_back();
    if (chosen.empty()) return false;
    path = withDefaultExtension(request, chosen);
    return true;
}

// Asks on the terminal with the dialog's title as the prompt; an empty answer or the end of input cancels.
bool askOnTerminal(const PathRequest& request, std::string& path) {
    std::printf("%s: ", request.title);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (answer.empty()) return false;
    path = withDefaultExtension(request, answer);
    return true;
}

}  // namespace

bool openForSequentialRead(const std::string& path, File& file) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        return false;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    file.handle = fd;
    return true;
}

namespace {

bool openForWriting(const std::string& path, File& file, File beingRead, int truncation) {
    // The system does not enforce the share mode of the file being read; without this check a database
    // named again as the output would be emptied before it is read.
    if (isSameFile(beingRead, path)) {
        errno = EBUSY;
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | truncation | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    file.handle = fd;
    return true;
}

}  // namespace

bool createForWriting(const std::string& path, File& file, File beingRead) {
    return openForWriting(path, file, beingRead, O_TRUNC);
}

bool createForWritingEmptiedLater(const std::string& path, File& file, File beingRead) {
    return openForWriting(path, file, beingRead, 0);
}

namespace {

// The path that a replacement goes to: the file a symbolic link leads to, so that the link stays a link and
// the file it names gets the list, as for the other formats. A link that leads nowhere is replaced itself.
std::string replacedPath(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target = resolved;
    std::free(resolved);
    return target;
}

// The permissions a newly created output gets: 0666 less the umask, which can only be read by setting it
// and setting it back (done before the run's threads start).
mode_t newFileMode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Creates a new empty file named `stem`, six letters and ".partial" (mkstemps picks the letters and creates
// the file exclusively), with the permissions of a new output; its name in `path`. The name is new and
// cannot be foreseen, so no "-journal" or "-wal" file of an earlier database lies beside it for SQLite to
// take as its own.
bool createUniqueFile(const std::string& stem, std::string& path) {
    constexpr const char* suffix = ".partial";
    std::string name = stem + "XXXXXX" + suffix;
    int fd = ::mkstemps(name.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0) return false;
    bool made = ::fchmod(fd, newFileMode()) == 0;
    ::close(fd);
    if (!made) {
        ::unlink(name.c_str());
        return false;
    }
    path = name;
    return true;
}

// Copies the whole file at `path` into the open file.
bool copyFileInto(const std::string& path, File output) {
    File input;
    if (!openForSequentialRead(path, input)) return false;
    std::vector<char> buffer(1 << 20);
    int64_t got;
    bool written = true;
    while (written && (got = readFile(input, buffer.data(), buffer.size())) > 0) {
        written = writeFile(output, buffer.data(), static_cast<size_t>(got));
    }
    closeFile(input);  // read only: its close loses nothing
    return written && got == 0;
}

}  // namespace

bool createReplacement(const std::string& path, Replacement& replacement, File beingRead) {
    // Renamed over the database, the new file would take the database's place for good.
    if (isSameFile(beingRead, path)) {
        errno = EBUSY;
        return false;
    }
    replacement = Replacement{};
    replacement.path = replacedPath(path);
    struct stat info;
    if (::stat(replacement.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (::stat(replacement.path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        // A device or a named pipe is written into, never replaced by a file.
        const char* folder = std::getenv("TMPDIR");
        std::string stem = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/catadump-";
        if (!createForWriting(path, replacement.copyInto, beingRead)) return false;
        if (createUniqueFile(stem, replacement.temporary)) return true;
        closeFile(replacement.copyInto);
        return false;
    }
    return createUniqueFile(replacement.path + ".", replacement.temporary);
}

bool commitReplacement(Replacement& replacement) {
    bool done;
    if (replacement.copyInto.isOpen()) {
        done = copyFileInto(replacement.temporary, replacement.copyInto);
        done = closeFile(replacement.copyInto) && done;
        ::unlink(replacement.temporary.c_str());
    } else {
        done = ::rename(replacement.temporary.c_str(), replacement.path.c_str()) == 0;
        if (!done) ::unlink(replacement.temporary.c_str());
    }
    replacement.temporary.clear();
    return done;
}

void discardReplacement(Replacement& replacement) {
    closeFile(replacement.copyInto);
    if (!replacement.temporary.empty()) ::unlink(replacement.temporary.c_str());
    replacement.temporary.clear();
}

bool emptyFile(File file, bool& hadBytes) {
    // As O_TRUNC, this leaves a pipe or a device as it is.
    hadBytes = false;
    struct stat info;
    if (::fstat(descriptor(file), &info) != 0) return false;
    // Nor is a file that is empty already truncated: on some file systems (ext4) a truncation to nothing
    // makes the close write out the whole file, which would keep the close waiting for a new output.
    if (!S_ISREG(info.st_mode) || info.st_size == 0) return true;
    while (::ftruncate(descriptor(file), 0) != 0) {
        if (errno != EINTR) return false;
    }
    hadBytes = true;
    return true;
}

void startWritingOut(File file, uint64_t offset, uint64_t length) {
#if defined(__linux__)
    // Only queues the pages for writing; a failure here loses nothing, as the bytes are written already.
    ::sync_file_range(descriptor(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)length;
#endif
}

bool makeWakeup(Wakeup& wakeup) {
    int ends[2];
    if (::pipe(ends) != 0) return false;
    for (int end : ends) {
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    }
    wakeup.waitHandle = ends[0];
    wakeup.signalHandle = ends[1];
    return true;
}

void signalWakeup(Wakeup& wakeup) {
    // One byte is enough: it is never read, so the wait end stays readable from then on.
    if (wakeup.signalHandle == -1) return;
    char byte = 1;
    while (::write(static_cast<int>(wakeup.signalHandle), &byte, 1) < 0 && errno == EINTR) {
    }
}

void closeWakeup(Wakeup& wakeup) {
    for (intptr_t* end : {&wakeup.waitHandle, &wakeup.signalHandle}) {
        if (*end != -1) ::close(static_cast<int>(*end));
        *end = -1;
    }
}

namespace {

// Waits until the file has data (or its end, or an error) to give, or the wakeup is signalled: false then,
// with errno ECANCELED. Without a wakeup, only a file in non-blocking mode ever needs the wait.
bool waitForData(int fd, const Wakeup* wakeup) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (wakeup != nullptr && wakeup->waitHandle != -1) {
        watched[1].fd = static_cast<int>(wakeup->waitHandle);
        count = 2;
    }
    for (;;) {
        int ready = ::poll(watched, count, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return true;  // the read that follows reports what is wrong
        if (count == 2 && watched[1].revents != 0) {
            errno = ECANCELED;
            return false;
        }
        return true;
    }
}

}  // namespace

int64_t readFile(File file, void* destination, size_t n, const Wakeup* wakeup) {
    int fd = descriptor(file);
    if (wakeup != nullptr && wakeup->waitHandle != -1) {
        // A read from a pipe or a terminal would block where no wakeup reaches it: wait first. (A regular
        // file is always ready, so the wait returns at once: one call, as a check of the file's kind would
        // be.)
        if (!waitForData(fd, wakeup)) return -1;
    }
    for (;;) {
        ssize_t got = ::read(fd, destination, n);
        if (got == 0) errno = 0;  // the end of the file is no error: nothing stale is reported for it
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        // A descriptor in non-blocking mode with nothing to give yet: the data is late, not missing.
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitForData(fd, wakeup)) continue;
        return -1;
    }
}

bool wasWokenUp(int errorCode) { return errorCode == ECANCELED; }

bool writeFile(File file, const void* source, size_t n) {
    const char* bytes = static_cast<const char*>(source);
    while (n > 0) {
        ssize_t put = ::write(descriptor(file), bytes, n);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        if (put == 0) {
            errno = EIO;
            return false;
        }
        bytes += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

bool closeFile(File& file) {
    if (!file.isOpen()) return true;
    int result = ::close(descriptor(file));
    file.handle = -1;
    return result == 0;
}

bool fileFacts(const File& file, FileFacts& facts) {
    struct stat info;
    if (::fstat(descriptor(file), &info) != 0) return false;
    facts = FileFacts{};
    if (!S_ISREG(info.st_mode)) return true;
#if defined(__APPLE__)
    const struct timespec& modified = info.st_mtimespec;
#else
    const struct timespec& modified = info.st_mtim;
#endif
    // A time beyond the nanoseconds' range (about 292 years either side of 1970) is held at its edge.
    constexpr int64_t secondsLimit = std::numeric_limits<int64_t>::max() / 1000000000 - 1;
    int64_t seconds = static_cast<int64_t>(modified.tv_sec);
    facts.regular = true;
    facts.size = static_cast<uint64_t>(info.st_size);
    facts.modifiedUnixNanoseconds = seconds > secondsLimit    ? std::numeric_limits<int64_t>::max()
                                    : seconds < -secondsLimit ? std::numeric_limits<int64_t>::min()
                                                              : seconds * 1000000000 + modified.tv_nsec;
    return true;
}

int lastErrorCode() { return errno; }

bool isClosedPipe(int errorCode) { return errorCode == EPIPE; }

bool createScratchFile(File& file) {
    const char* folder = std::getenv("TMPDIR");
    std::string name =
        std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/catadump-XXXXXX";
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    // Unlinked at once: nobody else can open it, and the system removes it however the process ends.
    ::unlink(name.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    file.handle = fd;
    return true;
}

bool rewindFile(File file) { return ::lseek(static_cast<int>(file.handle), 0, SEEK_SET) == 0; }

File standardInputFile() { return File{STDIN_FILENO}; }

File standardOutputFile() {
    // The run notices a reader that went away by the failed write and ends there; the signal would end
    // it too, but without the writer's thread getting to say so.
    std::signal(SIGPIPE, SIG_IGN);
    return File{STDOUT_FILENO};
}

void runThisThreadWhenIdle() {
#ifdef __linux__
    // On Linux a priority set for the calling thread's own id is the thread's alone; elsewhere it would
    // be the whole process's, so it is left alone there.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
#endif
}

void adviseLargePages(void* bytes, size_t n) {
#ifdef MADV_HUGEPAGE
    // Only whole pages inside the range can be advised.
    auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(bytes) + pageSize - 1) & ~(pageSize - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(bytes) + n) & ~(pageSize - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)bytes;
    (void)n;
#endif
}

bool reserveStandardDescriptors() {
    // Each closed one gets the lowest free number, which is its own: the ones below it are open by then.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;  // fails only for a descriptor that is not open
        if (::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return false;
    }
    return true;
}

bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool isDeviceNotTerminal(File file) {
    struct stat info;
    return ::fstat(descriptor(file), &info) == 0 && S_ISCHR(info.st_mode) && ::isatty(descriptor(file)) != 1;
}

bool isNullDevice(File file) {
    struct stat info;
    struct stat null;
    return ::fstat(descriptor(file), &info) == 0 && S_ISCHR(info.st_mode) &&
           ::stat("/dev/null", &null) == 0 && info.st_rdev == null.st_rdev;
}

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool askForPath(const PathRequest& request, std::string& path) {
    if (onPath("zenity") && graphicalSession()) return askWithZenity(request, path);
    if (standardInputIsTerminal() && standardOutputIsTerminal()) return askOnTerminal(request, path);
    return false;
}

// libcrypto's digest context. `done` once the library has failed or the digest is finished: nothing more
// is added, and finish gives no digest.
struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool done = false;
};

// Without memory for the state, there is no digest: finish gives none.
Sha256::Sha256() : state(new (std::nothrow) State) {
    if (state == nullptr) return;
    state->context = EVP_MD_CTX_new();
    state->done = state->context == nullptr || EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
    if (state != nullptr) EVP_MD_CTX_free(state->context);
    delete state;
}

void Sha256::add(const void* data, size_t n) {
    if (state == nullptr || state->done || n == 0) return;
    if (EVP_DigestUpdate(state->context, data, n) != 1) state->done = true;
}

bool Sha256::finishDigest(unsigned char (&digest)[32]) {
    if (state == nullptr || state->done) return false;
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    state->done = true;
    if (EVP_DigestFinal_ex(state->context, full, &length) != 1 || length != sizeof digest) return false;
    std::memcpy(digest, full, sizeof digest);
    return true;
}

}  // namespace catadump::platform
