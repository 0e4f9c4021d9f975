// The controller's programming data as a whole: the image and the socket table
// (ProgrammingImage.h), the programming-data file (ProgDataFile.h) and the transfer object
// that reads, writes and files them (ProgDataTransfer.h).
#pragma once

#include "programming/ProgDataFile.h"
#include "programming/ProgDataTransfer.h"
#include "programming/ProgrammingImage.h"
