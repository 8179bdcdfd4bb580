// The page templates (dialogs 129, 133, 139 and 136).
#include "app/ui/page_layouts.h"

namespace zorbix::app::ui {
namespace {

using K = ControlKind;
constexpr unsigned kOff = kStartDisabled;
constexpr unsigned kHidden = kStartHidden;

// Order matters: a control listed later lies on top (group boxes first).
constexpr ControlTemplate kWelcome[] = {
    {1020, K::Label, 80, 8, 238, 26, 0, 0, nullptr},
    {1029, K::Label, 80, 45, 238, 30, 0, 0, nullptr},
    {1030, K::Label, 80, 81, 238, 30, 0, 0, nullptr},
    {1004, K::LabelCentered, 18, 173, 295, 49, 0, 0, nullptr},
    {0, K::Bitmap, 16, 8, 36, 37, 0, 142, nullptr},
    {0, K::BitmapSunken, 7, 54, 63, 70, 0, 144, nullptr},
};

constexpr ControlTemplate kTest[] = {
    {1031, K::Label, 101, 8, 95, 8, 0, 0, nullptr},
    {0, K::Icon, 102, 19, 16, 16, 0, 287, nullptr},
    {1035, K::DropDownList, 126, 21, 188, 83, 0, 0, nullptr},
    {1026, K::Label, 112, 39, 97, 8, kOff, 0, nullptr},
    {1000, K::EditPassword, 210, 37, 104, 12, kOff, 0, nullptr},
    {0, K::GroupBox, 112, 50, 211, 46, 0, 0, nullptr},
    {1025, K::CheckBox, 116, 56, 169, 10, kOff, 0, nullptr},
    {1028, K::Label, 139, 69, 61, 8, kOff, 0, nullptr},
    {1023, K::Edit, 210, 67, 104, 12, kOff, 0, nullptr},
    {1021, K::Label, 139, 81, 60, 8, kOff, 0, nullptr},
    {1001, K::EditPassword, 210, 80, 104, 12, kOff, 0, nullptr},
    {1027, K::Label, 7, 70, 115, 12, kHidden, 0, nullptr},
    {1046, K::GroupBox, 7, 96, 316, 40, 0, 0, "PKCS#11"},
    {1039, K::Label, 19, 106, 126, 8, 0, 0, nullptr},
    {1043, K::Icon, 19, 116, 20, 20, 0, 1038, nullptr},
    {1037, K::EditReadOnly, 43, 118, 185, 13, 0, 0, nullptr},
    {1036, K::PushButton, 240, 118, 74, 13, 0, 0, nullptr},
    {0, K::GroupBox, 7, 136, 316, 41, 0, 0, nullptr},
    {1002, K::Label, 16, 150, 298, 23, kHidden, 0, nullptr},
    {1041, K::Label, 162, 176, 117, 8, kHidden | kOff, 0, nullptr},
    {1042, K::Icon, 282, 170, 20, 20, kHidden, kIconNotRun, nullptr},
    {1017, K::GroupBox, 7, 177, 316, 92, kOff, 0, "Tests"},
    {1005, K::Label, 18, 193, 106, 8, kOff, 0, nullptr},
    {1010, K::Icon, 131, 187, 20, 20, 0, kIconNotRun, nullptr},
    {1018, K::Label, 18, 213, 109, 8, kOff, 0, nullptr},
    {1019, K::Icon, 131, 207, 20, 20, 0, kIconNotRun, nullptr},
    {1006, K::Label, 18, 235, 107, 8, kOff, 0, nullptr},
    {1011, K::Icon, 131, 228, 20, 20, 0, kIconNotRun, nullptr},
    {1015, K::Label, 18, 255, 109, 8, kOff, 0, nullptr},
    {1016, K::Icon, 131, 250, 20, 20, 0, kIconNotRun, nullptr},
    {1008, K::Label, 163, 193, 117, 8, kOff, 0, nullptr},
    {1012, K::Icon, 282, 186, 20, 20, 0, kIconNotRun, nullptr},
    {1007, K::Label, 163, 213, 117, 8, kOff, 0, nullptr},
    {1013, K::Icon, 282, 207, 20, 20, 0, kIconNotRun, nullptr},
    {1009, K::Label, 163, 235, 108, 8, kOff, 0, nullptr},
    {1014, K::Icon, 282, 228, 20, 20, 0, kIconNotRun, nullptr},
    {1048, K::Label, 163, 254, 108, 8, kOff, 0, nullptr},
    {1047, K::Icon, 282, 249, 20, 20, 0, kIconNotRun, nullptr},
};

constexpr ControlTemplate kCompletion[] = {
    {1022, K::Label, 97, 21, 216, 19, 0, 0, nullptr},
    {1032, K::Label, 97, 56, 216, 29, 0, 0, nullptr},
    {1046, K::GroupBox, 7, 115, 316, 48, 0, 0, nullptr},
    {1002, K::LabelCentered, 13, 127, 302, 31, 0, 0, nullptr},
    {0, K::GroupBox, 7, 164, 316, 105, 0, 0, "Info"},
    {1040, K::Label, 29, 179, 275, 83, 0, 0, nullptr},
    {0, K::Bitmap, 16, 8, 27, 30, 0, 142, nullptr},
    {0, K::BitmapSunken, 7, 47, 47, 57, 0, 144, nullptr},
};

constexpr ControlTemplate kError[] = {
    {1033, K::Label, 76, 10, 237, 34, 0, 0, nullptr},
    {1034, K::Label, 76, 53, 236, 56, 0, 0, nullptr},
    {0, K::GroupBox, 7, 125, 311, 146, 0, 0, nullptr},
    {1003, K::LabelCentered, 15, 148, 296, 105, 0, 0, nullptr},
    {0, K::Bitmap, 16, 8, 27, 30, 0, 142, nullptr},
    {0, K::BitmapSunken, 7, 47, 63, 70, 0, 144, nullptr},
};

constexpr PageTemplate kPages[] = {
    {Page::Welcome, 129, 329, 222, 103, 110, kWelcome},
    {Page::Test, 133, 330, 276, 104, 105, kTest},
    {Page::Completion, 139, 330, 276, 107, 111, kCompletion},
    {Page::Error, 136, 325, 278, 108, 109, kError},
};

}  // namespace

const PageTemplate& PageLayout(Page page) { return kPages[static_cast<int>(page)]; }

}  // namespace zorbix::app::ui
