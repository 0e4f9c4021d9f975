// The programming-data file (".prg"): the 12 signature bytes "ovu ProgData",
// the programming image (3578 bytes, PC byte order whatever the controller's
// firmware) and the socket table (119 bytes); 3709 bytes, no length field, no
// checksum.  The image's end marker makes a file valid.
//
// These functions only move bytes between a file and the two blocks; the
// transfer object's SaveToFile and LoadFromFile (ProgDataTransfer.h) report
// their results in boxes and refresh the programming window.
#pragma once

#include <cstddef>
#include <string>

#include "programming/ProgrammingImage.h"

namespace ProgTransfer {

constexpr char FileSignature[] = "ovu ProgData";
constexpr std::size_t FileSignatureSize = 12;
constexpr std::size_t FileImageOffset = FileSignatureSize;                         // 12
constexpr std::size_t FileSocketOffset = FileImageOffset + ProgLayout::ImageSize;  // 3590
constexpr std::size_t FileSize = FileSocketOffset + ProgLayout::SocketTableSize;   // 3709
static_assert(sizeof(FileSignature) == FileSignatureSize + 1);
static_assert(FileSize == 3709);

}  // namespace ProgTransfer

// Caption of the programming window; a file operation appends " [name]".
inline constexpr const char* ProgrammingWindowCaption = "korvidan Programmierschnittstelle";
// The caption after a file operation on fileName.
std::string ProgrammingCaptionFor(const std::string& fileName);

enum class TProgFileResult {
  Ok,
  OpenFailed,    // the file cannot be opened or created
  WriteFailed,   // a write, the flush or the close failed, or the rename over the old file
  ReadFailed,    // the file was opened but cannot be read
  BadSignature,  // it does not start with "ovu ProgData"
  InvalidData,   // too short, or the image lacks its end marker
};

// Writes the file: a temporary file beside it first, renamed over the old one only when
// every byte is on disk. On any failure the old file is as it was and the temporary file
// is gone.
TProgFileResult WriteProgDataFile(const std::string& fileName, const TProgrammingImage& image,
                                  const TSocketTable& sockets);
// Reads and checks a file. Only an Ok result changes image and sockets.
TProgFileResult ReadProgDataFile(const std::string& fileName, TProgrammingImage& image,
                                 TSocketTable& sockets);
