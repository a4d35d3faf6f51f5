#pragma once
// The install run's view of a payload folder: pointed at one folder at a time,
// it keeps a snapshot of that folder's mod files until it is pointed elsewhere.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrin::install {

// Pointing at a folder failed: it is missing, not a folder, unreadable, or
// holds more names than a list can count.
class PayloadListError : public std::runtime_error {
public:
    PayloadListError(std::string folder, std::string reason, bool tooMany = false)
        : std::runtime_error(reason), folder_(std::move(folder)), reason_(std::move(reason)), tooMany_(tooMany) {}
    [[nodiscard]] const std::string& folder() const noexcept { return folder_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }
    [[nodiscard]] bool tooMany() const noexcept { return tooMany_; }

private:
    std::string folder_;
    std::string reason_;
    bool tooMany_;
};

class PayloadLister {
public:
    virtual ~PayloadLister() = default;
    // Takes the snapshot; throws PayloadListError.
    virtual void Point(const std::string& folder) = 0;
    // 0 to 32,767.
    [[nodiscard]] virtual int Count() const = 0;
    // index from 0 to Count() - 1: the file's name and extension, no folder.
    [[nodiscard]] virtual std::string NameAt(int index) const = 0;
    // The names pointing at the folder would take, without taking them: the
    // snapshot stays as it is. Nothing when pointing there would fail.
    [[nodiscard]] virtual std::optional<std::vector<std::string>> Peek(const std::string& folder) const = 0;
};

}  // namespace veltrin::install
