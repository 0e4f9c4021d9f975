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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte chooses the chunk length (1..32), the rest is the received text.
    const std::size_t chunk = (data[0] & 31u) + 1;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < text.size(); i += chunk)
        lines.push_back(text.substr(i, chunk));

    std::vector<std::string> records;
    const bool found = CutSensorRecords(lines, records);
    if (found != (text.find('E') != std::string::npos))
        std::abort();
    std::size_t total = 0;
    for (const std::string& r : records) {
        if (r.find_first_of("E\r\n") != std::string::npos)
            std::abort();
        total += r.size();
    }
    if (total > text.size())
        std::abort();

    // The same text in one chunk gives the same records.
    std::vector<std::string> whole;
    CutSensorRecords({text}, whole);
    if (whole != records)
        std::abort();

    TCriticalSection lock;
    TKorvidan controller(0);
    int reports = 0;
    ConvertRecords(records, controller, lock, [&](const std::string&) { ++reports; });
    for (int s = 0; s < TKorvidan::SensorCount; ++s) {
        const TSensor* sensor = controller.GetSensor(s);
        if (sensor->GetType() > SensorPressure || !std::isfinite(sensor->GetValue()))
            std::abort();
    }
    return 0;
}
