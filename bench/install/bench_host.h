#pragma once
#include <memory>

#include "install/install_host.h"

// A host that writes the script for real but starts nothing and shows no box.
std::unique_ptr<veltrin::install::InstallHost> MakeBenchHost();
