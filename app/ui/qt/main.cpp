// zorbix: the card-verification wizard (Qt). Reads no command line beyond
// Qt's own options (-platform and the like).
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/tests/teststeps.h"
#include "app/ui/qt/qt_wizard_ui.h"
#include "app/wizard.h"
#ifdef ZORBIX_HAVE_P11
#include "app/confirmation_hook.h"
#endif

namespace {

// Without a display Qt aborts with advice to reinstall the program; say what
// is missing instead. A platform chosen by hand (-platform, QT_QPA_PLATFORM)
// is left to Qt.
bool DisplayOrPlatformGiven(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!DisplayOrPlatformGiven(argc, argv)) {
    std::fputs(
        "zorbix: no display was found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
        "zorbix: on a machine without a display, run zorbix-check instead (see zorbix-check --help).\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  CK_FUNCTION_LIST_PTR p11 = nullptr;
#ifdef ZORBIX_HAVE_P11
  if (C_GetFunctionList(&p11) != CKR_OK) p11 = nullptr;
#endif
  zorbix::app::ui::QtWizardUi ui;
#ifdef ZORBIX_HAVE_P11
  const zorbix::app::ScopedConfirmationHook confirmation(ui);
#endif
  zorbix::app::Wizard wizard(ui, zorbix::app::MakeDefaultTestSteps(), p11);
  ui.SetEvents(&wizard);
  ui.Exec();
  // Closing the wizard ends the program, whichever button closed it.
  return 0;
}
