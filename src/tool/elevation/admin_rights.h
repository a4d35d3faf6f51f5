#pragma once
// Administrator rights: whether this process holds them, and starting the
// tool again with them through the system's prompt. One body per system
// (admin_rights_win.cpp, admin_rights_posix.cpp); tests put a fake in place.
#include <string>
#include <vector>

namespace veltrin::tool {

struct RelaunchResult {
    enum class Outcome {
        Finished,  // the elevated run ended with status
        Refused,   // the user did not give the rights at the system's prompt
        Failed,    // it could not be started; why says so
    };
    Outcome outcome = Outcome::Failed;
    int status = 0;
    std::string why;
};

class AdminRights {
public:
    virtual ~AdminRights() = default;
    // The system can start this program again with administrator rights
    // (Windows); elsewhere the tool only reports what it may not write.
    [[nodiscard]] virtual bool CanElevate() = 0;
    // This process already runs with administrator rights.
    [[nodiscard]] virtual bool IsElevated() = 0;
    // Starts this program again with administrator rights and the arguments
    // (the program name not among them), in the folder this process is in,
    // and waits for it to end.
    virtual RelaunchResult RelaunchElevated(const std::vector<std::string>& arguments) = 0;
};

AdminRights& SystemAdminRights();

}  // namespace veltrin::tool
