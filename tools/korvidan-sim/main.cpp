// korvidan-sim: one or more Korvidan aquarium controllers on an RS485 bus, simulated on a
// pseudo-terminal for testing the PC side without hardware.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "simulator.h"

namespace {

const char kHelp[] =
    "Usage: korvidan-sim [OPTIONS]\n"
    "\n"
    "Simulates Korvidan aquarium controllers on an RS485 bus. Opens a pseudo-terminal (raw, 8N1,\n"
    "nominal 9600 baud), prints the path of its port side on the first line of standard output and\n"
    "runs until SIGTERM or SIGINT, a 'quit' command, or the end of standard input (unless\n"
    "--no-stdin). Output reaches the port only while some program has it open.\n"
    "\n"
    "Controllers and sensors:\n"
    "  --controller SPEC    add a controller; SPEC is a comma list of\n"
    "                         addr=N       bus address 0..255 (default 0)\n"
    "                         name=TEXT    name (default Korvidan1)\n"
    "                         version=V    firmware version, 219 or 2.19 (default 219)\n"
    "                         image=FILE   programming data from a .prg file (default built in)\n"
    "                         save=FILE    store every accepted programming write in a .prg file\n"
    "                         clock=on|off stamp time and date into each dump (default on)\n"
    "                       Without --controller there is one: addr=0,name=Korvidan1,version=219.\n"
    "                       The first controller answers the requests DV, DR, DG and DS;\n"
    "                       every controller prints values and takes the rename for its address.\n"
    "  --sensor A:N:KIND:VALUE\n"
    "                       sensor N (1..8) of the controller at address A. KIND is one of\n"
    "                       ph, temp, redox, cond-ms, cond-us, o2-mg, o2-pct, level, pressure\n"
    "                       or a type code 1..8. Level values: 1 water, 0 air, other a fault.\n"
    "                       A controller without --sensor has: 1 ph 8.1, 2 temp 25.5, 3 redox 350,\n"
    "                       4 cond-ms 52.3, 5 o2-mg 7.5, 6 level 1, 7 pressure 1013; with --fixed:\n"
    "                       1 ph 7.05, 2 temp 25.3, 3 redox 350, 4 cond-ms 52.3, 5 o2-mg 8.5,\n"
    "                       6 level 1, 7 pressure 1013.\n"
    "  --fixed              print every value exactly as set. Without it each value drifts slowly\n"
    "                       around its set value as a tank's do: a swing over the day (lowest at\n"
    "                       4:00, highest at 16:00 local time) and two waves of 25 and 3\n"
    "                       minutes, together at most ph 0.2, temp 1.0, redox 25, cond-ms 0.8,\n"
    "                       cond-us 15, o2-mg 0.6, o2-pct 6, pressure 6 away from it (by default\n"
    "                       pH 7.9..8.3 and 24.5..26.5 degrees); level sensors keep their state.\n"
    "                       The stored-data listing shows each row's values of its time; --seed\n"
    "                       sets the phases of the two shorter waves.\n"
    "  --period SECONDS     value output period (default: the external display interval of the\n"
    "                       programming image, 1..4 s; 2 s for the built-in image)\n"
    "  --stored ROWS        rows of the stored-data listing (default 12)\n"
    "  --reaction MS        pause before the first byte of a reply (default 30)\n"
    "  --gap MS             pause between the marker blocks of a reply (default 100)\n"
    "\n"
    "Disturbances (also switchable at run time):\n"
    "  --chunk MAX[:PAUSE]  write in chunks of 1..MAX bytes with PAUSE ms between (default 20)\n"
    "  --garbage PERCENT    insert a random byte before an output byte with this chance\n"
    "  --silent             print nothing and answer nothing\n"
    "  --pace               pace the output to 9600 baud (about 1.04 ms a byte)\n"
    "  --seed N             seed of the random choices (default: from the clock)\n"
    "\n"
    "Other:\n"
    "  --link PATH          make PATH a symbolic link to the port (removed at the end)\n"
    "  --control FIFO       also read commands from this named pipe (made if missing)\n"
    "  --no-stdin           do not read commands from standard input\n"
    "  -v, --verbose        log requests and events to standard error\n"
    "  -h, --help           this text\n"
    "\n"
    "Commands (one a line on standard input or the FIFO; answers on standard output, the last\n"
    "line of each answer is 'ok' or 'error: ...'):\n"
    "  status                           port, disturbances, controllers and sensors\n"
    "  set A:N:KIND:VALUE | set A:N:VALUE   set a sensor, or change the value of one\n"
    "  remove A:N                       remove a sensor from the output\n"
    "  version A V                      firmware version of a controller\n"
    "  period SECONDS | period auto     value output period\n"
    "  silent on|off    pace on|off     chunk MAX [PAUSE] | chunk off     garbage PERCENT\n"
    "  send TEXT                        put TEXT on the bus (escapes \\r \\n \\t \\\\ \\xHH)\n"
    "  quit\n"
    "\n"
    "Bus formats:\n"
    "  values   every period one line: per sensor \"E\", its number, \"(\", the two-letter code,\n"
    "           \" )\", the number, the unit, a blank; then \"E\" CR LF, e.g.\n"
    "           E1(pH )07.05 pH E2(Te )25.3 \\xB0C E3(Rx )0350 mV E4(Le )52.3 mS E5(Ox )08.50mg/l\n"
    "           E6(Pe )Wasser E7(Ld )1013 mbar E  (one line; \\xB0 is the degree sign of\n"
    "           Windows-1252). Oxygen in percent ends in \"%\" with no blank:\n"
    "           E5(Ox )095.0 %E. Conductivity in uS: E4(Le )0850 uS.\n"
    "           Numbers: ph %05.2f, temp %04.1f, redox %04d, cond-ms %04.1f, cond-us %04d,\n"
    "           o2-mg %05.2f, o2-pct %05.1f, pressure %04d; level prints Wasser (1), Luft (0)\n"
    "           or Fehler. Values pause while the PC sends (until 0.4 s after its last byte),\n"
    "           during a programming write and while a reply is going out.\n"
    "  replies  begin --reaction ms after the request's closing line feed; their marker\n"
    "           blocks are --gap ms apart, so that the PC can arm the next marker. Requests\n"
    "           that arrive while a reply is going out are ignored.\n"
    "  DV       \"korvidan v2.19\" CR LF\n"
    "  DR       \"Data RAM:\" CR LF, 7156 hex characters, CR LF, \"End RAM\" CR LF,\n"
    "           \"Socket Data\" CR LF, 238 hex characters, CR LF, \"Socket End\" CR LF; from\n"
    "           firmware 217 on the floats of the image travel byte-reversed\n"
    "  DG       \"Receive Start\" CR LF; then takes 3578 hex pairs, a checksum pair, 119 hex\n"
    "           pairs, a checksum pair, and answers the sum of the data characters modulo 256 as\n"
    "           two hex characters followed by \"CheckSum\" CR LF; stores the data when both\n"
    "           checksum pairs match. A write that stalls for 5 s is dropped unanswered; a\n"
    "           repeated DG is ignored; another request ends the write and is answered.\n"
    "  DS       a line of 60 hyphens, a header with \"Datum\", hyphens, one line a row\n"
    "           (dd.mm.yyyy hh:mm:ss and the values), hyphens, \"END\" CR LF\n"
    "  rename   \"$\", two hex digits of the address, \"6\", the name (up to 24 characters), CR;\n"
    "           no answer\n";

bool takeValue(int argc, char** argv, int& i, const std::string& name, std::string& value) {
  const std::string a = argv[i];
  if (a == name) {
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
  }
  if (a.rfind(name + "=", 0) == 0) {
    value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

std::string parseController(const std::string& spec, ksim::Controller& c) {
  std::size_t start = 0;
  while (start <= spec.size()) {
    std::size_t comma = spec.find(',', start);
    if (comma == std::string::npos) comma = spec.size();
    const std::string item = spec.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) return "controller setting without '=': " + item;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    long long n = 0;
    if (key == "addr") {
      if (!ksim::parseInt(value, n) || n < 0 || n > 255) return "address must be 0..255: " + value;
      c.address = static_cast<int>(n);
    } else if (key == "name") {
      c.name = value;
    } else if (key == "version") {
      c.version = ksim::parseVersion(value);
      if (c.version < 0) return "bad firmware version: " + value;
    } else if (key == "image") {
      const std::string error = ksim::loadPrgFile(value, c.memory);
      if (!error.empty()) return error;
    } else if (key == "save") {
      c.savePath = value;
    } else if (key == "clock") {
      if (value != "on" && value != "off") return "clock wants on or off";
      c.clock = value == "on";
    } else {
      return "unknown controller setting: " + key;
    }
  }
  return {};
}

int fail(const std::string& why) {
  std::fprintf(stderr, "korvidan-sim: %s (see --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ksim::SimOptions opt;
  opt.seed = static_cast<unsigned>(std::time(nullptr));
  std::vector<std::string> controllerSpecs, sensorSpecs;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v;
    double number = 0;
    long long integer = 0;
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "-v" || a == "--verbose") {
      opt.verbose = true;
    } else if (a == "--silent") {
      opt.disturbance.silent = true;
    } else if (a == "--pace") {
      opt.disturbance.pace = true;
    } else if (a == "--fixed") {
      opt.fixedValues = true;
    } else if (a == "--no-stdin") {
      opt.readStdin = false;
    } else if (takeValue(argc, argv, i, "--controller", v)) {
      controllerSpecs.push_back(v);
    } else if (takeValue(argc, argv, i, "--sensor", v)) {
      sensorSpecs.push_back(v);
    } else if (takeValue(argc, argv, i, "--period", v)) {
      if (!ksim::parseNumber(v, number) || number < 0.01) return fail("period wants seconds, at least 0.01");
      opt.periodSeconds = number;
    } else if (takeValue(argc, argv, i, "--stored", v)) {
      if (!ksim::parseInt(v, integer) || integer < 0 || integer > 10000)
        return fail("stored wants 0..10000 rows");
      opt.storedRows = static_cast<int>(integer);
    } else if (takeValue(argc, argv, i, "--reaction", v)) {
      if (!ksim::parseInt(v, integer) || integer < 0 || integer > 60000)
        return fail("reaction wants milliseconds");
      opt.timing.reactionMs = static_cast<int>(integer);
    } else if (takeValue(argc, argv, i, "--gap", v)) {
      if (!ksim::parseInt(v, integer) || integer < 0 || integer > 60000)
        return fail("gap wants milliseconds");
      opt.timing.gapMs = static_cast<int>(integer);
    } else if (takeValue(argc, argv, i, "--chunk", v)) {
      const std::size_t colon = v.find(':');
      long long pause = opt.disturbance.chunkPauseMs;
      if (!ksim::parseInt(v.substr(0, colon), integer) || integer < 1 || integer > 65536 ||
          (colon != std::string::npos &&
           (!ksim::parseInt(v.substr(colon + 1), pause) || pause < 0 || pause > 60000)))
        return fail("chunk wants MAX[:PAUSE_MS]");
      opt.disturbance.chunkMax = static_cast<int>(integer);
      opt.disturbance.chunkPauseMs = static_cast<int>(pause);
    } else if (takeValue(argc, argv, i, "--garbage", v)) {
      if (!ksim::parseNumber(v, number) || number < 0 || number > 100)
        return fail("garbage wants a percentage");
      opt.disturbance.garbagePercent = number;
    } else if (takeValue(argc, argv, i, "--seed", v)) {
      if (!ksim::parseInt(v, integer) || integer < 0) return fail("seed wants a number");
      opt.seed = static_cast<unsigned>(integer);
    } else if (takeValue(argc, argv, i, "--link", v)) {
      opt.link = v;
    } else if (takeValue(argc, argv, i, "--control", v)) {
      opt.controlFifo = v;
    } else {
      return fail("unknown option " + a);
    }
  }

  if (controllerSpecs.empty()) controllerSpecs.emplace_back();
  for (const std::string& spec : controllerSpecs) {
    ksim::Controller c;
    c.memory = ksim::defaultProgramMemory();
    const std::string error = parseController(spec, c);
    if (!error.empty()) return fail(error);
    for (const ksim::Controller& other : opt.controllers)
      if (other.address == c.address) return fail("two controllers at address " + std::to_string(c.address));
    opt.controllers.push_back(std::move(c));
  }
  for (const std::string& spec : sensorSpecs) {
    const std::string error = ksim::applySensorSpec(opt.controllers, spec);
    if (!error.empty()) return fail(error);
  }
  for (ksim::Controller& c : opt.controllers)
    if (c.sensors.empty()) c.sensors = ksim::defaultSensors(!opt.fixedValues);

  ksim::Simulator sim(std::move(opt));
  return sim.run();
}
