#pragma once
#include <optional>
#include <string>
#include <vector>

#include "install/payload_lister.h"

namespace veltrin::install {

// The payload lister over the real file system.
class FolderPayloadLister final : public PayloadLister {
public:
    void Point(const std::string& folder) override;
    [[nodiscard]] int Count() const override;
    [[nodiscard]] std::string NameAt(int index) const override;
    [[nodiscard]] std::optional<std::vector<std::string>> Peek(const std::string& folder) const override;

private:
    std::vector<std::string> names_;
};

}  // namespace veltrin::install
