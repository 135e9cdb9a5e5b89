// The Windows platform layer: what the open and save dialogs are given, and how the database and the
// output are opened, read, written and shared with other processes.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which it builds on.
#include <commdlg.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace catadump::platform {
namespace {

using namespace std::string_view_literals;

const PathRequest openRequest = {"Please select Quillseek.db", "Quillseek DB Files (*.db)", "*.db", "db",
                                 false};
const PathRequest saveRequest = {"Save Database As...", "QLX Quillseek File List Files (*.qlx)", "*.qlx",
                                 "qlx", true};

// The filter list up to and including the NUL that ends it.
std::string_view filterList(const char* filter) {
    size_t length = 0;
    while (filter[length] != '\0' || filter[length + 1] != '\0') ++length;
    return {filter, length + 2};
}

// Fills a record that starts out as garbage, as a record on the stack would.
OPENFILENAMEA filledRecord(const PathRequest& request, DialogStorage& storage) {
    OPENFILENAMEA record;
    std::memset(&record, 0xA5, sizeof record);
    fillDialogRecord(request, storage, record);
    return record;
}

void expectUnsetFieldsZero(const OPENFILENAMEA& record) {
    EXPECT_EQ(record.hInstance, nullptr);
    EXPECT_EQ(record.lpstrCustomFilter, nullptr);
    EXPECT_EQ(record.nMaxCustFilter, 0u);
    EXPECT_EQ(record.lpstrFileTitle, nullptr);
    EXPECT_EQ(record.nMaxFileTitle, 0u);
    EXPECT_EQ(record.lpstrInitialDir, nullptr);
    EXPECT_EQ(record.nFileOffset, 0);
    EXPECT_EQ(record.nFileExtension, 0);
    EXPECT_EQ(record.lCustData, 0);
    EXPECT_EQ(record.lpfnHook, nullptr);
    EXPECT_EQ(record.lpTemplateName, nullptr);
    // Nothing past the record's declared size is set either.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = record.lStructSize; i < sizeof record; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

TEST(DialogRecord, SizeIsTheVersion400RecordOfThisArchitecture) {
    DialogStorage storage;
    OPENFILENAMEA record = filledRecord(openRequest, storage);
    EXPECT_EQ(record.lStructSize, static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A));
    EXPECT_EQ(record.lStructSize, sizeof(void*) == 4 ? 76u : 136u);
    EXPECT_LT(record.lStructSize, sizeof(OPENFILENAMEA));
}

TEST(DialogRecord, OpenDialogAsksForAnExistingDatabase) {
    DialogStorage storage;
    OPENFILENAMEA record = filledRecord(openRequest, storage);
    EXPECT_EQ(record.hwndOwner, nullptr);
    EXPECT_EQ(filterList(record.lpstrFilter), "Quillseek DB Files (*.db)\0*.db\0All Files (*.*)\0*.*\0\0"sv);
    EXPECT_EQ(record.nFilterIndex, 1u);
    EXPECT_STREQ(record.lpstrTitle, "Please select Quillseek.db");
    EXPECT_EQ(record.Flags, 0x00881008u);
    EXPECT_EQ(record.Flags,
              static_cast<DWORD>(OFN_NOCHANGEDIR | OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_ENABLESIZING));
    EXPECT_STREQ(record.lpstrDefExt, "db");
    expectUnsetFieldsZero(record);
}

TEST(DialogRecord, SaveDialogConfirmsOverwriting) {
    DialogStorage storage;
    OPENFILENAMEA record = filledRecord(saveRequest, storage);
    EXPECT_EQ(record.lStructSize, static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A));
    EXPECT_EQ(record.hwndOwner, nullptr);
    EXPECT_EQ(filterList(record.lpstrFilter),
              "QLX Quillseek File List Files (*.qlx)\0*.qlx\0All Files (*.*)\0*.*\0\0"sv);
    EXPECT_EQ(record.nFilterIndex, 1u);
    EXPECT_STREQ(record.lpstrTitle, "Save Database As...");
    EXPECT_EQ(record.Flags, 0x0088000Au);
    EXPECT_EQ(record.Flags,
              static_cast<DWORD>(OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_ENABLESIZING));
    EXPECT_STREQ(record.lpstrDefExt, "qlx");
    expectUnsetFieldsZero(record);
}

TEST(DialogRecord, FileBufferStartsEmptyAndHoldsTheLongestPath) {
    DialogStorage storage;
    storage.path = "left over from an earlier dialog";
    OPENFILENAMEA record = filledRecord(saveRequest, storage);
    ASSERT_NE(record.lpstrFile, nullptr);
    EXPECT_EQ(record.lpstrFile[0], '\0');
    // Room for the longest path the system accepts (32,767 characters) and its NUL.
    EXPECT_GE(record.nMaxFile, 32768u);
    EXPECT_GE(storage.path.size(), record.nMaxFile);
    EXPECT_EQ(record.lpstrFile, storage.path.data());
    // The record points into the storage, which the dialog fills; nothing points at a temporary.
    EXPECT_EQ(record.lpstrFilter, storage.filter.c_str());
    // The dialog writes into the whole buffer.
    std::memset(record.lpstrFile, 'x', record.nMaxFile - 1);
    record.lpstrFile[record.nMaxFile - 1] = '\0';
    EXPECT_EQ(std::strlen(storage.path.c_str()), record.nMaxFile - 1);
}

// A directory of its own under the system's temporary directory, removed with its files at the end.
class FileCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[MAX_PATH + 1];
        ASSERT_GT(GetTempPathA(static_cast<DWORD>(sizeof base), base), 0u);
        directory_ = std::string(base) + "catadump-platform-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(directory_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    void TearDown() override {
        for (const std::string& path : created_) DeleteFileA(path.c_str());
        RemoveDirectoryA(directory_.c_str());
    }
    std::string pathOf(const std::string& name) {
        std::string path = directory_ + "\\" + name;
        created_.push_back(path);
        return path;
    }
    std::string write(const std::string& name, std::string_view bytes) {
        std::string path = pathOf(name);
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
        CloseHandle(handle);
        return path;
    }
    static std::string contents(const std::string& path) {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return "<missing>";
        std::string bytes;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(handle, chunk, static_cast<DWORD>(sizeof chunk), &got, nullptr) && got > 0)
            bytes.append(chunk, got);
        CloseHandle(handle);
        return bytes;
    }
    // Whether another open of the file, with this access, is let through while the file is held.
    static bool othersMayOpen(const std::string& path, DWORD access) {
        HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        CloseHandle(handle);
        return true;
    }

    std::string directory_;
    std::vector<std::string> created_;
};

TEST_F(FileCalls, DatabaseIsReadToItsEnd) {
    std::string path = write("read.db", "QRTb\x14\x00\x07\x01"sv);
    File file;
    ASSERT_TRUE(openForSequentialRead(path, file));
    ASSERT_TRUE(file.isOpen());
    char bytes[16] = {};
    EXPECT_EQ(readFile(file, bytes, 4), 4);
    EXPECT_EQ(std::string_view(bytes, 4), "QRTb");
    EXPECT_EQ(readFile(file, bytes, sizeof bytes), 4);
    // The end of the file is a count of 0, each time it is met, and leaves no error code behind.
    SetLastError(ERROR_ALREADY_EXISTS);
    EXPECT_EQ(readFile(file, bytes, sizeof bytes), 0);
    EXPECT_EQ(lastErrorCode(), 0);
    EXPECT_EQ(readFile(file, bytes, 1), 0);
    EXPECT_TRUE(closeFile(file));
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileCalls, PipeWhoseWriterHasGoneEndsLikeAFile) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(writeEnd, "QWTB", 4, &put, nullptr));
    CloseHandle(writeEnd);
    File file;
    file.handle = reinterpret_cast<intptr_t>(readEnd);
    char bytes[8] = {};
    EXPECT_EQ(readFile(file, bytes, sizeof bytes), 4);
    EXPECT_EQ(readFile(file, bytes, sizeof bytes), 0);
    EXPECT_TRUE(closeFile(file));
}

TEST_F(FileCalls, DatabaseIsSharedForReadingOnly) {
    std::string path = write("shared.db", "QWTB"sv);
    File file;
    ASSERT_TRUE(openForSequentialRead(path, file));
    EXPECT_TRUE(othersMayOpen(path, GENERIC_READ));
    EXPECT_FALSE(othersMayOpen(path, GENERIC_WRITE));
    closeFile(file);
    EXPECT_TRUE(othersMayOpen(path, GENERIC_WRITE));
}

TEST_F(FileCalls, DatabaseHeldByAWriterIsNotOpened) {
    std::string path = write("busy.db", "QWTB"sv);
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    File file;
    EXPECT_FALSE(openForSequentialRead(path, file));
    EXPECT_FALSE(file.isOpen());
    CloseHandle(writer);
}

TEST_F(FileCalls, MissingDatabaseAndDirectoriesAreNotOpened) {
    File file;
    EXPECT_FALSE(openForSequentialRead(pathOf("missing.db"), file));
    EXPECT_EQ(lastErrorCode(), static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(openForSequentialRead(directory_, file));
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileCalls, OutputIsTruncatedWrittenAndReadableMeanwhile) {
    std::string path = write("out.qlx", "an older and longer list of files"sv);
    File file;
    ASSERT_TRUE(createForWriting(path, file));
    EXPECT_EQ(contents(path), "");
    EXPECT_TRUE(othersMayOpen(path, GENERIC_READ));
    EXPECT_FALSE(othersMayOpen(path, GENERIC_WRITE));
    // Bytes go out as they are: no line-end translation.
    constexpr std::string_view rows = "Filename,Attributes\r\n\"C:\\a\n\",16\r\n";
    EXPECT_TRUE(writeFile(file, rows.data(), rows.size()));
    EXPECT_TRUE(writeFile(file, "", 0));
    EXPECT_TRUE(closeFile(file));
    EXPECT_EQ(contents(path), rows);
}

TEST_F(FileCalls, OutputInAMissingDirectoryIsNotCreated) {
    File file;
    EXPECT_FALSE(createForWriting(directory_ + "\\no such directory\\out.qlx", file));
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileCalls, FactsOfAFileAndOfAPipe) {
    std::string path = write("facts.db", "QWTB and more"sv);
    HANDLE handle =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    // 2023-11-14 22:13:20.1234567 UTC, in the system's 100-nanosecond ticks from 1601.
    uint64_t ticks = 116444736000000000 + 17000000001234567;
    FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &modified));
    CloseHandle(handle);

    File file;
    ASSERT_TRUE(openForSequentialRead(path, file));
    FileFacts facts;
    EXPECT_TRUE(fileFacts(file, facts));
    EXPECT_TRUE(facts.regular);
    EXPECT_EQ(facts.size, 13u);
    EXPECT_EQ(facts.modifiedUnixNanoseconds, 1700000000123456700);
    closeFile(file);

    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    facts = FileFacts{true, 1, 1};
    EXPECT_TRUE(fileFacts(File{reinterpret_cast<intptr_t>(readEnd)}, facts));
    EXPECT_FALSE(facts.regular);
    EXPECT_EQ(facts.size, 0u);
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
}

TEST_F(FileCalls, FailedCallsReportTheSystemsCode) {
    std::string path = write("readonly.db", "QRTb"sv);
    File file;
    ASSERT_TRUE(openForSequentialRead(path, file));
    char byte = 0;
    // Writing to a handle opened for reading fails with the system's access error.
    EXPECT_FALSE(writeFile(file, "x", 1));
    EXPECT_EQ(lastErrorCode(), static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(readFile(file, &byte, 1), 1);
    closeFile(file);
}

}  // namespace
}  // namespace catadump::platform
