#pragma once
// Identifiers of Form1's child windows and its timer. Child ids double as the
// controls' tab order (the order the children are created in).
namespace veltrin::window {

enum ControlId : int {
    kDrive1Id = 100,
    kLabel1Id = 101,
    kDir1Id = 102,
    kLabel2Id = 103,
    kCommand1Id = 104,
    kFile1Id = 105,
    kPicture1Id = 106,
    kLabel3Id = 107,
    kLabel4Id = 108,
};

inline constexpr unsigned kTimer1Id = 1;
inline constexpr unsigned kTimer1IntervalMs = 100;

inline constexpr wchar_t kForm1Class[] = L"VeltrinInstallForm1";
inline constexpr wchar_t kForm1Caption[] = L"VELTRIN MOD V1 Install";

}  // namespace veltrin::window
