// Spanish texts: the page and message texts; the rest falls back to English.
#include "res/string_table.h"

namespace zorbix::res {
namespace {

// Sorted by id.
constexpr StringEntry kTable[] = {
    {102, "Asistente para la verificación de las tarjetas ORVA-ZEL."},
    {103, "Bienvenido al asistente para la verificación de tarjetas ORVA-ZEL."},
    {104, "Presentación del PIN de la tarjeta."},
    {105, "El PIN permite acceder a todos los objetos de la tarjeta ORVA-ZEL."},
    {107, "OPERACIÓN FINALIZADA"},
    {108, "Error durante el proceso."},
    {109, "Se han encontrado errores durante la verificación de la tarjeta ORVA-ZEL"},
    {110, "Versión de comprobación de ATR y datos."},
    {111, "Información sobre el estado de la tarjeta ORVA-ZEL."},
    {112, "Este asistente suministrará información sobre el estado en que se encuentra una tarjeta de la ORVA-ZEL."},
    {113, "Las comprobaciones se centran en el estado de fase de vida en que está la tarjeta y, posteriormente, una verificación de los objetos que contiene."},
    {114, "El asistente crearé un fichero de log llamado ZORBIXLOG.HTML dentro de la carpeta en que se ejecute.  Este fichero se borra cada vez que es ejecutada esta aplicación."},
    {115, "ORVA-ZEL"},
    {116, "Para poder mostrar todos los objetos de la tarjeta ORVA-ZEL es necesario presentar el PIN. Si no, sólo se mostrarán objetos públicos."},
    {117, "Introduzca código PIN"},
    {118, "Si está bloqueado, desbloquear PIN con el PUK."},
    {125, "Código PUK"},
    {126, "Nuevo código PIN"},
    {127, "La operación de verificación de la tarjeta ha finalizado. "},
    {128, "Puede revisar el fichero de log (ZORBIXLOG.HTML) para obtener información más detallada sobre el estado y el contenido de su tarjeta."},
    {129, "Verificación completada"},
    {146, "Aplicación ZORBIX ORVA-ZEL: !ERROR!"},
    {205, "No se ha podido establecer contexto con la tarjeta ORVA-ZEL."},
    {206, "Error de comunicación con la tarjeta"},
    {207, "No se ha podido encontrar ninguna tarjeta ORVA-ZEL."},
    {209, "El código PIN está bloqueado"},
    {241, "Se han encontrado errores durante la verificación del estado de su tarjeta ORVA-ZEL."},
    {242, "La operación ha finalizado."},
    {260, "Seleccione lector:"},
};

}  // namespace

std::span<const StringEntry> SpanishStrings() { return kTable; }

}  // namespace zorbix::res
