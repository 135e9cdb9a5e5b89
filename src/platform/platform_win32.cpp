// Windows implementation of the platform layer: the files through the Win32 file calls (ANSI forms), the
// console checks, SHA-256 through the system's cryptography (CNG), and the choice of the two paths through
// the common open and save dialogs.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which they build on.
#include <bcrypt.h>
#include <commdlg.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace catadump::platform {
namespace {

HANDLE handleOf(File file) { return reinterpret_cast<HANDLE>(file.handle); }

// The largest count handed to one ReadFile or WriteFile; larger requests are split.
constexpr DWORD largestTransfer = 1u << 30;

// The dialogs' file buffer holds any path the system accepts (at most 32,767 characters and the NUL), so a
// chosen path is never cut short.
constexpr DWORD dialogPathCapacity = 32768;

// The record as version 4.00 of the dialogs defined it, without the fields that later versions added. That
// is 76 bytes in 32-bit code; 64-bit code has wider pointers and the dialogs there accept only the
// equivalent 136 bytes (or the full record).
constexpr DWORD dialogRecordSize = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
static_assert(sizeof(void*) != 4 || dialogRecordSize == 76);
static_assert(sizeof(void*) != 8 || dialogRecordSize == 136);

constexpr DWORD openDialogFlags = OFN_NOCHANGEDIR | OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_ENABLESIZING;
constexpr DWORD saveDialogFlags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_ENABLESIZING;
static_assert(openDialogFlags == 0x00881008 && saveDialogFlags == 0x0088000A);

bool isConsole(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// Whether this process can show a window to a user. A service, or a task started without the user's
// desktop, runs on an invisible window station, where a dialog would wait for an answer that nobody can
// give.
bool dialogsCanBeShown() {
    HWINSTA station = GetProcessWindowStation();
    if (station == nullptr) return false;
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!GetUserObjectInformationA(station, UOI_FLAGS, &flags, static_cast<DWORD>(sizeof flags), &needed))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

bool openForSequentialRead(const std::string& path, File& file) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file.handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool createForWriting(const std::string& path, File& file, File) {
    // The file being read was opened to be shared for reading only, so the system refuses it here.
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file.handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

// CREATE_ALWAYS empties the file as it opens it; emptying it apart would also change how the system treats
// an existing file's attributes, so the output is emptied at once here.
bool createForWritingEmptiedLater(const std::string& path, File& file, File beingRead) {
    return createForWriting(path, file, beingRead);
}

bool createReplacement(const std::string& path, Replacement& replacement, File) {
    replacement = Replacement{};
    replacement.path = path;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // The file being read was opened to be shared for reading only: the system refuses to open it for
        // writing, and would refuse to replace it at the end.
        HANDLE existing = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
        if (existing == INVALID_HANDLE_VALUE) return false;
        CloseHandle(existing);
    }
    // The system picks a name nothing uses in the output's folder and creates the file.
    size_t slash = path.find_last_of("\\/");
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char name[MAX_PATH];
    if (GetTempFileNameA(folder.c_str(), "cat", 0, name) == 0) return false;
    replacement.temporary = name;
    return true;
}

bool commitReplacement(Replacement& replacement) {
    bool done =
        MoveFileExA(replacement.temporary.c_str(), replacement.path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!done) DeleteFileA(replacement.temporary.c_str());
    replacement.temporary.clear();
    return done;
}

void discardReplacement(Replacement& replacement) {
    if (!replacement.temporary.empty()) DeleteFileA(replacement.temporary.c_str());
    replacement.temporary.clear();
}

bool emptyFile(File, bool& hadBytes) {
    hadBytes = false;
    return true;
}

// The file was emptied as it was created, and the system keeps no write-out for its close.
void startWritingOut(File, uint64_t, uint64_t) {}

// A read on Windows is not woken: the reader's close waits for it.
bool makeWakeup(Wakeup& wakeup) {
    wakeup = Wakeup{};
    return true;
}
void signalWakeup(Wakeup&) {}
void closeWakeup(Wakeup& wakeup) { wakeup = Wakeup{}; }
bool wasWokenUp(int) { return false; }

int64_t readFile(File file, void* destination, size_t n, const Wakeup*) {
    DWORD ask = n > largestTransfer ? largestTransfer : static_cast<DWORD>(n);
    DWORD got = 0;
    if (!ReadFile(handleOf(file), destination, ask, &got, nullptr)) {
        // A pipe whose writer has gone reports its end as this failure.
        if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
        return -1;
    }
    // The end of the file is no failure: it leaves no error code behind from an earlier call.
    if (got == 0 && ask > 0) SetLastError(ERROR_SUCCESS);
    return got;
}

bool writeFile(File file, const void* source, size_t n) {
    const char* bytes = static_cast<const char*>(source);
    while (n > 0) {
        DWORD ask = n > largestTransfer ? largestTransfer : static_cast<DWORD>(n);
        DWORD put = 0;
        if (!WriteFile(handleOf(file), bytes, ask, &put, nullptr)) return false;
        if (put == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += put;
        n -= put;
    }
    return true;
}

bool closeFile(File& file) {
    if (!file.isOpen()) return true;
    BOOL closed = CloseHandle(handleOf(file));
    file.handle = -1;
    return closed != 0;
}

bool fileFacts(const File& file, FileFacts& facts) {
    facts = FileFacts{};
    DWORD kind = GetFileType(handleOf(file));
    if (kind == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
    if (kind != FILE_TYPE_DISK) return true;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handleOf(file), &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    facts.regular = true;
    facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    // The system counts 100-nanosecond ticks from 1601; 1970 is this many ticks later. A time beyond the
    // nanoseconds' range (after the year 2262) is held at its edge.
    constexpr int64_t ticksTo1970 = 116444736000000000;
    uint64_t ticks = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime;
    constexpr uint64_t ticksLimit = ticksTo1970 + std::numeric_limits<int64_t>::max() / 100;
    facts.modifiedUnixNanoseconds = ticks > ticksLimit ? std::numeric_limits<int64_t>::max()
                                                       : (static_cast<int64_t>(ticks) - ticksTo1970) * 100;
    return true;
}

int lastErrorCode() { return static_cast<int>(GetLastError()); }

bool isClosedPipe(int errorCode) { return errorCode == ERROR_NO_DATA || errorCode == ERROR_BROKEN_PIPE; }

bool createScratchFile(File& file) {
    char folder[MAX_PATH];
    char name[MAX_PATH];
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "cat", 0, name) == 0) return false;
    // Shared with nobody, and deleted by the system when closed, however the process ends.
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileA(name);
        return false;
    }
    file.handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool rewindFile(File file) {
    LARGE_INTEGER start{};
    return SetFilePointerEx(handleOf(file), start, nullptr, FILE_BEGIN) != 0;
}

File standardInputFile() {
    _setmode(_fileno(stdin), _O_BINARY);
    return File{reinterpret_cast<intptr_t>(GetStdHandle(STD_INPUT_HANDLE))};
}

File standardOutputFile() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    return File{reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE))};
}

// Large pages on Windows need a privilege that users do not have; small pages it is.
void runThisThreadWhenIdle() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE); }

void adviseLargePages(void*, size_t) {}

// The files are the system's handles, never the C library's descriptors, so none can take the place of a
// standard stream that is closed.
bool reserveStandardDescriptors() { return true; }

bool standardInputIsTerminal() { return isConsole(STD_INPUT_HANDLE); }
bool isDeviceNotTerminal(File file) {
    DWORD mode = 0;
    return GetFileType(handleOf(file)) == FILE_TYPE_CHAR && !GetConsoleMode(handleOf(file), &mode);
}

// A handle does not tell NUL from the other character devices (a serial or printer port, where order
// matters): none is taken for it.
bool isNullDevice(File) { return false; }

bool standardOutputIsTerminal() { return isConsole(STD_OUTPUT_HANDLE); }
bool standardErrorIsTerminal() { return isConsole(STD_ERROR_HANDLE); }

void fillDialogRecord(const PathRequest& request, DialogStorage& storage, OPENFILENAMEA& record) {
    storage.filter.clear();
    for (const char* text : {request.filterName, request.filterPattern, "All Files (*.*)", "*.*"}) {
        storage.filter.append(text);
        storage.filter.push_back('\0');
    }
    storage.filter.push_back('\0');
    storage.path.assign(dialogPathCapacity, '\0');

    ZeroMemory(&record, sizeof record);
    record.lStructSize = dialogRecordSize;
    record.hwndOwner = nullptr;
    record.lpstrFilter = storage.filter.c_str();
    record.nFilterIndex = 1;
    record.lpstrFile = storage.path.data();
    record.nMaxFile = dialogPathCapacity;
    record.lpstrTitle = request.title;
    record.Flags = request.forSaving ? saveDialogFlags : openDialogFlags;
    record.lpstrDefExt = request.defaultExtension;
}

bool askForPath(const PathRequest& request, std::string& path) {
    if (!dialogsCanBeShown()) return false;
    DialogStorage storage;
    OPENFILENAMEA record;
    fillDialogRecord(request, storage, record);
    // Whatever was printed before (the usage line) is shown before the dialog waits for the user.
    std::fflush(stdout);
    BOOL chosen = request.forSaving ? GetSaveFileNameA(&record) : GetOpenFileNameA(&record);
    if (!chosen) return false;
    path.assign(storage.path.c_str());
    return !path.empty();
}

// The CNG algorithm and hash. `done` once the system has failed or the digest is finished: nothing more is
// added, and finish gives no digest.
struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = false;
};

// Without memory for the state, there is no digest: finish gives none.
Sha256::Sha256() : state(new (std::nothrow) State) {
    if (state == nullptr) return;
    // The hash object's memory is left to the system (nullptr, 0), as it has allowed since Windows 7.
    state->done =
        !BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (state == nullptr) return;
    if (state->hash != nullptr) BCryptDestroyHash(state->hash);
    if (state->algorithm != nullptr) BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

void Sha256::add(const void* data, size_t n) {
    if (state == nullptr || state->done) return;
    // The count is a ULONG; larger requests are split.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (n > 0) {
        ULONG piece = n > largestTransfer ? largestTransfer : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, bytes, piece, 0))) {
            state->done = true;
            return;
        }
        bytes += piece;
        n -= piece;
    }
}

bool Sha256::finishDigest(unsigned char (&digest)[32]) {
    if (state == nullptr || state->done) return false;
    state->done = true;
    return BCRYPT_SUCCESS(BCryptFinishHash(state->hash, digest, sizeof digest, 0));
}

}  // namespace catadump::platform
