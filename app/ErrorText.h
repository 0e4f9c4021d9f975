#pragma once
// How a failure reads in the application's boxes. The library words its failures in English
// (for logs); a failure of a table reaches the user as a German line that names the table's
// file and the cause, a failure of the communications library (the fax and its modem line)
// as a German line of its cause.
#include <exception>
#include <string>

#include "app/UiThread.h"

class EDatabaseError;

// The German line of a failure of a table: 'Datei "<file>": <cause>.'
std::string DatabaseErrorLine(const EDatabaseError& e);
// The text of a failure for a box: a table's or the communications library's as its German
// line, any other as it is worded.
std::string ErrorText(const std::exception& e);
// An error box with the failure's text, below a first line of its own when one is given.
void ShowError(const std::exception& e, const std::string& firstLine = {});

// Runs a handler; what it throws ends up in an error box, never in the event loop.
template <class F>
void Guarded(F&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowError(e);
  }
}
