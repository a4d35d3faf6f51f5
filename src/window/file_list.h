#pragma once
// File1: the install run's payload lister, a real list box placed outside the
// client area so it is never seen. It is disabled so that neither the Tab key,
// the arrow keys nor a click can give it the focus.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "install/folder_payload_lister.h"
#include "install/payload_lister.h"

namespace veltrin::window {

class FileList final : public install::PayloadLister {
public:
    void Create(HWND parent, int id);
    [[nodiscard]] HWND Handle() const noexcept { return list_; }

    // Takes the snapshot (the payload rules of FolderPayloadLister) and shows
    // it in the list box; throws PayloadListError as that lister does.
    void Point(const std::string& folder) override;
    [[nodiscard]] int Count() const override;
    [[nodiscard]] std::string NameAt(int index) const override;
    [[nodiscard]] std::optional<std::vector<std::string>> Peek(const std::string& folder) const override;

private:
    void ShowSnapshot();

    HWND list_ = nullptr;
    install::FolderPayloadLister lister_;
};

}  // namespace veltrin::window
