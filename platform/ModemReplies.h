#pragma once
// What a modem sends between its commands, taken apart: the bytes into reply lines, DLE codes
// and (while a voice recording runs) samples; the lines into final results and caller-id
// reports. The telephony lines' worker owns one TModemInput per open modem.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

struct TModemInput {
  std::string line;               // the line being received
  std::deque<std::string> lines;  // complete lines without their CR or LF, 256 characters at most
  bool dlePending = false;        // a DLE was the last byte
  bool recording = false;         // +VRX runs: the bytes are samples, DLE DLE one DLE, up to DLE ETX
  bool samplesEnded = false;      // DLE ETX ended the recording
  std::string samples;            // recorded bytes not yet taken

  // Takes bytes from the modem; returns the codes of the DLE pairs other than DLE DLE and
  // DLE ETX (the voice modes' tones and digits), in their order.
  std::string Feed(const char* p, std::size_t n);
  // The modem's CONNECT to +VRX came: what followed it on its line is the first samples.
  void StartRecording();
  // Forgets what came so far (a new modem, or the line handed over).
  void Clear();
};

// A final result code, verbal or numeric (the command it answers is over).
bool IsFinalResult(const std::string& line);
// A numeric result code in words ("3" is "NO CARRIER"); any other line as it is.
std::string VerbalResult(const std::string& line);

// A caller-id report ("NMBR = 0301234567", "NAME = ...", "P" for private, "O" for out of
// area) applied to the caller's party-id flags, number and name; false, and nothing changed,
// when the line is no such report.
bool ApplyCallerIdReport(const std::string& line, std::uint32_t& flags, std::string& number,
                         std::string& name);
