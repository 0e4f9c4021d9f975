#include "app/ErrorText.h"

#include <cerrno>
#include <system_error>

#include "platform/Database.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"

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

// What the user is told of a failure of the communications library: of its serial ports, and
// on the way of a fax of the telephony service and device, the fax engine and its files.
std::string LibraryCause(int code) {
  switch (code) {
    // Files
    case ecFileNotFound:
      return "Die Datei ist nicht vorhanden.";
    case ecPathNotFound:
    case ecInvalidDrive:
      return "Der Ordner der Datei ist nicht vorhanden.";
    case ecTooManyFiles:
      return "Es sind zu viele Dateien geöffnet.";
    case ecFileAccessDenied:
      return "Der Zugriff auf die Datei ist nicht erlaubt.";
    case ecDiskRead:
      return "Die Datei ist kürzer als erwartet.";
    case ecDiskFull:
      return "Der Datenträger ist voll.";
    case ecWriteProtected:
      return "Der Datenträger ist schreibgeschützt.";
    case ecDriveNotReady:
      return "Das Laufwerk ist nicht bereit.";
    case ecOutOfMemory:
    case ecMemory:
    case ecTapiNoMem:
      return "Es ist nicht genug Speicher frei.";
    // Serial ports
    case ecPortNotAssigned:
      return "Es ist keine serielle Schnittstelle zugeordnet.";
    case ecNoPortSelected:
      return "Es ist keine serielle Schnittstelle gewählt.";
    case ecBadId:
      return "Die serielle Schnittstelle ist nicht vorhanden.";
    case ecBaudRate:
    case ecByteSize:
      return "Die serielle Schnittstelle kann nicht so eingestellt werden.";
    case ecDefault:
    case ecHardware:
    case ecNoHandles:
    case ecNoTimers:
      return "Die serielle Schnittstelle kann nicht geöffnet werden.";
    case ecCommNotOpen:
      return "Die serielle Schnittstelle ist nicht geöffnet.";
    case ecAlreadyOpen:
      return "Die serielle Schnittstelle ist schon geöffnet.";
    case ecNotOpenedByTapi:
      return "Die Telefonie hat die Verbindung zum Modem nicht übergeben.";
    // Telephony
    case ecTapiNoSelect:
      return "Es ist keine Modemleitung ausgewählt.";
    case ecTapiNotSet:
      return "Für das Faxmodem ist keine Modemleitung eingestellt.";
    case ecTapiBusy:
    case ecTapiInUse:
      return "Auf der Modemleitung läuft schon ein Anruf.";
    case ecTapiBadDeviceID:
    case ecTapiNoDevice:
      return "Die gewählte Modemleitung ist nicht vorhanden.";
    case ecTapiAllocated:
      return "Die Schnittstelle des Modems ist von einem anderen Programm belegt.";
    case ecTapiResourceUnavail:
      return "Die Schnittstelle des Modems ist nicht vorhanden oder kann nicht geöffnet werden.";
    case ecTapiOperationFailed:
    case ecFaxBadModemResult:
      return "Das Modem gibt keine sinnvolle Antwort.";
    case ecTapiCallUnavail:
      return "Die Verbindung zum Modem kam nicht zustande.";
    case ecTapiReinit:
      return "Die Telefonie wird gerade neu gestartet; bitte später noch einmal versuchen.";
    case ecTapiLoadFail:
    case ecTapiGetAddrFail:
    case ecTapiLineMapperFailed:
    case ecTapiNoDriver:
      return "Die Telefonie des Systems ist nicht verfügbar.";
    // The fax
    case ecFaxBusy:
      return "Die angerufene Nummer ist besetzt.";
    case ecFaxNoAnswer:
      return "Die Gegenstelle hat nicht geantwortet.";
    case ecFaxNoDialTone:
      return "Das Modem hört kein Freizeichen.";
    case ecFaxNoCarrier:
      return "Die Verbindung zur Gegenstelle kam nicht zustande oder ist abgebrochen.";
    case ecFaxVoiceCall:
      return "Statt eines Faxgeräts hat sich eine Stimme gemeldet.";
    case ecFaxDataCall:
      return "Statt eines Faxgeräts hat sich ein Datenmodem gemeldet.";
    case ecFaxBadMachine:
      return "Das Faxgerät der Gegenstelle kann dieses Fax nicht empfangen.";
    case ecFaxTrainError:
      return "Das Modem konnte sich mit dem Faxgerät der Gegenstelle nicht abstimmen.";
    case ecFaxInitError:
      return "Das Modem lässt sich nicht zum Faxen einstellen.";
    case ecFaxNoFaxClass:
      return "Das Modem ist kein Faxmodem.";
    case ecFaxSessionError:
      return "Die Faxverbindung ist gestört.";
    case ecFaxPageError:
    case ecFaxMCFNoAnswer:
      return "Eine Seite wurde von der Gegenstelle nicht bestätigt.";
    case ecFaxPageTooLong:
      return "Eine Seite des Faxes ist zu lang.";
    case ecFaxMixedResolution:
      return "Die Seiten des Faxes haben verschiedene Auflösungen.";
    case ecFaxAlreadyMonitored:
      return "Das Modem wird schon für ein anderes Fax verwendet.";
    case ecFaxCoverNotFound:
      return "Die Deckblattdatei ist nicht vorhanden.";
    case ecFaxBadFormat:
      return "Die Faxdatei ist beschädigt.";
    case ecFontFileNotFound:
      return "Die Schriftdatei des Faxes ist nicht vorhanden.";
    case ecEnhFontTooBig:
      return "Die Schrift des Faxes ist zu groß.";
    case ecCantMakeBitmap:
      return "Für das Bild der Seite ist nicht genug Speicher frei.";
    default:
      break;
  }
  if (code >= ecSystemFirst && code <= ecSystemLast) return "Lese- oder Schreibfehler des Datenträgers.";
  return {};
}

// The library's failure as the user reads it: its cause in German; a failure nobody brings
// about names the library's code and its words.
std::string LibraryErrorText(int code, const std::string& what) {
  const std::string cause = LibraryCause(code);
  if (!cause.empty()) return cause;
  return "Unerwarteter Fehler der Kommunikationsbibliothek (" + std::to_string(code) + ": " + what + ").";
}

}  // namespace

std::string DatabaseErrorLine(const EDatabaseError& e) {
  if (e.File.empty()) return CauseText(e);
  return "Datei \"" + e.File.string() + "\": " + CauseText(e);
}

std::string ErrorText(const std::exception& e) {
  if (const auto* db = dynamic_cast<const EDatabaseError*>(&e)) return DatabaseErrorLine(*db);
  if (const auto* sio = dynamic_cast<const ESIOException*>(&e); sio && sio->ErrorCode < 0)
    return LibraryErrorText(sio->ErrorCode, e.what());
  // A file error the library raised carries the library's text of its code; the
  // application's own are worded in German already.
  if (const auto* io = dynamic_cast<const EInOutError*>(&e);
      io && io->Message == SioLoadStrUtf8(-io->ErrorCode))
    return LibraryErrorText(-io->ErrorCode, e.what());
  // A file of the application's that could not be read or written, by the system's cause.
  int error = 0;
  if (const auto* f = dynamic_cast<const EFCreateError*>(&e)) error = f->Error;
  if (const auto* f = dynamic_cast<const EFOpenError*>(&e)) error = f->Error;
  if (const auto* s = dynamic_cast<const std::system_error*>(&e);
      s && (s->code().category() == std::generic_category() || s->code().category() == std::system_category()))
    error = s->code().value();
  if (error > 0) {
    const bool writing = dynamic_cast<const EFOpenError*>(&e) == nullptr;
    // A file to be made is missing its folder, not itself.
    if (writing && error == ENOENT) return LibraryErrorText(ecPathNotFound, e.what());
    return LibraryErrorText(SioErrorFromErrno(error, writing), e.what());
  }
  return e.what();
}

void ShowError(const std::exception& e, const std::string& firstLine) {
  const std::string text = ErrorText(e);
  ShowMessage(firstLine.empty() ? text : firstLine + "\n" + text, TMsgKind::Error);
}
