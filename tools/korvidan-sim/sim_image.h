// Programming memory of a simulated controller: the 3578-byte programming image and the
// 119-byte socket table, held in PC byte order (as in a programming-data file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ksim {

constexpr std::size_t kImageSize = 3578;
constexpr std::size_t kSocketTableSize = 119;
constexpr std::size_t kPrgSignatureSize = 12;
constexpr std::size_t kPrgFileSize = kPrgSignatureSize + kImageSize + kSocketTableSize;  // 3709
inline constexpr char kPrgSignature[] = "ovu ProgData";

using Image = std::array<std::uint8_t, kImageSize>;
using SocketTable = std::array<std::uint8_t, kSocketTableSize>;

struct ProgramMemory {
  Image image{};
  SocketTable sockets{};
};

// A plausible configuration: pH, temperature, redox, conductivity, oxygen and level inputs with
// their processes switched off, one light socket, end marker 0x30 0x39.
ProgramMemory defaultProgramMemory();

// Reverses every float field of the image and the 16-bit word at offset 20 in place.
// Firmware 217 and later keeps these fields in this reversed order on the bus. Applying it twice
// restores the image.
void reverseMultiByteFields(Image& image);

// Bus order of the image for a controller of the given firmware version (version x 100).
Image toBusOrder(const Image& image, int firmwareVersion);
Image fromBusOrder(const Image& busImage, int firmwareVersion);

void putFloat(Image& image, std::size_t offset, float value);  // little-endian
float getFloat(const Image& image, std::size_t offset);

// Controller clock fields of the header: time of day in seconds (offset 1) and the date as a
// Modified Julian Day (offset 5), both from the local time given as seconds since 1970.
void setClock(Image& image, long long unixSeconds);

// Programming-data file: "ovu ProgData", the image, the socket table; a short file leaves the
// rest zero. Returns an empty text on success, else the reason.
std::string loadPrgFile(const std::string& path, ProgramMemory& memory);
std::string savePrgFile(const std::string& path, const ProgramMemory& memory);

// Upper-case hexadecimal text, two characters a byte.
std::string toHex(const std::uint8_t* data, std::size_t size);
// Value of one hexadecimal digit "0"-"9", "A"-"F", or -1.
int hexDigit(char c);

}  // namespace ksim
