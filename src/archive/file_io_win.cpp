#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "archive/archive_error.h"
#include "archive/file_io.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace veltrin::archive {
namespace {

constexpr DWORD kMaxChunk = DWORD{1} << 30;

ErrorKind KindOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return ErrorKind::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return ErrorKind::Locked;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ErrorKind::DiskFull;
    default:
        return ErrorKind::Io;
    }
}

// The system's words as a plain detail: "access is denied".
[[noreturn]] void Fail(const std::string& path, DWORD error) {
    std::string detail = win32::SystemMessage(error);
    while (!detail.empty() && (detail.back() == '.' || detail.back() == ' ')) detail.pop_back();
    if (!detail.empty()) detail[0] = text::LowerAscii(detail[0]);
    throw ArchiveError(KindOf(error), path, detail);
}

std::wstring Wide(const std::string& path) {
    try {
        return win32::Widen(path);
    } catch (const std::runtime_error&) {
        throw ArchiveError(ErrorKind::NotFound, path, "The path is not valid text.");
    }
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

class WinFile final : public File {
public:
    WinFile(std::string path, win32::UniqueHandle handle) : path_(std::move(path)), handle_(std::move(handle)) {}

    uint64_t Size() override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(handle_.Get(), &size)) Fail(path_, ::GetLastError());
        return static_cast<uint64_t>(size.QuadPart);
    }
    void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kMaxChunk));
            OVERLAPPED overlapped = At(offset + done);
            DWORD got = 0;
            if (!::ReadFile(handle_.Get(), bytes.data() + done, want, &got, &overlapped)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_HANDLE_EOF)
                    got = 0;
                else
                    Fail(path_, error);
            }
            if (got == 0) throw ArchiveError(ErrorKind::Io, path_, "The file ended earlier than expected.");
            done += got;
        }
    }
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kMaxChunk));
            OVERLAPPED overlapped = At(offset + done);
            DWORD put = 0;
            if (!::WriteFile(handle_.Get(), bytes.data() + done, want, &put, &overlapped))
                Fail(path_, ::GetLastError());
            done += put;
        }
    }
    void Resize(uint64_t size) override {
        FILE_END_OF_FILE_INFO info{};
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        if (!::SetFileInformationByHandle(handle_.Get(), FileEndOfFileInfo, &info, sizeof info))
            Fail(path_, ::GetLastError());
    }
    void Flush() override {
        if (!::FlushFileBuffers(handle_.Get())) Fail(path_, ::GetLastError());
    }

private:
    std::string path_;
    win32::UniqueHandle handle_;
};

class WinFileSystem final : public FileSystem {
public:
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        DWORD access = GENERIC_READ | GENERIC_WRITE;
        DWORD share = 0;
        DWORD disposition = OPEN_EXISTING;
        switch (mode) {
        case OpenMode::Read:
            access = GENERIC_READ;
            share = FILE_SHARE_READ;
            break;
        case OpenMode::ReadWrite:
            break;
        case OpenMode::CreateNew:
            disposition = CREATE_NEW;
            break;
        case OpenMode::CreateAlways:
            disposition = CREATE_ALWAYS;
            break;
        }
        win32::UniqueHandle handle(::CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition,
                                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!handle) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS) throw ArchiveError(ErrorKind::Io, path, "The file already exists.");
            Fail(path, error);
        }
        return std::make_unique<WinFile>(path, std::move(handle));
    }

    bool Exists(const std::string& path) override {
        if (::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        const DWORD error = ::GetLastError();
        if (KindOf(error) == ErrorKind::NotFound) return false;
        Fail(path, error);
    }

    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            Fail(to, ::GetLastError());
    }

    void Replace(const std::string& from, const std::string& to) override {
        if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) Fail(to, ::GetLastError());
    }

    // Each file is flushed through a handle that shares everything, so that
    // a virus scanner looking at the new file does not fail the flush; the
    // moves follow once every file is on disk.
    void FlushAndReplaceEach(const std::vector<Move>& moves) override {
        for (const Move& move : moves) {
            win32::UniqueHandle file(::CreateFileW(Wide(move.from).c_str(), GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) Fail(move.from, ::GetLastError());
            if (!::FlushFileBuffers(file.Get())) Fail(move.from, ::GetLastError());
        }
        for (const Move& move : moves) ReplaceAtomically(move.from, move.to);
    }

    void Remove(const std::string& path) override {
        if (!::DeleteFileW(Wide(path).c_str())) Fail(path, ::GetLastError());
    }

    void RemoveEmptyFolder(const std::string& path) override {
        if (::RemoveDirectoryW(Wide(path).c_str())) return;
        const DWORD error = ::GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            Fail(path, error);
    }

    // A root ("C:\", "\\server\share") is never created: it exists or the
    // path cannot be made.
    void CreateDirectories(const std::string& path) override {
        const std::wstring wide = Wide(path);
        for (const std::string_view folder : text::FoldersBelowRoot(path)) {
            const std::wstring part = Wide(std::string(folder));
            const DWORD attributes = ::GetFileAttributesW(part.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            if (!::CreateDirectoryW(part.c_str(), nullptr)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_ALREADY_EXISTS) Fail(path, error);
            }
        }
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) Fail(path, ::GetLastError());
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            throw ArchiveError(ErrorKind::Io, path, "A file stands where the folder should be.");
    }

    uint64_t FreeSpace(const std::string& path) override {
        std::wstring wide = Wide(path);
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // The folder that holds the file (the path itself where nothing
            // does), with the trailing backslash a network share's root needs.
            std::string folder(text::FolderOf(path));
            if (folder.empty()) folder = path;
            if (folder.empty() || !text::IsPathSeparator(folder.back())) folder += '\\';
            wide = Wide(folder);
        }
        ULARGE_INTEGER available{};
        if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) Fail(path, ::GetLastError());
        return available.QuadPart;
    }

    // The access a save needs (writing, and replacing the file by a rewritten
    // one), sharing everything so that no other program is kept out.
    void CheckWritable(const std::string& path) override {
        const std::wstring wide = Wide(path);
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) Fail(path, ::GetLastError());
        // Opening a folder as a file would be refused as access denied.
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            throw ArchiveError(ErrorKind::Io, path, "A folder stands where the file should be.");
        win32::UniqueHandle handle(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) Fail(path, ::GetLastError());
    }

    bool MarkedReadOnly(const std::string& path) override {
        std::wstring wide;
        try {
            wide = win32::Widen(path);
        } catch (const std::runtime_error&) {
            return false;
        }
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }

    // The check file is deleted by the system when its only handle closes,
    // even when this process dies first.
    void CheckCanCreateIn(const std::string& folder) override {
        std::wstring base = Wide(folder);
        if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
        const std::wstring stamp =
            std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::wstring probe =
                base + L".veltrin-write-check-" + stamp + L"-" + std::to_wstring(attempt) + L".tmp";
            win32::UniqueHandle handle(
                ::CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
            if (handle) return;
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_EXISTS) Fail(folder, error);
        }
        throw ArchiveError(ErrorKind::Io, folder, "Every name tried for the check file is taken.");
    }
};

}  // namespace

FileSystem& SystemFileSystem() {
    static WinFileSystem system;
    return system;
}

}  // namespace veltrin::archive
