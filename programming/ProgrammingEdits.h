// The rules behind the controls of the programming window, free of any window: reading and
// showing the texts of its edits, the socket steppers, the record steppers and new records of
// its pages, socket assignments and the checks before a write.  The window (programming/ui)
// binds its controls to these; each rule works on the image and socket table it is given.
//
// Every record and socket access here is bounds-checked: a socket byte above 16 counts as
// socket 0, a record number outside its block is no record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "programming/ProgrammingImage.h"

// ---------------------------------------------------------------------------
// Texts of the edits

// The number that sscanf's "%f" reads from the start of the text; 0 when it reads none.
float TextToFloat(std::string_view text);
// The trimmed text as a decimal integer; 0 when it is no number.
int TextToInt(std::string_view text);
// TextToInt limited to lo..hi.
int TextToIntClamped(std::string_view text, int lo, int hi);

// The checked readers of the edits: false for a text that is not wholly a value of its kind,
// so that nothing is stored from it.
//   a finite number, '.' or ',' as the decimal separator, blanks around;
bool ReadFloatText(std::string_view text, float& value);
//   a decimal integer, blanks around;
bool ReadIntText(std::string_view text, int& value);
//   "hh:mm:ss" (fields of one or two digits), a duration: up to 99:99:99;
bool ReadDurationText(std::string_view text, float& seconds);
//   "hh:mm:ss" as a time of day: at most 23:59:59.
bool ReadTimeOfDayText(std::string_view text, float& seconds);

// printf formatting with the C locale ("%05.2f" of 7.1 is "07.10" whatever the system's).
std::string FormatValue(const char* format, double value);
std::string FormatInt(const char* format, int value);

// ---------------------------------------------------------------------------
// Sockets

// The socket number that a record's socket byte stands for: 0..16, and 0 for any byte above.
int ShownSocket(std::uint8_t socketByte);
// The kind byte of a socket, 0 for a number outside 0..16.
std::uint8_t SocketKind(int socket, const TSocketTable& sockets);
bool SocketIsDimmable(int socket, const TSocketTable& sockets);
// The next socket number in the direction (+1 upward, -1 downward), onto a present
// neighbour only; else n.  Never leaves 0..16.
int DoseUpDown(int direction, int n, const TSocketTable& sockets);
// The lowest socket number 1..16 that is present; 0 when there is none.
int FirstPresentSocket(const TSocketTable& sockets);
// The assignment text shown beside a record's socket: "nicht ausgewählt" for socket 0.
std::string RecordSocketText(int socket, const TSocketTable& sockets);
// Socket table entry n gets the assignment code and its on and off values (each limited to
// 0..100).  False, and nothing changed, for a socket number outside 0..16.
bool AssignSocket(TSocketTable& sockets, int socket, std::uint8_t code, int valueOn, int valueOff);

// Limits of the percent values of the sockets and the feeding pause.
constexpr int PercentMin = 0;
constexpr int PercentMax = 100;
// Limits of the time zone in hours.
constexpr int TimeZoneMin = -12;
constexpr int TimeZoneMax = 14;

// ---------------------------------------------------------------------------
// Control records (input 0..7, process 0..3)

// Image offset of the control record of an input and process; throws std::out_of_range for
// numbers outside.
std::size_t ControlRecordOffset(int input, int process);
// The input stepper: the nearest input in the direction whose process 0 carries the sensor
// type; current itself when there is none.  current may be -1 (no input selected).
int StepInput(const TProgrammingImage& image, std::uint8_t sensorType, int current, int direction);
// The process stepper: the nearest process of the input in the direction whose mode is not
// 0; current itself when there is none.
int StepProcess(const TProgrammingImage& image, int input, int current, int direction);

enum class TNewRecordResult { Created, NoMore, NothingSelected };
// "Neuer Vorgang" of a control tab with the input and process shown: the process after the
// last used one of processes 0..2 (0 when none is used) gets the unset mode, and on the pH
// tab the pH sensor type.  NoMore when process 4 is shown or the process to take is in use.
TNewRecordResult NewControlProcess(TProgrammingImage& image, int input, int shownProcess,
                                   std::uint8_t setSensorType, int& newProcess);

// ---------------------------------------------------------------------------
// Time-function records

struct TRecordBlock {
  std::size_t first;  // image offset of record 0
  std::size_t size;   // bytes a record
  int count;
  std::uint8_t unset;  // mode of a new record
};

constexpr TRecordBlock CurrentBlock{ProgLayout::CurrentRecordsOffset, ProgLayout::CurrentRecordSize,
                                    ProgLayout::CurrentRecords, CurrentModeUnset};
constexpr TRecordBlock DayNightBlock{ProgLayout::DayNightRecordsOffset, ProgLayout::DayNightRecordSize,
                                     ProgLayout::DayNightRecords, DayNightModeUnset};
constexpr TRecordBlock MoonBlock{ProgLayout::MoonRecordsOffset, ProgLayout::MoonRecordSize,
                                 ProgLayout::MoonRecords, MoonModeUnset};
constexpr TRecordBlock TimerBlock{ProgLayout::TimerRecordsOffset, ProgLayout::TimerRecordSize,
                                  ProgLayout::TimerRecords, TimerModeUnset};
constexpr TRecordBlock IntervalBlock{ProgLayout::IntervalRecordsOffset, ProgLayout::IntervalRecordSize,
                                     ProgLayout::IntervalRecords, IntervalModeUnset};
// The feeding pause's 16 entries (socket byte, percent): in use when the socket byte is not 0.
constexpr TRecordBlock FeedingPauseBlock{ProgLayout::FeedingPauseOffset, 2, ProgLayout::FeedingPauseEntries,
                                         FeedingPauseModeUnset};

// Image offset of record k of a block; throws std::out_of_range for a k outside.
std::size_t RecordOffset(const TRecordBlock& block, int k);
// A record is in use when its first byte (the mode; the feeding pause's socket byte) is not 0.
bool RecordInUse(const TProgrammingImage& image, const TRecordBlock& block, int k);
// The record stepper: k+1 or k-1 when that record exists and is in use; else k, with
// refused set when the target exists but is not in use.
int StepRecord(const TProgrammingImage& image, const TRecordBlock& block, int k, int direction,
               bool& refused);
// The new-record button: the first record not in use gets the block's unset mode (for the
// feeding pause: the common mode); -1 when every record is in use.
int NewRecord(TProgrammingImage& image, const TRecordBlock& block);

// ---------------------------------------------------------------------------
// Before a write

struct TWriteCheck {
  bool ok = true;
  std::string text, caption;  // the box of the first failing check
};
// The seven checks in their order: no record may be unset.
TWriteCheck ValidateBeforeWrite(const TProgrammingImage& image);

// The box of the private message 2025 for a page code (feeding pause 0, interval 1, timer 2,
// moon 3; anything else is a program fault).
struct TNumberMessage {
  std::string text, caption;
};
TNumberMessage NumberMessageFor(int page);
