// The seed corpora of the fuzz targets, made by the system's own writers: fuzz-seeds <dir>
// writes <dir>/<target>/<name> for every target (the pictures and sounds come from netpbm,
// libtiff and sox, seeds.sh). Each seed starts with the header bytes its target reads first.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "platform/Registry.h"
#include "programming/ProgDataFile.h"
#include "tests/support/Child.h"
#include "tests/transfer/bplus_start.h"
#include "tests/transfer/protocol_fuzz.h"
#include "tools/korvidan-sim/sim_controller.h"
#include "transfer/Swbplus.h"
#include "transfer/Swkbemu.h"
#include "transfer/Swkermit.h"
#include "transfer/Swxmodem.h"
#include "transfer/Swymodem.h"
#include "transfer/Swzmodem.h"

namespace fs = std::filesystem;

namespace {

fs::path gOut;
fs::path gWork;

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }
std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Seed(const std::string& target, const std::string& name, const std::string& header, const std::string& body) {
  fs::create_directories(gOut / target);
  std::ofstream(gOut / target / name, std::ios::binary) << header << body;
}

std::string Joined(const std::vector<ksim::Segment>& segments) {
  std::string text;
  for (const ksim::Segment& s : segments) text += s.bytes;
  return text;
}

// ----- the controller

void ControllerSeeds() {
  const std::vector<ksim::Sensor> sensors = ksim::defaultSensors();
  const std::string values = ksim::formatValueBlock(sensors);
  Seed("fuzz_sensor_records", "values", "\x07", values + values);
  Seed("fuzz_sensor_records", "values-in-pieces", "\x0F", values);

  const ksim::ProgramMemory memory = ksim::defaultProgramMemory();
  const ksim::ReplyTiming timing;
  // Byte 0: bit 0 firmware 2.19, the other bits the piece size.
  Seed("fuzz_prog_dump", "dump-219", "\x7F", Joined(ksim::dumpReply(memory, 219, timing)));
  Seed("fuzz_prog_dump", "dump-216", "\x10", Joined(ksim::dumpReply(memory, 216, timing)));
  const std::string listing = Joined(ksim::listingReply(sensors, 6, 900, 1700000000, timing));
  Seed("fuzz_stored_data", "listing", "\x3E", "\r\n" + listing);
  Seed("fuzz_version_reply", "v219", "\x08", ksim::versionReply(219));
  Seed("fuzz_version_reply", "v216-slow", "\x00", "\r\n" + ksim::versionReply(216));
  Seed("fuzz_version_reply", "comma", "\x20", "korvidan v2,17\r\n");
  // Byte 0: the checksum sent; then the transfer's header byte.
  Seed("fuzz_checksum_reply", "match", std::string("\xA7\x09", 2), "A7CheckSum\r\n");
  Seed("fuzz_checksum_reply", "differs", std::string("\x3C\x01", 2), "\r\n3DCheckSum\r\n");

  TProgrammingImage image;
  TSocketTable sockets;
  std::copy(memory.image.begin(), memory.image.end(), image.Bytes.begin());
  std::copy(memory.sockets.begin(), memory.sockets.end(), sockets.Bytes.begin());
  const fs::path prg = gWork / "seed.prg";
  if (WriteProgDataFile(prg.string(), image, sockets) != TProgFileResult::Ok) std::exit(1);
  const std::string file = ReadAll(prg);
  Seed("fuzz_prog_file", "default", "", file);
  Seed("fuzz_prog_file", "short", "", file.substr(0, 1800));
}

// ----- settings and key maps

void SettingsSeeds() {
  const fs::path ini = gWork / "registry.ini";
  SetRegistryFile(ini.string());
  TRegistry reg;
  reg.OpenKey("\\Software\\Zelvanor\\DataCollectingIntervall", true);
  reg.WriteInteger("Intervall", 15);
  reg.OpenKey("\\Software\\Zelvanor\\SoundDirectory", true);
  reg.WriteString("Path", "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
  reg.OpenKey("\\Software\\Zelvanor\\TapiDevice", true);
  reg.WriteString("", "Modem \xC3\xA4 \x01");
  reg.WriteExpandString("Home", "%HOME%");
  reg.OpenKey("\\Software\\Nordhaven\\SIO\\Ports", true);
  reg.WriteString("COM1", "/dev/ttyUSB0");
  const std::uint8_t blob[5] = {0, 1, 0x7F, 0x80, 0xFF};
  reg.WriteBinaryData("Blob", blob, sizeof blob);
  Seed("fuzz_settings", "registry", "", ReadAll(ini));

  const fs::path keys = gWork / "SWKEYBRD.INI";
  TKeyEmulator* kb = nullptr;
  if (kbInitKeyEmulator(kb, keys.string()) != 0) std::exit(1);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(kb->Database->RecordSize));
  for (const char* map : {"VT100", "ANSI"}) {
    std::fill(record.begin(), record.end(), 0);
    iSetStringField(kb->Database, record.data(), "EMULATOR", map);
    iSetStringField(kb->Database, record.data(), "Key1", "38,14,\x1b[A");
    iSetStringField(kb->Database, record.data(), "Key2", "112,14,\x1bOP");
    iSetStringField(kb->Database, record.data(), "Key3", "65,10,ctrl-a");
    kbAddKeyEmuRecord(kb, record.data());
  }
  kbDoneKeyEmulator(kb);
  Seed("fuzz_keymap", "two-maps", "", ReadAll(keys));
}

// ----- a telephony line's modem: header byte the piece size, bit 6 voice

void TelephonySeeds() {
  Seed("fuzz_telephony_lines", "caller-id", "\x07",
       "AT&C1&D2\r\r\nOK\r\n\r\nRING\r\n\r\nDATE = 1210\r\nTIME = 1046\r\nNMBR = 0301234567\r\n"
       "NAME = KORVIDAN  \r\n\r\nRING\r\nATA\r\r\nCONNECT 14400\r\n");
  Seed("fuzz_telephony_lines", "withheld", "\x3F", "NMBR:P\nNAME=O\r\n2\r\n2\r\n3\r\n0\r\n+FCERROR\r\n7\r\n8\r\n6\r\n");
  Seed("fuzz_telephony_lines", "voice", "\x50",
       std::string("AT+VRX\r\r\nCONNECT\r\n\x80\x7F\x10\x10\x81\x10" "5\x10" "b\x82\x10\x03\r\nOK\r\nVCON\r\n", 42) +
           "\x10" "d\r\nNO DIAL TONE\r\n");
}

// ----- the terminal: header bytes emulator, columns, page rows

void TerminalSeeds() {
  Seed("fuzz_terminal", "ansi", std::string("\x01\x4F\x18", 3),
       "\x1b[2J\x1b[1;1HKorvidan\x1b[7m pH \x1b[0m 7.05\r\n\x1b[5;10H\x1b[1;31mAlarm\x1b[K\x1b[s\x1b[10B\x1b[u"
       "\x1b[3L\x1b[2M\x1b[4@\x1b[2P\x1b[6n\x1b[?7l\x1b[2;20r\x1b[H\n\n\x1b[J\x08\x09end\r\n");
  Seed("fuzz_terminal", "vt52", std::string("\x02\x4F\x18", 3), "\x1bH\x1bJKorvidan\x1bY%*x\x1b" "A\x1b" "C\x1bK\x1bZ\r\n");
  Seed("fuzz_terminal", "vt100", std::string("\x03\x84\x37", 3),
       "\x1b[?3h\x1b#8\x1b(0lqqk\x1b(B\x1b[3;5H\x1b[0c\x1b[5n\x1b" "7\x1b[20;1H\x1bM\x1b" "8\x1b[3g\x1bH\x1b[4h"
       "ins\x1b[4l\x1b[?6h\x1b[1;1H\x1b" "E\x1b" "D\x1b[1;24r\x1b[24;1H\r\n\n");
}

// ----- fax files and modem dialogues

std::string FaxFile(const std::string& text, bool fine) {
  const fs::path in = gWork / "page.txt", out = gWork / "page.fxf";
  std::ofstream(in, std::ios::binary) << text;
  TAbsFaxCvt* cvt = nullptr;
  if (fcInitTextConverter(cvt) != 0 || fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, fine) != 0) std::exit(1);
  acOptionsOff(cvt, coYield);
  acSetResolutionMode(cvt, fine ? 1 : 0);
  if (acConvertToFile(cvt, in.string(), out.string()) != 0) std::exit(1);
  fcDoneTextConverter(cvt);
  return ReadAll(out);
}

// An HDLC frame as the modem hands it on: DLE doubled, DLE ETX at its end.
std::string Frame(std::initializer_list<int> bytes, const std::string& text = "") {
  std::string f;
  auto put = [&](int b) {
    f += static_cast<char>(b);
    if (b == 0x10) f += '\x10';
  };
  for (int b : bytes) put(b);
  for (auto it = text.rbegin(); it != text.rend(); ++it) put(static_cast<unsigned char>(*it));
  return "CONNECT\r\n" + f + "\x10\x03" + "OK\r\n";
}

void FaxSeeds() {
  const std::string fax = FaxFile("Alarm Becken 1\r\n\fSeite 2\r\n", false);
  Seed("fuzz_faxfile", "text", "", fax);
  Seed("fuzz_unpack", "text", "", fax);
  Seed("fuzz_unpack", "fine", "", FaxFile("pH 9,1\r\n", true));

  const std::string ok = "OK\r\n";
  Seed("fuzz_modem_replies", "class2", "\x03",
       ok + "1,2,2.0\r\n" + ok + "KORVIDAN MODEM\r\n" + ok + "Nordhaven\r\n" + ok + "1.0\r\n" + ok + ok + ok +
           "+FCLASS: 1\r\n" + ok + "ERROR\r\n" + ok + ok + ok + "24,48,72,96,121,145\r\n" + ok);
  Seed("fuzz_modem_replies", "class1", "\xFF", ok + "0,1\r\n" + ok + ok + ok + "ERROR\r\n" + ok + "24,48,72,96\r\n" + ok);

  // Byte 0: bit 6 send, bit 7 (Class 2/2.0) Class 2.0, the rest the piece size.
  const std::string pageData = std::string("\x00\x10\x10\x01\xB2\x59\x00\x80", 8) + "\x10\x03";
  const std::string id = "REMOTE 4711         ";
  Seed("fuzz_hdlc", "receive", "\x10",
       ok + ok + "24,48,72,96,121,145\r\n" + ok + "RING\r\n" + "CONNECT\r\n" + ok + "CONNECT\r\n" + ok +
           Frame({0xFF, 0x03, 0x42}, id) + Frame({0xFF, 0x13, 0x82, 0x00, 0x46, 0x88, 0x00}) + "CONNECT\r\n" +
           std::string(50, '\0') + "\x10\x03NO CARRIER\r\n" + "CONNECT\r\n" + ok + "CONNECT\r\n" + pageData +
           "NO CARRIER\r\n" + Frame({0xFF, 0x13, 0x2E}) + "CONNECT\r\n" + ok + Frame({0xFF, 0x13, 0xFA}));
  // A send of both pages that the remote takes, a byte at a time: set-up (ATE0, +FCLASS=1, the
  // rates, +FCLASS=1), the dial with CSI and DIS, TSI, DCS, the training, CFR, page 1, MPS, MCF,
  // page 2, EOP, MCF, DCN, ATH.
  // While a page goes out the modem's bytes are dropped: empty lines until it is out.
  const std::string connect = "CONNECT\r\n", page = "\x11" + std::string(256, '\n') + ok;
  const std::string mcf = Frame({0xFF, 0x13, 0x8C});
  Seed("fuzz_hdlc", "send", "\x40",
       ok + ok + "24,48,72,96\r\n" + ok + ok + Frame({0xFF, 0x03, 0x40}, id) +
           Frame({0xFF, 0x13, 0x80, 0x00, 0x6E, 0x88, 0x00}) + connect + connect + ok + connect + ok +
           Frame({0xFF, 0x13, 0x84}) + connect + page + connect + ok + mcf + connect + page + connect + ok +
           mcf + connect + ok + ok);
  // The answers to our commands: a piece that arrives before its command is flushed with the
  // modem's input, so the seeds of a whole session come a byte at a time (header bits 0-5 zero).
  const std::string class2Receive =
      ok + ok + ok + ok + ok + ok + ok + "RING\r\n+FCON\r\n+FTSI: \"REMOTE 4711\"\r\n+FDCS: 1,3,0,2,0,0,0,0\r\n" + ok +
      "CONNECT\r\n" + pageData + "+FPTS: 1\r\n+FET: 2\r\n" + ok + "+FHNG: 0\r\n" + ok;
  const std::string class20Send =
      ok + ok + ok + ok + ok + ok + "+FCO\r\n+FCI: \"REMOTE 4711\"\r\n+FIS: 1,5,0,2,0,0,0,3\r\n" + ok +
      "+FCS: 1,3,0,2,0,0,0,0\r\nCONNECT\r\n\x11" + ok + "+FPS: 1,0,0,0,0\r\n" + ok + "CONNECT\r\n\x11" + ok +
      "+FPS: 1\r\n+FHS: 0\r\n" + ok;
  Seed("fuzz_fax_params", "class2-receive", "\x0C", class2Receive);
  Seed("fuzz_fax_params", "class2-receive-bytewise", std::string(1, '\0'), class2Receive);
  Seed("fuzz_fax_params", "class20-send", "\xC8", class20Send);
  Seed("fuzz_fax_params", "class20-send-bytewise", "\xC0", class20Send);
  // Set-up (ATE0, +FCLASS, +FLID, +FDIS), dial, two pages with +FET=0 and +FET=2.
  Seed("fuzz_fax_params", "class2-send", "\x40",
       ok + ok + ok + ok + "+FCON\r\n+FCSI: \"REMOTE 4711\"\r\n+FDIS: 1,5,0,2,0,0,0,3\r\n" + ok +
           "+FDCS: 1,3,0,2,0,0,0,0\r\n" + connect + page + "+FPTS: 1\r\n" + ok +
           "+FDCS: 1,3,0,2,0,0,0,0\r\n" + connect + page + "+FPTS: 1\r\n+FHNG: 0\r\n" + ok);
  // Set-up for answering (nine commands), RING, ATA, one page, the end of the call.
  Seed("fuzz_fax_params", "class20-receive", "\x80",
       ok + ok + ok + ok + ok + ok + ok + ok + ok + "RING\r\n+FCO\r\n+FTI: \"REMOTE 4711\"\r\n+FCS: 1,3,0,2,0,0,0,0\r\n" +
           ok + "+FCS: 1,3,0,2,0,0,0,0\r\nCONNECT\r\n" + pageData + "+FPS: 1\r\n+FET: 2\r\n" + ok + "+FHS: 00\r\n" +
           ok);
}

// ----- the transfer engines: our sender against our receiver, each side's bytes kept

// What each side of our sender and our receiver put on the line, each a seed for the other's
// side against the bytes; and runs against our own other side, on a line without faults and
// on one that loses and holds back packets both ways.
void Loopback(const std::string& target, const std::string& name, const fuzz::TEngine& engine, std::uint8_t options) {
  {
    fuzz::TSide sender(engine, options), receiver(engine, options);
    fuzz::TLink link(*sender.Line, *receiver.Line, {});
    fuzz::Bench().Reset();
    fuzz::RunBoth(sender, receiver, link, engine);
    // Byte 0: bit 0 send, bits 2-7 the piece size (33 bytes); byte 1 the engine's options.
    Seed(target, name + "-receive", std::string{'\x80', static_cast<char>(options)},
         Bytes(receiver.Line->Received()));
    Seed(target, name + "-send", std::string{'\x81', static_cast<char>(options)},
         Bytes(sender.Line->Received()));
  }
  fuzz::Bench().In.Clear();
  // Byte 0: bit 1 against our own side, pieces of 17 bytes. Lost: the sender's fourth write,
  // the receiver's third; held back two seconds: the sender's from its tenth on.
  Seed(target, name + "-own", std::string{'\x42', static_cast<char>(options)}, "");
  Seed(target, name + "-own-faults", std::string{'\x42', static_cast<char>(options)},
       std::string("\x00\x03\x00\x80\x02\x00\x47\x09\x00", 9));
}

void TransferSeeds() {
  fuzz::TEngine x{[](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
                    return xpInit(P, port, o & 1, o & 2, o & 4, 0);
                  },
                  xpTransmit, xpPrepareTransmit, xpReceive, xpPrepareReceive, nullptr};
  Loopback("fuzz_xmodem", "checksum", x, 0);
  Loopback("fuzz_xmodem", "crc-1k", x, 3);
  fuzz::TEngine y{[](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) { return ypInit(P, port, o & 1, o & 2, 0); },
                  ypTransmit, ypPrepareTransmit, ypReceive, ypPrepareReceive, nullptr};
  Loopback("fuzz_ymodem", "1k", y, 1);
  fuzz::TEngine z{[](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t) { return zpInit(P, port, 0); },
                  zpTransmit, zpPrepareTransmit, zpReceive, zpPrepareReceive, nullptr};
  Loopback("fuzz_zmodem", "plain", z, 0);
  fuzz::TEngine k{[](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
                    const int r = kpInit(P, port, 0);
                    if (r == 0 && (o & 4)) kpSetMaxLongPacketLen(*P, kpMaxData);
                    if (r == 0 && (o & 0x38)) kpSetMaxWindows(*P, (o >> 3) & 7);
                    return r;
                  },
                  kpTransmit, kpPrepareTransmit, kpReceive, kpPrepareReceive, nullptr};
  Loopback("fuzz_kermit", "plain", k, 0);
  Loopback("fuzz_kermit", "long-windows", k, 0x1C);
}

// ----- B+: what the host simulator sends in a download and in an upload, our terminal side
// on its port. A capture whose transfer does not finish well is left out.

void BPlusSeeds() {
  std::unique_ptr<support::Simulator> host;
  try {
    host = std::make_unique<support::Simulator>("bplus-host", std::vector<std::string>{}, 9);
  } catch (const std::exception& e) {
    std::cerr << "fuzz-seeds: no B+ seeds: " << e.what() << "\n";
    return;
  }
  fuzz::TBench& bench = fuzz::Bench();
  std::string data(3072, '\0');  // every byte value
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
  support::WriteFile(gWork / "host.bin", data);
  const fs::path capture = gWork / "capture";
  for (const std::string way : {"download", "upload"}) {
    fs::copy_file(bench.SendFile(), fs::path(bench.InDir()) / "send.bin");
    bench.Reset();
    TSioComPort port;
    port.SetComNumber(9);
    port.SetBaud(115200);
    port.SetInSize(16384);
    port.SetOutSize(16384);
    port.SetOpen(true);
    TProtocolData* P = nullptr;
    if (bpInit(P, &port, 0) != 0) std::exit(1);
    apSetProtocolWindow(*P, bench.Window);
    apSetDestinationDirectory(*P, bench.InDir().c_str());
    P->UpcaseFileNames = false;
    bool finished = false;
    if (host->Command("capture " + capture.string()) &&
        host->Command(way == "download" ? "download " + (gWork / "host.bin").string()
                                        : "upload send.bin " + (gWork / "got.bin").string())) {
      fuzz::TBPlusStart start;
      bool send = false;
      if (PumpUntil([&] { return start.Take(*P, *port.Dispatcher(), send); }, 20000)) {
        apStartProtocol(*P, ptBPlus, send ? bpTransmit : bpReceive,
                        send ? bpPrepareTransmit : bpPrepareReceive);
        finished = PumpUntil([&] { return bench.Finished > 0; }, 60000) && bench.Results[P] == 0;
      }
    }
    const std::string result = host->ReadLine(10000);
    bpDone(P);
    port.SetOpen(false);
    ProcessMessages();
    bench.In.Clear();
    // Byte 0: pieces of 9 bytes (the direction is the host's); byte 1: the option 0.
    if (finished && result.rfind("done ok", 0) == 0)
      Seed("fuzz_bplus", "host-" + way, std::string("\x20\x00", 2), ReadAll(capture));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz-seeds <directory>\n";
    return 2;
  }
  gOut = argv[1];
  char work[] = "/tmp/korvidan-seeds-XXXXXX";
  if (::mkdtemp(work) == nullptr) return 1;
  gWork = work;
  ControllerSeeds();
  SettingsSeeds();
  TelephonySeeds();
  TerminalSeeds();
  FaxSeeds();
  TransferSeeds();
  BPlusSeeds();
  fs::remove_all(gWork);
  return 0;
}
