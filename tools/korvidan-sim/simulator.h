// The bus: a pseudo-terminal on which the simulated controllers print their values and answer the
// PC's requests, with optional disturbances (odd chunks, garbage bytes, silence, 9600-baud pacing).
#pragma once

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "sim_controller.h"

namespace ksim {

struct Disturbance {
  int chunkMax = 0;           // >0: write in chunks of 1..chunkMax bytes
  int chunkPauseMs = 20;      // pause after every chunk
  double garbagePercent = 0;  // chance per byte that a random byte is inserted before it
  bool silent = false;        // no output, no replies
  bool pace = false;          // 9600 baud, 8N1: about 1.04 ms a byte
};

struct SimOptions {
  std::vector<Controller> controllers;
  double periodSeconds = 0;  // 0: the controller's display interval from its image
  ReplyTiming timing;
  int storedRows = 12;
  Disturbance disturbance;
  unsigned seed = 0;
  std::string link;
  std::string controlFifo;
  bool readStdin = true;
  bool fixedValues = false;  // print the set values as they are instead of letting them drift
  bool verbose = false;
};

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  int run();  // exit code

  // One control command; returns the answer lines, the last one "ok" or "error: ...".
  std::string command(const std::string& line);

 private:
  struct Queued {
    Segment segment;
    int owner = -1;  // controller index, -1 for raw text
    bool reply = false;
  };

  bool openPty();
  void checkConnection();
  void connect();
  void disconnect();
  void scheduleValues(long long now);
  bool canPrintValues(long long now) const;
  void checkReceiveTimeout(long long now);
  void pumpOutput(long long now);
  void readBus(long long now);
  void onBusByte(char c, long long now);
  void handleLine(const std::string& line, long long now);
  void onRequest(char letter, long long now);
  void finishWrite(Controller& c);
  void enqueue(const std::vector<Segment>& segments, int owner, bool reply);
  bool busyReplying(int owner) const;
  std::string withGarbage(const std::string& bytes);
  long long periodUs(const Controller& c) const;
  Drift driftOf(const Controller& c) const;
  void readControl(int fd, std::string& pending, bool& eof);
  void log(const std::string& text) const;
  Controller* controllerAt(int address);
  std::string status();

  SimOptions opt_;
  std::vector<Controller>& ctrls_;
  std::mt19937 rng_;

  int master_ = -1;
  std::string slavePath_;
  bool connected_ = false;
  long long lastRxUs_ = -1'000'000'000;
  long long lastWriteByteUs_ = 0;  // last byte fed to a programming write
  std::string line_;
  bool lineOverflow_ = false;

  std::deque<Queued> queue_;
  bool haveCurrent_ = false;
  Queued current_;
  std::size_t currentPos_ = 0;
  long long writeAtUs_ = 0;
  bool wantWrite_ = false;

  int fifo_ = -1, fifoKeeper_ = -1;
  std::string stdinPending_, fifoPending_;
  bool stop_ = false;
};

long long nowUs();

// "ADDR:NUM:KIND:VALUE" sets a sensor; "ADDR:NUM:VALUE" changes the value of an existing one.
// Returns an empty text on success, else the reason.
std::string applySensorSpec(std::vector<Controller>& controllers, const std::string& spec);
// "219" or "2.19"; -1 when not a version from 1.00 to 9.99.
int parseVersion(const std::string& text);
bool parseNumber(const std::string& text, double& value);
bool parseInt(const std::string& text, long long& value);

}  // namespace ksim
