#pragma once
// Which serial ports exist, and asking the user for one.
//
// The port selection dialog itself is a window (TComSelectForm in ComSelectForm.h, library
// korvidan_serial_ui); the port component reaches it through the prompt hook that the
// window layer installs, so that the serial library stays free of the window system.
#include <cstdint>
#include <functional>
#include <optional>

// Test a port by opening it through a dispatcher rather than by a plain device open.
extern bool UseDispatcherForAvail;
// A port that exists but is held by someone else counts as available.
extern bool ShowPortsInUse;

// Highest port number the dialog offers.
constexpr std::uint16_t MaxComSelectPort = 50;

// True when COM<comNumber> exists (and is free, or held by another user while
// ShowPortsInUse is set). COM<n> is the device that TSerialDevice maps it to.
bool IsPortAvailable(std::uint16_t comNumber);

// Asks the user for a port: the chosen COM number, or none when the user cancelled.
using TPortPromptHook = std::function<std::optional<std::uint16_t>()>;
void SetPortPromptHook(TPortPromptHook hook);
// Runs the installed hook; without one the answer is "cancelled".
std::optional<std::uint16_t> PromptForComPort();
