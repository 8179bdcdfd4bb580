// zorbix-check: the wizard's run on the console, for scripts and machines
// without a display.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/tests/teststeps.h"
#include "app/ui/console/check.h"
#include "app/ui/console/console_ui.h"
#include "app/wizard.h"
#ifdef ZORBIX_HAVE_P11
#include "app/confirmation_hook.h"
#endif

namespace ui = zorbix::app::ui;

int main(int argc, char** argv) {
  ui::CheckOptions options;
  if (auto error = ui::ParseCheckOptions(std::vector<std::string>(argv + 1, argv + argc),
                                         &options)) {
    std::cerr << "zorbix-check: " << *error << "\nTry 'zorbix-check --help'.\n";
    return ui::kExitUsage;
  }
  if (options.help) {
    std::cout << ui::kCheckUsage;
    return ui::kExitCompleted;
  }
  if (options.list) return ui::ListReaders(std::cout, std::cerr);

  // Nothing is asked for when the run could not start anyway.
  if (int rc = ui::CheckReaderChoice(options, std::cerr)) return rc;
  zorbix::app::Fields fields;
  if (int rc = ui::ReadCheckSecrets(options.unblock, options.noPin, &fields, std::cerr)) return rc;
  if (auto broken = ui::CheckFieldRules(options, fields)) {
    std::cerr << "zorbix-check: " << *broken << "\n";
    return ui::kExitUsage;
  }

  CK_FUNCTION_LIST_PTR p11 = nullptr;
#ifdef ZORBIX_HAVE_P11
  if (C_GetFunctionList(&p11) != CKR_OK) p11 = nullptr;
#endif
  // Questions go to the terminal, whatever standard input is; without one
  // none can be asked.
  std::ifstream terminal("/dev/tty");
  ui::ConsoleUi console(std::cerr, terminal.is_open() ? &terminal : nullptr);
#ifdef ZORBIX_HAVE_P11
  const zorbix::app::ScopedConfirmationHook confirmation(console);
#endif
  zorbix::app::Wizard wizard(console, zorbix::app::MakeDefaultTestSteps(), p11);
  console.SetEvents(&wizard);
  return ui::RunCheck(console, options, fields, std::cout, std::cerr);
}
