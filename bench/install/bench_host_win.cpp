#include <cstdint>
#include <stdexcept>

#include "bench_host.h"
#include "install/install_host_win.h"
#include "win32/text.h"

namespace {

class WinBenchHost final : public veltrin::install::WinInstallHost {
public:
    WinBenchHost() : WinInstallHost(nullptr) {}
    std::uint32_t RunTool(const std::string&, const std::string&) override { return 0; }

protected:
    void ShowBox(const std::wstring& text, UINT style) override {
        if (style & MB_ICONERROR) throw std::runtime_error(veltrin::win32::Narrow(text));
    }
};

}  // namespace

std::unique_ptr<veltrin::install::InstallHost> MakeBenchHost() { return std::make_unique<WinBenchHost>(); }
