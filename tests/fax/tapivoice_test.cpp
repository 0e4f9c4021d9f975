// Voice calls on the modem simulator: DTMF both ways, recordings that sox reads, silence,
// play-back that reaches the modem, and turning the call into a data call.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fax/Swtapi.h"
#include "serial/Sioexcept.h"
#include "tests/fax/TapiTestUtil.h"

namespace {

using tapitest::Pump;
using tapitest::PumpFor;
using tapitest::Rig;

std::string Le16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string Le32(std::uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

// A PCM wave file; dataSize is what the data chunk claims (the samples' size by default).
std::string Wave(unsigned channels, unsigned rate, unsigned bits, const std::string& samples,
                 long dataSize = -1, unsigned tag = 1) {
  const unsigned align = channels * bits / 8;
  const std::uint32_t size = dataSize < 0 ? static_cast<std::uint32_t>(samples.size()) : dataSize;
  return "RIFF" + Le32(36 + static_cast<std::uint32_t>(samples.size())) + "WAVEfmt " + Le32(16) + Le16(tag) +
         Le16(channels) + Le32(rate) + Le32(rate * align) + Le16(align) + Le16(bits) + "data" + Le32(size) +
         samples;
}

// Every byte value, DLE (0x10) among them, over and over.
std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

std::string Soxi(const std::string& option, const std::string& file) {
  support::ChildProcess soxi("soxi", {option, file}, true);
  return soxi.ReadLine();
}

// A voice line, a port for turning the call into data, and the device with voice on.
struct VoiceCall {
  explicit VoiceCall(Rig& rig, std::vector<std::string> modemArgs = {}) : rig(rig) {
    const std::string out = rig.dir / "played.raw";
    modemArgs.push_back("--voice-out");
    modemArgs.push_back(out);
    voiceOut = out;
    rig.StartModem(6, std::move(modemArgs));
    Rig::AddLine("Voice modem", 6, true);
    log.SetTapiHistoryName(rig.dir / "SIOTAPI.HIS");
    device = std::make_unique<TSioTapiDevice>(&owner);
    device->SetSelectedDevice("Voice modem");
    device->SetEnableVoice(true);
    device->SetOnTapiConnect([this](TSioCustomTapiDevice*) { ++connects; });
    device->SetOnTapiDTMF([this](TSioCustomTapiDevice*, char d, int e) {
      digits += d;
      EXPECT_EQ(e, 0);
    });
    device->SetOnTapiWaveNotify([this](TSioCustomTapiDevice*, TWaveMessage m) { notices.push_back(m); });
    device->SetOnTapiFail([this](TSioCustomTapiDevice*) { ++fails; });
  }
  ~VoiceCall() { device.reset(); }

  void Connect() {
    device->Dial("5551234");
    ASSERT_TRUE(Pump([&] { return connects > 0; }));
    ASSERT_EQ(device->GetTapiState(), tsConnected);
  }
  bool Noticed(TWaveMessage m) const { return std::find(notices.begin(), notices.end(), m) != notices.end(); }
  bool WaitFor(TWaveMessage m, int ms = 10000) {
    return Pump([&] { return Noticed(m); }, ms);
  }
  std::string Record(const std::string& name) {
    notices.clear();
    device->StartWaveRecord();
    if (!WaitFor(waDataReady, 15000)) return {};
    const std::string file = rig.dir / name;
    device->SaveWaveFile(file, false);
    return file;
  }

  Rig& rig;
  std::string voiceOut;
  TSioComponentOwner owner;
  TSioComPort port{&owner};
  TSioTapiLog log{&owner};
  std::unique_ptr<TSioTapiDevice> device;
  int connects = 0, fails = 0;
  std::string digits;
  std::vector<TWaveMessage> notices;
};

TEST(TapiVoice, DtmfDigitsArriveInOrderAndGoOut) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  ASSERT_TRUE(rig.Modem().Command("dtmf 1234#*9"));
  ASSERT_TRUE(Pump([&] { return call.digits.size() == 7; }));
  EXPECT_EQ(call.digits, "1234#*9");

  call.device->SendTone("159");
  ASSERT_TRUE(Pump([&] {
    auto c = rig.ModemCommands();
    return std::find(c.begin(), c.end(), "AT+VTS=1,5,9") != c.end();
  }));

  // The far end hangs up: the call ends, no failure.
  ASSERT_TRUE(rig.Modem().Command("hangup"));
  ASSERT_TRUE(Pump([&] { return call.device->GetTapiState() == tsIdle && !call.device->GetOpen(); }));
  EXPECT_EQ(call.fails, 0);
  const std::string history = support::ReadFile(call.log.GetTapiHistoryName());
  std::size_t received = 0;
  for (std::size_t p = 0; (p = history.find("  received digit\r\n", p)) != std::string::npos; ++p) ++received;
  EXPECT_EQ(received, 7u);
  EXPECT_NE(history.find("call finished\r\n\r\n"), std::string::npos);
}

struct Format {
  std::uint8_t channels;
  std::uint32_t rate;
  std::uint8_t bits;
};

class TapiRecording : public ::testing::TestWithParam<Format> {};

TEST_P(TapiRecording, RecordingIsAWaveFileSoxReads) {
  const Format f = GetParam();
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  call.device->SetRecordingParams(f.channels, f.rate, f.bits);
  call.device->SetMaxMessageLength(1);
  call.device->SetTrimSeconds(0);
  const std::string file = call.Record("message.wav");
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(call.Noticed(waRecordOpen));
  EXPECT_EQ(call.device->GetWaveState(), wsIdle);
  EXPECT_EQ(Soxi("-c", file), std::to_string(f.channels));
  EXPECT_EQ(Soxi("-r", file), std::to_string(f.rate));
  EXPECT_EQ(Soxi("-b", file), std::to_string(f.bits));
  EXPECT_EQ(Soxi("-s", file), std::to_string(f.rate));  // one second of samples
  EXPECT_NEAR(std::stod(Soxi("-D", file)), 1.0, 1e-6);
  // The header's byte rate and block size count every channel.
  const std::string bytes = support::ReadFile(file);
  ASSERT_GE(bytes.size(), 46u);
  const unsigned align = f.channels * f.bits / 8;
  EXPECT_EQ(bytes.substr(28, 4), Le32(f.rate * align));
  EXPECT_EQ(bytes.substr(32, 2), Le16(align));
  EXPECT_EQ(bytes.size(), 46u + f.rate * align);
  // The caller's tone is in it, not silence.
  long sum = 0;
  for (std::size_t i = 46; i + 1 < bytes.size(); i += 2) sum += std::abs(static_cast<int>(bytes[i + 1]));
  EXPECT_GT(sum, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, TapiRecording, ::testing::Values(Format{2, 8000, 16}, Format{1, 11025, 8}),
                         [](const ::testing::TestParamInfo<Format>& i) {
                           return std::to_string(i.param.channels) + "ch" + std::to_string(i.param.rate) +
                                  "Hz" + std::to_string(i.param.bits) + "bit";
                         });

TEST(TapiVoice, SilenceEndsTheRecordingWhereTheCallerStopped) {
  Rig rig;
  VoiceCall call(rig, {"--voice-in", "tone:1000"});
  call.Connect();
  call.device->SetMaxMessageLength(10);
  call.device->SetTrimSeconds(2);
  int silences = 0;
  call.device->SetOnTapiWaveSilence([&](TSioCustomTapiDevice*, bool& stop, bool& hangup) {
    ++silences;
    EXPECT_TRUE(stop);
    EXPECT_TRUE(hangup);
    hangup = false;  // keep the caller on the line
  });
  const std::string file = call.Record("silence.wav");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(silences, 1);
  const double seconds = std::stod(Soxi("-D", file));
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 3.0);
  EXPECT_EQ(call.device->GetTapiState(), tsConnected);
}

TEST(TapiVoice, SilenceIsCountedAgainAfterItWasReported) {
  Rig rig;
  VoiceCall call(rig, {"--voice-in", "tone:1000"});
  call.Connect();
  // Three silent seconds wanted (two in a row count); the handler keeps recording. One second
  // of tone, then five of silence: the fourth and sixth seconds end a silent pair (the last
  // second ends the recording before it is judged).
  call.device->SetMaxMessageLength(6);
  call.device->SetTrimSeconds(3);
  int silences = 0;
  call.device->SetOnTapiWaveSilence([&](TSioCustomTapiDevice*, bool& stop, bool& hangup) {
    ++silences;
    stop = false;
    hangup = false;
  });
  const std::string file = call.Record("long.wav");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(silences, 2);
  EXPECT_NEAR(std::stod(Soxi("-D", file)), 6.0, 1e-6);
  EXPECT_EQ(call.device->GetTapiState(), tsConnected);
}

TEST(TapiVoice, SilenceIsCountedPerRecordingAndNeverOnLoudAudio) {
  Rig rig;
  VoiceCall call(rig, {"--voice-in", "tone:1000"});
  call.Connect();
  int silences = 0;
  call.device->SetOnTapiWaveSilence([&](TSioCustomTapiDevice*, bool&, bool& hangup) {
    ++silences;
    hangup = false;
  });
  // Three silent seconds wanted (two in a row count): one second of tone, one of silence.
  call.device->SetMaxMessageLength(2);
  call.device->SetTrimSeconds(3);
  ASSERT_FALSE(call.Record("first.wav").empty());
  // The next recording starts with one silent second: not two in a row of this recording.
  ASSERT_TRUE(rig.Modem().Command("voice silence:1000,tone:5000"));
  ASSERT_FALSE(call.Record("second.wav").empty());
  EXPECT_EQ(silences, 0);
  // One silent second wanted, the caller speaks all the time: the recording runs to its end.
  ASSERT_TRUE(rig.Modem().Command("voice tone:10000"));
  call.device->SetTrimSeconds(1);
  const std::string third = call.Record("third.wav");
  ASSERT_FALSE(third.empty());
  EXPECT_EQ(silences, 0);
  EXPECT_NEAR(std::stod(Soxi("-D", third)), 2.0, 1e-6);
  EXPECT_EQ(call.device->GetTapiState(), tsConnected);
}

TEST(TapiVoice, PlayedFilesReachTheModem) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  // Mono, 16 bits: the samples go as they are (DLE bytes among them).
  const std::string mono = Pattern(8000);
  const std::string monoFile = rig.dir.Write("mono.wav", Wave(1, 8000, 16, mono));
  call.device->PlayWaveFile(monoFile);
  EXPECT_EQ(call.device->GetWaveState(), wsPlaying);
  ASSERT_TRUE(call.WaitFor(waPlayDone));
  ASSERT_TRUE(Pump([&] { return support::ReadFile(call.voiceOut).size() >= mono.size(); }));
  EXPECT_EQ(support::ReadFile(call.voiceOut), mono);
  EXPECT_TRUE(call.Noticed(waPlayOpen));
  ASSERT_TRUE(call.WaitFor(waPlayClose));
  EXPECT_EQ(call.device->GetWaveState(), wsIdle);

  // Stereo, 8 bits: the line carries the two channels mixed.
  std::string stereo;
  std::string mixed;
  for (int i = 0; i < 4000; ++i) {
    const unsigned char l = static_cast<unsigned char>(i & 0xFF),
                        r = static_cast<unsigned char>((i * 3) & 0xFF);
    stereo += static_cast<char>(l);
    stereo += static_cast<char>(r);
    mixed += static_cast<char>((l + r) / 2);
  }
  call.notices.clear();
  call.device->PlayWaveFile(rig.dir.Write("stereo.wav", Wave(2, 8000, 8, stereo)));
  ASSERT_TRUE(call.WaitFor(waPlayDone));
  ASSERT_TRUE(Pump([&] { return support::ReadFile(call.voiceOut).size() >= mono.size() + mixed.size(); }));
  EXPECT_EQ(support::ReadFile(call.voiceOut).substr(mono.size()), mixed);

  // A data chunk that claims more than the file holds plays what is there.
  call.notices.clear();
  const std::string shortData = Pattern(2000);
  call.device->PlayWaveFile(rig.dir.Write("short.wav", Wave(1, 8000, 16, shortData, 1000000)));
  ASSERT_TRUE(call.WaitFor(waPlayDone));
  const std::size_t before = mono.size() + mixed.size();
  ASSERT_TRUE(Pump([&] { return support::ReadFile(call.voiceOut).size() >= before + shortData.size(); }));
  PumpFor(300);
  EXPECT_EQ(support::ReadFile(call.voiceOut).substr(before), shortData);
}

TEST(TapiVoice, FilesThatCannotBePlayed) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  try {
    call.device->PlayWaveFile(rig.dir / "missing.wav");
    FAIL() << "no exception";
  } catch (const ETapiWaveFail& e) {
    EXPECT_EQ(e.ErrorCode, -2);
    EXPECT_EQ(e.Message, "File not found");
  }
  for (const std::string& bad : {Wave(1, 8000, 4, Pattern(100)), Wave(1, 8000, 24, Pattern(99)),
                                 Wave(1, 8000, 16, Pattern(100), -1, 3), std::string("RIFF....WAVE")}) {
    try {
      call.device->PlayWaveFile(rig.dir.Write("bad.wav", bad));
      FAIL() << "played a bad file";
    } catch (const ETapiWaveFail& e) {
      EXPECT_EQ(e.ErrorCode, ecTapiWaveBadFormat);
    }
    EXPECT_EQ(call.device->GetWaveState(), wsIdle);
  }
}

TEST(TapiVoice, DtmfInterruptsPlayBack) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  const std::string samples(8000 * 2 * 6, '\x20');  // six seconds
  call.device->PlayWaveFile(rig.dir.Write("long.wav", Wave(1, 8000, 16, samples)));
  ASSERT_TRUE(call.WaitFor(waPlayOpen));
  ASSERT_TRUE(rig.Modem().Command("dtmf 7"));
  ASSERT_TRUE(call.WaitFor(waPlayDone, 4000));
  EXPECT_EQ(call.digits, "7");
  EXPECT_EQ(call.device->GetWaveState(), wsIdle);
  ASSERT_TRUE(Pump([&] {
    for (auto& [ms, text] : rig.ModemLog())
      if (text.rfind("voice-played", 0) == 0) return true;
    return false;
  }));
  EXPECT_LT(support::ReadFile(call.voiceOut).size(), samples.size());
}

TEST(TapiVoice, SavingAsksForARecording) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  auto code = [&](const std::string& name, bool overwrite) {
    try {
      call.device->SaveWaveFile(rig.dir / name, overwrite);
    } catch (const ETapiWaveFail& e) {
      return e.ErrorCode;
    }
    return 0;
  };
  EXPECT_EQ(code("a.wav", false), ecTapiNoWaveData);
  call.device->SetMaxMessageLength(1);
  call.device->SetTrimSeconds(0);
  call.device->StartWaveRecord();
  EXPECT_EQ(code("a.wav", false), ecTapiWaveDeviceInUse);
  EXPECT_THROW(call.device->PlayWaveFile(rig.dir.Write("x.wav", Wave(1, 8000, 16, Pattern(100)))),
               ETapiWaveFail);
  ASSERT_TRUE(call.WaitFor(waDataReady));
  rig.dir.Write("taken.wav", "keep me");
  EXPECT_EQ(code("taken.wav", false), ecTapiWaveFileExists);
  EXPECT_EQ(rig.dir.Read("taken.wav"), "keep me");
  EXPECT_EQ(code("taken.wav", true), 0);
  EXPECT_EQ(Soxi("-s", rig.dir / "taken.wav"), "8000");
  EXPECT_EQ(code("again.wav", false), ecTapiNoWaveData);  // saved once
}

TEST(TapiVoice, StoppedRecordingKeepsWhatCame) {
  Rig rig;
  VoiceCall call(rig);
  call.Connect();
  call.device->SetMaxMessageLength(60);
  call.device->SetTrimSeconds(0);
  call.device->StartWaveRecord();
  PumpFor(1500);
  call.device->StopWaveRecord();
  ASSERT_TRUE(call.WaitFor(waDataReady));
  call.device->SaveWaveFile(rig.dir / "stopped.wav", false);
  const double seconds = std::stod(Soxi("-D", rig.dir / "stopped.wav"));
  EXPECT_GT(seconds, 1.0);
  EXPECT_LT(seconds, 3.0);
}

TEST(TapiVoice, VoiceCallBecomesADataCall) {
  Rig rig;
  VoiceCall call(rig);
  int opens = 0;
  call.device->SetOnTapiPortOpen([&](TSioCustomTapiDevice*) { ++opens; });
  call.Connect();
  EXPECT_FALSE(call.port.GetOpen());  // a voice call has no port
  call.device->AutomatedVoicetoComms();
  EXPECT_EQ(opens, 1);
  ASSERT_TRUE(call.port.GetOpen());
  call.port.PutString("ATI3\r");
  EXPECT_TRUE(call.port.WaitForString("modem-sim voice data modem", 91, true, false));
  call.device->CancelCall();
  EXPECT_FALSE(call.port.GetOpen());
}

TEST(TapiVoice, LineWithoutVoiceRefusesIt) {
  Rig rig;
  Rig::AddLine("Data modem", 3);
  TSioComponentOwner owner;
  TSioTapiDevice device(&owner);
  device.SetSelectedDevice("Data modem");
  EXPECT_THROW(device.SetEnableVoice(true), ETapiVoiceNotSupported);
  EXPECT_FALSE(device.GetEnableVoice());
}

}  // namespace
