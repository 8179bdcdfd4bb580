// zorbix: the card-verification wizard (Qt). Reads no command line beyond
// Qt's own options (-platform and the like).
#include <QApplication>

#include "app/tests/teststeps.h"
#include "app/ui/qt/qt_wizard_ui.h"
#include "app/wizard.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  CK_FUNCTION_LIST_PTR p11 = nullptr;
#ifdef ZORBIX_HAVE_P11
  if (C_GetFunctionList(&p11) != CKR_OK) p11 = nullptr;
#endif
  zorbix::app::ui::QtWizardUi ui;
  zorbix::app::Wizard wizard(ui, zorbix::app::MakeDefaultTestSteps(), p11);
  ui.SetEvents(&wizard);
  ui.Exec();
  // Closing the wizard ends the program, whichever button closed it.
  return 0;
}
