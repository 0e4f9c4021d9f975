// Takes the documentation's picture of the fax viewer: a two-page text fax whose pages
// begin with a fax header line, made by the converter component, shown in the fax view
// form as the X server shows it. Run under Xvfb (docs/make-viewer-screenshot).
#include <stdlib.h>

#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fax/SioFaxCvt.h"
#include "fax/Swtxtcvt.h"
#include "fax/ui/Faxview.h"
#include "fax/ui/SioFview.h"

namespace fs = std::filesystem;

namespace {

// Windows-1252, as the converter reads text files.
const char* const Letter =
    "Alarmmeldung der Aquariensteuerung\r\n"
    "\r\n"
    "Absender: ovu zelvanor v1.0\r\n"
    "Empf\xE4nger: Test Recipient\r\n"
    "\r\n"
    "Korvidan1, Sensor 1 (pH)\r\n"
    "Wert 8.62 \xFC"
    "ber der oberen\r\n"
    "Grenze 8.20, Aktion = Fax\r\n"
    "\r\n"
    "Korvidan1, Sensor 2 (Temperatur)\r\n"
    "Wert 29.4 \xFC"
    "ber der oberen\r\n"
    "Grenze 28.0, Aktion = Fax\r\n"
    "\f"
    "Seite 2: Messwerte der letzten\r\n"
    "Datenabfrage\r\n"
    "\r\n"
    "pH           8.62\r\n"
    "Temperatur  29.4 \xB0"
    "C\r\n"
    "Redox        312 mV\r\n"
    "Leitwert    51.2 mS\r\n";

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fax-viewer-screenshot OUTPUT.png\n");
    return 2;
  }
  const fs::path output = fs::absolute(argv[1]);
  QApplication app(argc, argv);
  char templ[] = "/tmp/korvidan-fax-shot-XXXXXX";
  const fs::path dir = mkdtemp(templ);
  std::ofstream(dir / "Fax.txt", std::ios::binary) << Letter;

  int code = 1;
  try {
    // The body: the letter in the built-in font at fine resolution.
    TSioFaxConverter body;
    body.SetInputDocumentType(idText);
    body.SetResolution(frHigh);
    body.SetLinesPerPage(0);
    body.SetDocumentFile((dir / "Fax.txt").string());
    // The header line of each page in the small font, as a fax machine prints it.
    TAbsFaxCvt* header = nullptr;
    if (fcInitTextConverter(header) < 0 || fcLoadFont(header, "", ffSmallFontHandle, true) < 0) return 1;
    const int headerRows = fcFontRows(header);

    TSioFaxConverter fax;
    fax.SetInputDocumentType(idUser);
    fax.SetResolution(frHigh);
    fax.SetOptions(0);
    fax.SetStationID("ovu zelvanor");
    fax.SetOutFileName((dir / "korvidan.fxf").string());
    int page = 1, row = 0;
    fax.SetOnReadUserLine([&](TSioCustomFaxConverter*, std::uint8_t* data, int& len, bool& eop, bool& more) {
      len = 216;
      eop = false;
      more = true;
      ++row;
      if (row <= headerRows) {
        const std::string text =
            "15.03.2024 10:15   \"ovu zelvanor v1.0\"   Seite " + std::to_string(page) + "/2";
        fcRasterizeText(header, text, row, data + 6);
        return;
      }
      if (row <= headerRows + 24) return;  // white between the header line and the text
      body.GetRasterLine(data, len, eop, more);
      if (eop) {
        ++page;
        row = 0;
      }
    });
    fax.ConvertToFile();
    body.CloseFile();
    fcDoneTextConverter(header);

    fs::current_path(dir);
    TFaxViewForm form;
    form.move(0, 0);
    form.ShowFax();
    Wait(1500);
    const QRect g = form.frameGeometry();
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
    code = shot.save(QString::fromStdString(output.string()), "PNG") ? 0 : 1;
    if (form.SioFaxViewer1->NumPages() != 2) {
      std::fprintf(stderr, "fax-viewer-screenshot: the fax has %u pages\n", form.SioFaxViewer1->NumPages());
      code = 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fax-viewer-screenshot: %s\n", e.what());
  }
  fs::current_path("/");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}
