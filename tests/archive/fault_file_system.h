#pragma once
// A file system that fails on purpose: the k-th step that changes something
// on disk fails. Steps are what the system bodies do one after the other
// (a write, a size change, a file's flush, a folder's flush, a create, a
// rename, a removal, a new folder), so that a fault can strike between the
// two halves of one call (a POSIX replace: the rename, then the folder's
// flush). What happens then depends on the fault:
//  - Error:    that one step throws; later ones work (a failing disk).
//  - Kill:     it and everything after it throw (the process is gone); what
//              was written stays, as the system's cache keeps it.
//  - PowerCut: everything after throws, and the disk keeps only what a power
//              cut leaves (MemoryFileSystem::LosePower, with the tear given).
//  - ErrorAfterDone: that one step takes effect, then throws; later ones
//              work (a rename whose folder flush fails, a write reported lost
//              that reached the disk).
#include <memory>
#include <set>
#include <string>
#include <type_traits>

#include "archive/archive_error.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive::testing {

enum class Fault { Error, Kill, PowerCut, ErrorAfterDone };

inline const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::Error:
        return "error";
    case Fault::Kill:
        return "kill";
    case Fault::PowerCut:
        return "power cut";
    case Fault::ErrorAfterDone:
        return "error after the step took effect";
    }
    return "?";
}

// One way a run can end early, for sweeps that try each at every step.
struct Crash {
    Fault fault = Fault::Error;
    Tear tear = Tear::LoseAll;       // a power cut's
    uint32_t seed = 0;               // a random tear's
    ErrorKind kind = ErrorKind::Io;  // what an error says it is
};

inline std::string CrashName(const Crash& crash) {
    std::string name = FaultName(crash.fault);
    if (crash.fault == Fault::PowerCut)
        name += crash.tear == Tear::LoseAll   ? " losing every unflushed write"
                : crash.tear == Tear::KeepAll ? " keeping every unflushed write"
                                              : " tearing unflushed writes (seed " + std::to_string(crash.seed) + ")";
    return name;
}

// The crashes a sweep tries: errors, a kill, and power cuts that lose, keep
// or tear what was not flushed.
inline std::vector<Crash> EveryCrash(int randomTears = 3) {
    std::vector<Crash> crashes = {{Fault::Error},
                                  {Fault::ErrorAfterDone},
                                  {Fault::Kill},
                                  {Fault::PowerCut, Tear::LoseAll},
                                  {Fault::PowerCut, Tear::KeepAll}};
    for (int seed = 1; seed <= randomTears; ++seed)
        crashes.push_back({Fault::PowerCut, Tear::Random, static_cast<uint32_t>(seed)});
    return crashes;
}

class FaultFileSystem final : public FileSystem {
public:
    FaultFileSystem(MemoryFileSystem& inner, Crash crash, int failAt) : inner_(inner), crash_(crash), failAt_(failAt) {}
    FaultFileSystem(MemoryFileSystem& inner, Fault fault, int failAt) : FaultFileSystem(inner, Crash{fault}, failAt) {}

    [[nodiscard]] int Operations() const { return count_; }
    [[nodiscard]] bool Fired() const { return fired_; }
    // The kind of step the fault struck: "write", "resize", "flush",
    // "folder flush", "create", "rename", "remove" or "mkdir".
    [[nodiscard]] const std::string& FiredOn() const { return firedOn_; }

    // Counts one changing step and does it, failing it when its turn has
    // come: before it takes effect, or after for ErrorAfterDone.
    template <typename Operation>
    auto Step(const std::string& path, const char* what, Operation&& operation) {
        if (dead_) throw ArchiveError(ErrorKind::Io, path, "the process is gone");
        const bool due = ++count_ == failAt_;
        if (due && crash_.fault != Fault::ErrorAfterDone) Fire(path, what);
        if constexpr (std::is_void_v<decltype(operation())>) {
            operation();
            if (due) Fire(path, what);
        } else {
            auto result = operation();
            if (due) Fire(path, what);
            return result;
        }
    }
    void Look(const std::string& path) const {
        if (dead_) throw ArchiveError(ErrorKind::Io, path, "the process is gone");
    }

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        const auto open = [&] { return std::make_unique<FaultFile>(*this, path, inner_.Open(path, mode)); };
        if (mode == OpenMode::CreateAlways || mode == OpenMode::CreateNew) return Step(path, "create", open);
        Look(path);
        return open();
    }
    bool Exists(const std::string& path) override {
        Look(path);
        return inner_.Exists(path);
    }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        Step(to, "rename", [&] { inner_.Rename(from, to); });
        FlushFolder(MemoryFileSystem::FolderOf(to));
    }
    void Replace(const std::string& from, const std::string& to) override {
        Step(to, "rename", [&] { inner_.Rename(from, to); });
    }
    // As the system bodies do it: every file flushed, then every rename,
    // then (POSIX) each folder flushed once.
    void FlushAndReplaceEach(const std::vector<Move>& moves) override {
        for (const Move& move : moves) {
            Look(move.from);
            auto file = inner_.Open(move.from, OpenMode::ReadWrite);
            Step(move.from, "flush", [&] { static_cast<MemoryFileSystem::MemoryFile&>(*file).FlushData(); });
        }
        std::set<std::string> folders;
        for (const Move& move : moves) {
            Step(move.to, "rename", [&] { inner_.Rename(move.from, move.to); });
            folders.insert(MemoryFileSystem::FolderOf(move.to));
        }
        for (const std::string& folder : folders) FlushFolder(folder);
    }
    void Remove(const std::string& path) override {
        Step(path, "remove", [&] { inner_.Remove(path); });
    }
    void CreateDirectories(const std::string& path) override {
        Look(path);
        if (inner_.Exists(path) && !inner_.HasFolder(path))
            throw ArchiveError(ErrorKind::Io, path, "A file stands where the folder should be.");
        for (const std::string& folder : inner_.MissingFolders(path)) {
            Step(folder, "mkdir", [&] { inner_.MakeFolder(folder); });
            FlushFolder(MemoryFileSystem::FolderOf(folder));
        }
    }
    void RemoveEmptyFolder(const std::string& path) override {
        Step(path, "rmdir", [&] { inner_.RemoveEmptyFolder(path); });
    }
    uint64_t FreeSpace(const std::string& path) override {
        Look(path);
        return inner_.FreeSpace(path);
    }

    // Under POSIX rules a folder's flush is a step of its own; under
    // Windows' a name is durable with the step that made it.
    void FlushFolder(const std::string& folder) override {
        if (inner_.Rules() == NameRules::Posix) Step(folder, "folder flush", [&] { inner_.FlushFolder(folder); });
    }

private:
    class FaultFile final : public File {
    public:
        FaultFile(FaultFileSystem& fs, std::string path, std::unique_ptr<File> inner)
            : fs_(fs), path_(std::move(path)), inner_(std::move(inner)) {}
        uint64_t Size() override {
            fs_.Look(path_);
            return inner_->Size();
        }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
            fs_.Look(path_);
            inner_->ReadAt(offset, bytes);
        }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            fs_.Step(path_, "write", [&] { inner_->WriteAt(offset, bytes); });
        }
        void Resize(uint64_t size) override {
            fs_.Step(path_, "resize", [&] { inner_->Resize(size); });
        }
        void Flush() override {
            auto& file = static_cast<MemoryFileSystem::MemoryFile&>(*inner_);
            const bool folderDue = !folderFlushed_ && file.FolderFlushDue();
            fs_.Step(path_, "flush", [&] { file.FlushData(); });
            if (folderDue) {
                fs_.FlushFolder(MemoryFileSystem::FolderOf(path_));
                folderFlushed_ = true;
            }
        }

    private:
        FaultFileSystem& fs_;
        std::string path_;
        std::unique_ptr<File> inner_;
        bool folderFlushed_ = false;
    };

    [[noreturn]] void Fire(const std::string& path, const char* what) {
        fired_ = true;
        firedOn_ = what;
        if (crash_.fault == Fault::Kill || crash_.fault == Fault::PowerCut) dead_ = true;
        if (crash_.fault == Fault::PowerCut) inner_.LosePower(crash_.tear, crash_.seed);
        throw ArchiveError(crash_.kind, path, std::string("injected ") + FaultName(crash_.fault));
    }

    MemoryFileSystem& inner_;
    Crash crash_;
    int failAt_;
    int count_ = 0;
    bool fired_ = false;
    bool dead_ = false;
    std::string firedOn_;
};

}  // namespace veltrin::archive::testing
