#pragma once
// Picture files from fax files: decoded pages (with the unpacker's scaling and options)
// written as PCX, DCX, TIFF (PackBits) or BMP. The "Page" operations write one page; the
// "File" operations all pages as one tall picture, except DCX, which holds one picture a
// page.
//
// Output name: a name with an extension is used as it is; a name without one gets the
// default extension ("PCX", "DCX", "TIF", "BMP"); with no name the fax file's name gets
// the default extension in place of its own.
//
// A picture that a format cannot hold is refused with -8002 and no file is written: a
// picture without rows (a fax of no pages, or pages without a decodable line), a PCX
// picture (also a DCX page) of more than 65536 rows or columns, a DCX of more than 1024
// pages, a TIFF of more than 4 GB of strip data; a BMP of 32768 rows or more is -8054.
// The output file appears whole or not at all: until it is complete, an existing file of
// its name stays as it was.
#include <string>

#include "fax/Swunpack.h"

int upUnpackPageToPcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page);
int upUnpackFileToPcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile);
int upUnpackPageToDcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page);
int upUnpackFileToDcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile);
int upUnpackPageToTiff(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page);
int upUnpackFileToTiff(TUnpackFax* up, const std::string& faxFile, const std::string& outFile);
// A picture of 32768 rows or more is refused with -8054.
int upUnpackPageToBmp(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page);
int upUnpackFileToBmp(TUnpackFax* up, const std::string& faxFile, const std::string& outFile);

// The output file name for a fax file and a given output name (may be empty).
std::string upOutputFileName(const std::string& faxFile, const std::string& outFile,
                             const std::string& defExt);
