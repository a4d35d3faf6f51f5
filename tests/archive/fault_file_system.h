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
#include <memory>
#include <string>

#include "archive/archive_error.h"
#include "archive/memory_file_system.h"

namespace veltrin::archive::testing {

enum class Fault { Error, Kill, PowerCut, PowerCutAfterWriteBack };

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
    }
    return "?";
}

class FaultFileSystem final : public FileSystem {
public:
    FaultFileSystem(MemoryFileSystem& inner, Fault fault, int failAt) : inner_(inner), fault_(fault), failAt_(failAt) {}

    [[nodiscard]] int Operations() const { return count_; }
    [[nodiscard]] bool Fired() const { return fired_; }

    // Counts one changing operation and fails it when its turn has come.
    void Step(const std::string& path) {
        if (dead_) throw ArchiveError(ErrorKind::Io, path, "the process is gone");
        if (++count_ != failAt_) return;
        fired_ = true;
        if (fault_ != Fault::Error) dead_ = true;
        if (fault_ == Fault::PowerCut || fault_ == Fault::PowerCutAfterWriteBack)
            inner_.LosePower(fault_ == Fault::PowerCutAfterWriteBack);
        throw ArchiveError(ErrorKind::Io, path, std::string("injected ") + FaultName(fault_));
    }
    void Look(const std::string& path) const {
        if (dead_) throw ArchiveError(ErrorKind::Io, path, "the process is gone");
    }

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        if (mode == OpenMode::CreateAlways || mode == OpenMode::CreateNew)
            Step(path);
        else
            Look(path);
        return std::make_unique<FaultFile>(*this, path, inner_.Open(path, mode));
    }
    bool Exists(const std::string& path) override {
        Look(path);
        return inner_.Exists(path);
    }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        Step(to);
        inner_.ReplaceAtomically(from, to);
    }
    void Remove(const std::string& path) override {
        Step(path);
        inner_.Remove(path);
    }
    void CreateDirectories(const std::string& path) override {
        Step(path);
        inner_.CreateDirectories(path);
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
            fs_.Step(path_);
            inner_->WriteAt(offset, bytes);
        }
        void Resize(uint64_t size) override {
            fs_.Step(path_);
            inner_->Resize(size);
        }
        void Flush() override {
            fs_.Step(path_);
            inner_->Flush();
        }

    private:
        FaultFileSystem& fs_;
        std::string path_;
        std::unique_ptr<File> inner_;
    };

    MemoryFileSystem& inner_;
    Fault fault_;
    int failAt_;
    int count_ = 0;
    bool fired_ = false;
    bool dead_ = false;
};

}  // namespace veltrin::archive::testing
