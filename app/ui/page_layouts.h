// Templates of the four wizard pages: every control with its id, kind,
// position and start state, so any toolkit can create the pages and the
// logic can address controls by id alone.
#pragma once

#include <span>

#include "app/ui/wizard_ui.h"

namespace zorbix::app::ui {

enum class ControlKind {
  Label,
  LabelCentered,
  Edit,
  EditPassword,
  EditReadOnly,
  CheckBox,
  DropDownList,
  GroupBox,
  PushButton,
  Icon,          // picture = icon id
  Bitmap,        // picture = bitmap id
  BitmapSunken,  // bitmap with a sunken frame
};

enum ControlFlags : unsigned {
  kStartEnabledVisible = 0,
  kStartDisabled = 1,
  kStartHidden = 2,
};

// Positions and sizes in dialog units of an 8-point page font.
struct ControlTemplate {
  int id;  // 0: decoration, not addressable
  ControlKind kind;
  int x, y, width, height;
  unsigned flags;
  int picture;            // icon or bitmap id, 0 for none
  const char* fixedText;  // layout text that stays in every language
};

struct PageTemplate {
  Page page;
  int dialogId;
  int width, height;  // dialog units
  int headerTitleId, headerSubtitleId;
  std::span<const ControlTemplate> controls;
};

// Edit fields hold at most this many characters.
inline constexpr int kFieldMaxLength = 16;

const PageTemplate& PageLayout(Page page);

}  // namespace zorbix::app::ui
