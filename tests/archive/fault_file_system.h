#pragma once
// A file system that fails on purpose: the k-th operation that changes
// something on disk (write, resize, flush, replace, remove, create) fails.
// What happens then depends on the fault:
//  - Error:    that one operation throws; later ones work (a failing disk).
//  - Kill:     it and everything after it throw (the process is gone); what
//              was written stays, as the system's cache keeps it.
//  - PowerCut: everything not yet durable is lost, and everything after throws.
//  - PowerCutAfterWriteBack: a power cut after the system wrote back every
//              file that has a durable name, flushed or not; new files not
//              yet flushed still vanish.
//  - ErrorAfterDone: that one operation takes effect, then throws; later ones
//              work (a rename whose folder flush fails, a write reported lost
//              that reached the disk).
#include <memory>
#include <string>
#include <type_traits>

#include "archive/archive_error.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive::testing {

enum class Fault { Error, Kill, PowerCut, PowerCutAfterWriteBack, ErrorAfterDone };

inline const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::Error:
        return "error";
    case Fault::Kill:
        return "kill";
    case Fault::PowerCut:
        return "power cut";
    case Fault::PowerCutAfterWriteBack:
        return "power cut after write-back";
    case Fault::ErrorAfterDone:
        return "error after the operation took effect";
    }
    return "?";
}

class FaultFileSystem final : public FileSystem {
public:
    FaultFileSystem(MemoryFileSystem& inner, Fault fault, int failAt) : inner_(inner), fault_(fault), failAt_(failAt) {}

    [[nodiscard]] int Operations() const { return count_; }
    [[nodiscard]] bool Fired() const { return fired_; }
    // The kind of operation the fault struck: "write", "resize", "flush",
    // "create", "replace", "remove" or "mkdir".
    [[nodiscard]] const std::string& FiredOn() const { return firedOn_; }

    // Counts one changing operation and does it, failing it when its turn
    // has come: before it takes effect, or after for ErrorAfterDone.
    template <typename Operation>
    auto Step(const std::string& path, const char* what, Operation&& operation) {
        if (dead_) throw ArchiveError(ErrorKind::Io, path, "the process is gone");
        const bool due = ++count_ == failAt_;
        if (due && fault_ != Fault::ErrorAfterDone) Fire(path, what);
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
        Step(to, "replace", [&] { inner_.ReplaceAtomically(from, to); });
    }
    void Remove(const std::string& path) override {
        Step(path, "remove", [&] { inner_.Remove(path); });
    }
    void CreateDirectories(const std::string& path) override {
        Step(path, "mkdir", [&] { inner_.CreateDirectories(path); });
    }
    uint64_t FreeSpace(const std::string& path) override {
        Look(path);
        return inner_.FreeSpace(path);
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
            fs_.Step(path_, "flush", [&] { inner_->Flush(); });
        }

    private:
        FaultFileSystem& fs_;
        std::string path_;
        std::unique_ptr<File> inner_;
    };

    [[noreturn]] void Fire(const std::string& path, const char* what) {
        fired_ = true;
        firedOn_ = what;
        if (fault_ != Fault::Error && fault_ != Fault::ErrorAfterDone) dead_ = true;
        if (fault_ == Fault::PowerCut || fault_ == Fault::PowerCutAfterWriteBack)
            inner_.LosePower(fault_ == Fault::PowerCutAfterWriteBack);
        throw ArchiveError(ErrorKind::Io, path, std::string("injected ") + FaultName(fault_));
    }

    MemoryFileSystem& inner_;
    Fault fault_;
    int failAt_;
    int count_ = 0;
    bool fired_ = false;
    bool dead_ = false;
    std::string firedOn_;
};

}  // namespace veltrin::archive::testing
