#include "app/ErrorText.h"

#include "platform/Database.h"

namespace {

std::string CauseText(const EDatabaseError& e) {
  switch (e.Cause) {
    case TDbCause::NotFound:
      return "Die Tabelle ist nicht vorhanden.";
    case TDbCause::InUse:
      return "Die Tabelle ist im Programm geöffnet.";
    case TDbCause::Locked:
      return "Die Tabelle ist von einem anderen Programm gesperrt.";
    case TDbCause::NotATable:
      return "Die Datei ist keine Tabelle.";
    case TDbCause::Corrupt:
      return "Die Tabellendatei ist beschädigt.";
    case TDbCause::Layout:
      return "Die Datei enthält eine Tabelle mit anderem Aufbau; sie bleibt unverändert.";
    case TDbCause::ReadOnly:
      return "Die Datei oder ihr Ordner ist schreibgeschützt.";
    case TDbCause::DiskFull:
      return "Der Datenträger ist voll.";
    case TDbCause::IoError:
      return "Lese- oder Schreibfehler des Datenträgers.";
    case TDbCause::KeyViolation:
      return "Ein Datensatz hat keinen Schlüssel oder einen, der schon vorhanden ist.";
    case TDbCause::RowDeleted:
      return "Der Datensatz wurde von einem anderen Programm gelöscht.";
    case TDbCause::Other:
      break;
  }
  // Nothing a user brings about: the library's words say what happened.
  return std::string("Unerwarteter Fehler der Datenbank (") + e.what() + ").";
}

}  // namespace

std::string DatabaseErrorLine(const EDatabaseError& e) {
  if (e.File.empty()) return CauseText(e);
  return "Datei \"" + e.File.string() + "\": " + CauseText(e);
}

std::string ErrorText(const std::exception& e) {
  if (const auto* db = dynamic_cast<const EDatabaseError*>(&e)) return DatabaseErrorLine(*db);
  return e.what();
}

void ShowError(const std::exception& e, const std::string& firstLine) {
  const std::string text = ErrorText(e);
  ShowMessage(firstLine.empty() ? text : firstLine + "\n" + text, TMsgKind::Error);
}
