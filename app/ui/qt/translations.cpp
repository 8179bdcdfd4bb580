// Translators for Qt's own texts.
#include "app/ui/qt/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <cstring>

namespace zorbix::app::ui {
namespace {

// The Qt texts the wizard shows: ours for Basque and Galician, which Qt has
// no catalogue of, and for Spanish and Catalan where Qt's is not installed.
struct QtText {
  const char* context;
  const char* source;
  const char* spanish;
  const char* catalan;
  const char* basque;
  const char* galician;
};
constexpr QtText kQtTexts[] = {
    {"QWizard", "< &Back", "< &Atrás", "< &Enrere", "< &Atzera", "< &Atrás"},
    {"QWizard", "&Next >", "&Siguiente >", "&Següent >", "&Hurrengoa >", "&Seguinte >"},
    {"QWizard", "&Next", "&Siguiente", "&Següent", "&Hurrengoa", "&Seguinte"},
    {"QWizard", "&Finish", "&Finalizar", "&Finalitza", "&Amaitu", "&Finalizar"},
    {"QWizard", "Cancel", "Cancelar", "Cancel·la", "Utzi", "Cancelar"},
    {"QWizard", "&Help", "A&yuda", "&Ajuda", "&Laguntza", "A&xuda"},
    {"QWizard", "Go Back", "Volver", "Torna", "Itzuli", "Volver"},
    {"QWizard", "Continue", "Continuar", "Continua", "Jarraitu", "Continuar"},
    {"QWizard", "Commit", "Confirmar", "Confirma", "Baieztatu", "Confirmar"},
    {"QWizard", "Done", "Hecho", "Fet", "Eginda", "Feito"},
    {"QPlatformTheme", "OK", "Aceptar", "D'acord", "Ados", "Aceptar"},
    {"QPlatformTheme", "Cancel", "Cancelar", "Cancel·la", "Utzi", "Cancelar"},
    {"QPlatformTheme", "&Yes", "&Sí", "&Sí", "&Bai", "&Si"},
    {"QPlatformTheme", "&No", "&No", "&No", "&Ez", "&Non"},
    {"QPlatformTheme", "Close", "Cerrar", "Tanca", "Itxi", "Pechar"},
    {"QMessageBox", "Show Details...", "Mostrar detalles...", "Mostra els detalls...",
     "Erakutsi xehetasunak...", "Mostrar os detalles..."},
    {"QMessageBox", "Hide Details...", "Ocultar detalles...", "Amaga els detalls...",
     "Ezkutatu xehetasunak...", "Ocultar os detalles..."},
    {"QLineEdit", "&Undo", "&Deshacer", "&Desfés", "&Desegin", "&Desfacer"},
    {"QLineEdit", "&Redo", "&Rehacer", "&Refés", "&Berregin", "&Refacer"},
    {"QLineEdit", "Cu&t", "Cor&tar", "Re&talla", "&Ebaki", "Cor&tar"},
    {"QLineEdit", "&Copy", "&Copiar", "&Copia", "&Kopiatu", "&Copiar"},
    {"QLineEdit", "&Paste", "&Pegar", "&Enganxa", "&Itsatsi", "&Pegar"},
    {"QLineEdit", "Delete", "Eliminar", "Suprimeix", "Ezabatu", "Eliminar"},
    {"QLineEdit", "Select All", "Seleccionar todo", "Selecciona-ho tot", "Hautatu dena",
     "Seleccionar todo"},
};

const char* InLanguage(const QtText& t, res::Language lang) {
  switch (lang) {
    case res::kSpanish: return t.spanish;
    case res::kCatalan: return t.catalan;
    case res::kBasque: return t.basque;
    case res::kGalician: return t.galician;
    default: return nullptr;
  }
}

class OwnTexts final : public QTranslator {
 public:
  explicit OwnTexts(res::Language lang) : lang_(lang) {}
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char*, int) const override {
    if (context == nullptr || source == nullptr) return {};
    for (const QtText& t : kQtTexts) {
      if (std::strcmp(t.context, context) == 0 && std::strcmp(t.source, source) == 0) {
        const char* text = InLanguage(t, lang_);
        return text ? QString::fromUtf8(text) : QString();
      }
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
  // A translator installed later is asked first. Basque and Galician: ours,
  // then Qt's Spanish for the rest. Spanish and Catalan: Qt's, then ours
  // when Qt's catalogue is not installed.
  auto own = std::make_unique<OwnTexts>(lang);
  auto qt = std::make_unique<QTranslator>();
  const char* name = QtCatalogue(lang);
  const bool haveQt =
      name != nullptr &&
      qt->load(QString::fromLatin1(name), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  std::vector<std::unique_ptr<QTranslator>> order;
  if (lang == res::kBasque || lang == res::kGalician) {
    if (haveQt) order.push_back(std::move(qt));
    order.push_back(std::move(own));
  } else {
    if (lang == res::kSpanish || lang == res::kCatalan) order.push_back(std::move(own));
    if (haveQt) order.push_back(std::move(qt));
  }
  for (auto& t : order) {
    if (QCoreApplication::installTranslator(t.get())) installed_.push_back(std::move(t));
  }
}

QtTranslations::~QtTranslations() {
  for (auto& t : installed_) QCoreApplication::removeTranslator(t.get());
}

}  // namespace zorbix::app::ui
