// Times a whole install run (list both payload folders, write Install.dat)
// with 32,767 mod files in each payload folder. The tool is not started.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_host.h"
#include "install/folder_payload_lister.h"
#include "install/install_run.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main() {
    const fs::path app = fs::temp_directory_path() / "veltrin-bench-app";
    constexpr int kFiles = 32767;
    if (!fs::exists(app / "player.img" / "32766 model.txd")) {
        fs::remove_all(app);
        for (const char* folder : {"gta3.img", "player.img"}) {
            fs::create_directories(app / folder);
            for (int i = 0; i < kFiles; ++i)
                std::ofstream(app / folder / (std::to_string(i) + (i % 2 ? " model.txd" : " model.dff")));
        }
    }
    std::string appFolder = app.string();
    const int runs = 5;
    double best = 1e9;
    double total = 0;
    for (int i = 0; i < runs; ++i) {
        veltrin::install::FolderPayloadLister lister;
        auto host = MakeBenchHost();
        const auto start = Clock::now();
        const int status = veltrin::install::RunInstall({R"(C:\Games\GTA San Andreas)", appFolder}, lister, *host);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (status != 0) {
            std::printf("run failed with status %d\n", status);
            return 1;
        }
        best = ms < best ? ms : best;
        total += ms;
    }
    const auto scriptBytes = fs::file_size(app / "Install.dat");
    std::printf("install run, 2 x %d payload files, %ju-byte Install.dat: best %.1f ms, mean %.1f ms over %d runs\n",
                kFiles, static_cast<uintmax_t>(scriptBytes), best, total / runs, runs);
    return 0;
}
