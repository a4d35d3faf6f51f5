#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "bench_host.h"

namespace {

class PosixBenchHost final : public veltrin::install::InstallHost {
public:
    ~PosixBenchHost() override {
        if (file_) std::fclose(file_);
    }
    [[nodiscard]] bool CanEncode(std::string_view) const override { return true; }
    void CreateScript(const std::string& path) override {
        // The application folder is a POSIX path here; the run joins with '\'.
        std::string posix = path;
        for (auto& c : posix)
            if (c == '\\') c = '/';
        file_ = std::fopen(posix.c_str(), "wb");
        if (!file_) throw std::runtime_error("cannot create " + posix);
        std::setvbuf(file_, nullptr, _IONBF, 0);  // every line reaches the file at once, as on Windows
    }
    void WriteScriptLine(std::string_view line) override {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fwrite("\r\n", 1, 2, file_);
    }
    void CloseScript() override {
        std::fclose(file_);
        file_ = nullptr;
    }
    std::uint32_t RunTool(const std::string&, const std::string&) override { return 0; }
    void ShowSuccess() override {}
    void ShowFailure(const std::string& text) override { throw std::runtime_error(text); }

private:
    std::FILE* file_ = nullptr;
};

}  // namespace

std::unique_ptr<veltrin::install::InstallHost> MakeBenchHost() { return std::make_unique<PosixBenchHost>(); }
