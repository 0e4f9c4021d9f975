#pragma once
// Picture files from fax files: decoded pages (with the unpacker's scaling and options)
// written as PCX, DCX, TIFF (PackBits) or BMP. The "Page" operations write one page; the
// "File" operations all pages as one tall picture, except DCX, which holds one picture a
// page.
//
// Output name: a name with an extension is used as it is; a name without one gets the
// default extension ("PCX", "DCX", "TIF", "BMP"); with no name the fax file's name gets
// the default extension in place of its own.
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
