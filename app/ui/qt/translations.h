// Qt's own texts (the wizard buttons, the message box's OK) in the user's
// language: Qt's catalogues where Qt has one, our own texts where it has
// none (Basque, Galician), with Spanish Qt texts behind those for anything
// else Qt might show.
#pragma once

#include <QTranslator>
#include <memory>
#include <vector>

#include "res/strings.h"

namespace zorbix::app::ui {

class QtTranslations {
 public:
  // Installs the translators for `lang` into the application; removes them
  // again when destroyed. Needs a QCoreApplication.
  explicit QtTranslations(res::Language lang);
  ~QtTranslations();
  QtTranslations(const QtTranslations&) = delete;
  QtTranslations& operator=(const QtTranslations&) = delete;

 private:
  std::vector<std::unique_ptr<QTranslator>> installed_;
};

}  // namespace zorbix::app::ui
