#include <unistd.h>

#include "tool/elevation/admin_rights.h"

namespace veltrin::tool {
namespace {

// There is no prompt that starts a program with more rights: the tool says
// what it may not write and stops.
class PosixAdminRights final : public AdminRights {
public:
    bool CanElevate() override { return false; }
    bool IsElevated() override { return ::geteuid() == 0; }
    RelaunchResult RelaunchElevated(const std::vector<std::string>&) override {
        return {RelaunchResult::Outcome::Failed, 0, "this system has no prompt for administrator rights"};
    }
};

}  // namespace

AdminRights& SystemAdminRights() {
    static PosixAdminRights rights;
    return rights;
}

}  // namespace veltrin::tool
