// libFuzzer target: arbitrary bytes as received bus text, cut into chunks, through the
// record cutter and the conversion into a controller's sensors.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/SensorRecords.h"
#include "link/Tkorvidan.h"
#include "platform/Threads.h"

namespace {

// Pieces of the controllers' output, so that most inputs look like value lines.
const char* const Pieces[] = {"E",
                              "1",
                              "2",
                              "3",
                              "4",
                              "5",
                              "6",
                              "7",
                              "8",
                              "9",
                              "0",
                              "(pH )",
                              "(Te )",
                              "(Rx )",
                              "(Le )",
                              "(Ox )",
                              "(Pe )",
                              "(Ld )",
                              "(",
                              ")",
                              "07.05",
                              "25.3",
                              "0350",
                              "52.3",
                              "0850",
                              "08.50",
                              "095.0",
                              "1013",
                              ".",
                              "-",
                              " pH ",
                              (" \xB0"
                               "C "),
                              " mV ",
                              " mS ",
                              " uS ",
                              "mg/l ",
                              " %",
                              " mbar ",
                              "Wasser",
                              "Luft",
                              "Water",
                              "Aria",
                              "eau",
                              "\r\n",
                              " ",
                              "9e99",
                              "p",
                              "m",
                              "u",
                              "g"};
constexpr std::size_t PieceCount = sizeof Pieces / sizeof Pieces[0];

void Check(const std::string& text, std::size_t chunk);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the chunk length (1..32) and whether the rest is the received
  // text itself (high bit clear) or a list of output pieces, one a byte (high bit set).
  const std::size_t chunk = (data[0] & 31u) + 1;
  std::string text;
  if (data[0] & 0x80u) {
    for (std::size_t i = 1; i < size; ++i)
      text +=
          data[i] < PieceCount ? std::string(Pieces[data[i]]) : std::string(1, static_cast<char>(data[i]));
  } else {
    text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  Check(text, chunk);
  return 0;
}

namespace {

void Check(const std::string& text, std::size_t chunk) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < text.size(); i += chunk) lines.push_back(text.substr(i, chunk));

  std::vector<std::string> records;
  const bool found = CutSensorRecords(lines, records);
  if (found != (text.find('E') != std::string::npos)) std::abort();
  std::size_t total = 0;
  for (const std::string& r : records) {
    if (r.find_first_of("E\r\n") != std::string::npos) std::abort();
    total += r.size();
  }
  if (total > text.size()) std::abort();

  // The same text in one chunk gives the same records.
  std::vector<std::string> whole;
  CutSensorRecords({text}, whole);
  if (whole != records) std::abort();

  TCriticalSection lock;
  TKorvidan controller(0);
  int reports = 0;
  ConvertRecords(records, controller, lock, [&](const std::string&) { ++reports; });
  for (int s = 0; s < TKorvidan::SensorCount; ++s) {
    const TSensor* sensor = controller.GetSensor(s);
    if (sensor->GetType() > SensorPressure || !std::isfinite(sensor->GetValue())) std::abort();
  }
}

}  // namespace
