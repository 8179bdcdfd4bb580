// Translators for Qt's own texts.
#include "app/ui/qt/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <cstring>

namespace zorbix::app::ui {
namespace {

// The Qt texts the wizard shows, for the languages Qt has no catalogue of.
struct QtText {
  const char* context;
  const char* source;
  const char* basque;
  const char* galician;
};
constexpr QtText kQtTexts[] = {
    {"QWizard", "< &Back", "< &Atzera", "< &Atrás"},
    {"QWizard", "&Next >", "&Hurrengoa >", "&Seguinte >"},
    {"QWizard", "&Next", "&Hurrengoa", "&Seguinte"},
    {"QWizard", "&Finish", "&Amaitu", "&Finalizar"},
    {"QWizard", "Cancel", "Utzi", "Cancelar"},
    {"QWizard", "&Help", "&Laguntza", "A&xuda"},
    {"QWizard", "Go Back", "Itzuli", "Volver"},
    {"QWizard", "Continue", "Jarraitu", "Continuar"},
    {"QWizard", "Commit", "Baieztatu", "Confirmar"},
    {"QWizard", "Done", "Eginda", "Feito"},
    {"QPlatformTheme", "OK", "Ados", "Aceptar"},
    {"QPlatformTheme", "Cancel", "Utzi", "Cancelar"},
    {"QPlatformTheme", "&Yes", "&Bai", "&Si"},
    {"QPlatformTheme", "&No", "&Ez", "&Non"},
    {"QPlatformTheme", "Close", "Itxi", "Pechar"},
    {"QMessageBox", "Show Details...", "Erakutsi xehetasunak...", "Mostrar os detalles..."},
    {"QMessageBox", "Hide Details...", "Ezkutatu xehetasunak...", "Ocultar os detalles..."},
    {"QLineEdit", "&Undo", "&Desegin", "&Desfacer"},
    {"QLineEdit", "&Redo", "&Berregin", "&Refacer"},
    {"QLineEdit", "Cu&t", "&Ebaki", "Cor&tar"},
    {"QLineEdit", "&Copy", "&Kopiatu", "&Copiar"},
    {"QLineEdit", "&Paste", "&Itsatsi", "&Pegar"},
    {"QLineEdit", "Delete", "Ezabatu", "Eliminar"},
    {"QLineEdit", "Select All", "Hautatu dena", "Seleccionar todo"},
};

class OwnTexts final : public QTranslator {
 public:
  explicit OwnTexts(res::Language lang) : lang_(lang) {}
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char*, int) const override {
    if (context == nullptr || source == nullptr) return {};
    for (const QtText& t : kQtTexts) {
      if (std::strcmp(t.context, context) == 0 && std::strcmp(t.source, source) == 0)
        return QString::fromUtf8(lang_ == res::kBasque ? t.basque : t.galician);
    }
    return {};
  }

 private:
  res::Language lang_;
};

const char* QtCatalogue(res::Language lang) {
  switch (lang) {
    case res::kSpanish: return "qtbase_es";
    case res::kCatalan: return "qtbase_ca";
    case res::kEnglishUK: return "qtbase_en";
    // Basque and Galician users read Spanish; Qt has neither language.
    case res::kBasque:
    case res::kGalician: return "qtbase_es";
    default: return nullptr;
  }
}

const char* LocaleName(res::Language lang) {
  switch (lang) {
    case res::kSpanish: return "es_ES";
    case res::kEnglishUK: return "en_GB";
    case res::kCatalan: return "ca_ES";
    case res::kBasque: return "eu_ES";
    case res::kGalician: return "gl_ES";
    default: return "en_US";
  }
}

}  // namespace

QtTranslations::QtTranslations(res::Language lang) {
  QLocale::setDefault(QLocale(QString::fromLatin1(LocaleName(lang))));
  // Installed later means asked first: Qt's catalogue, then our own texts.
  if (const char* name = QtCatalogue(lang)) {
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(QString::fromLatin1(name), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(qt.get())) {
      loadedQt_ = true;
      installed_.push_back(std::move(qt));
    }
  }
  if (lang == res::kBasque || lang == res::kGalician) {
    auto own = std::make_unique<OwnTexts>(lang);
    if (QCoreApplication::installTranslator(own.get())) installed_.push_back(std::move(own));
  }
}

QtTranslations::~QtTranslations() {
  for (auto& t : installed_) QCoreApplication::removeTranslator(t.get());
}

}  // namespace zorbix::app::ui
