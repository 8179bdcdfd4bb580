// Where a Next request ends, shared by the adapters: the page the logic
// returned, or, when it stayed, the last page it asked for meanwhile.
#pragma once

#include <optional>

#include "app/ui/wizard_ui.h"

namespace zorbix::app::ui {

inline Page ResolveNext(Page from, Page returned, std::optional<Page> requested) {
  if (returned != from) return returned;
  return requested.value_or(from);
}

}  // namespace zorbix::app::ui
