// The standard protocol status window, offscreen, on a real transfer: shown for the run with
// the component's values, hidden at its end, and its Cancel button cancels the transfer.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "tests/transfer/xfer_harness.h"
#include "transfer/ui/SioPStat.h"

using namespace xfer;

namespace {

struct UiForm : TSioComponentOwner {
  UiForm(int com, const std::string& device) {
    var = "SIO_COM" + std::to_string(com);
    ::setenv(var.c_str(), device.c_str(), 1);
    port = new TSioComPort(this);
    status = new TSioProtocolStatus(this);
    protocol = new TSioProtocol(this);
    port->SetComNumber(static_cast<std::uint16_t>(com));
    port->SetBaud(115200);
    port->SetInSize(8192);
    port->SetOutSize(8192);
    port->SetOpen(true);
    protocol->SetOnProtocolFinish([this](TSioCustomProtocol*, int code) {
      finished = true;
      finishCode = code;
    });
  }
  ~UiForm() override {
    delete protocol;
    delete status;
    port->SetOpen(false);
    delete port;
    ::unsetenv(var.c_str());
  }
  bool Pump(const std::function<bool()>& until, int ms) {
    return PumpUntil(
        [&] {
          QApplication::processEvents();
          return until();
        },
        static_cast<DWORD>(ms));
  }
  std::string var;
  TSioComPort* port;
  TSioProtocolStatus* status;
  TSioProtocol* protocol;
  bool finished = false;
  int finishCode = 1;
};

class ProtocolStatusTest : public XferTest {};

TEST_F(ProtocolStatusTest, ShowsTheRunAndHidesAtItsEnd) {
  Relay relay;
  UiForm f(111, relay.nearEnd.path());
  ASSERT_EQ(f.protocol, f.status->GetProtocol());
  TStandardDisplay* d = f.status->Display();
  ASSERT_NE(nullptr, d);
  EXPECT_EQ("Protocol Status", d->windowTitle().toStdString());
  EXPECT_FALSE(d->isVisible());

  const std::string data = RandomData(120 * 1024, 3);
  WriteFile(dir / "near" / "report_with_a_long_name.bin", data);
  f.protocol->SetProtocolType(ptXmodem1K);
  f.protocol->SetStatusInterval(1);
  f.protocol->SetOnProtocolNextFile([&](TSioCustomProtocol*, std::string& name) {
    static bool given = false;
    if (!given) name = (dir / "near" / "report_with_a_long_name.bin").string();
    given = true;
  });
  f.protocol->StartTransmit();
  Peer peer(relay, dir / "far", {"rx", "-q", "-c", "got.bin"});
  ASSERT_TRUE(f.Pump([&] { return d->isVisible() && f.protocol->GetBytesTransferred() > 8192; }, 10000));
  EXPECT_EQ("Xmodem1K", d->psProtocol->text().toStdString());
  EXPECT_EQ("Crc16", d->psBlockCheck->text().toStdString());
  EXPECT_EQ("report_with_a_long_n...", d->psFileName->text().toStdString());
  EXPECT_EQ(std::to_string(data.size()), d->psFileSize->text().toStdString());
  EXPECT_EQ("1024", d->psBlockSize->text().toStdString());
  ASSERT_TRUE(f.Pump([&] { return f.finished; }, 30000));
  EXPECT_EQ(0, f.finishCode);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(std::to_string(data.size()), d->psBytesTransferred->text().toStdString());
  EXPECT_EQ(100, d->psProgress->value());
  EXPECT_EQ(0, peer.Wait(5000));
}

TEST_F(ProtocolStatusTest, CancelButtonCancelsTheTransfer) {
  Relay relay;
  UiForm f(112, relay.nearEnd.path());
  WriteFile(dir / "far" / "big.bin", RandomData(400 * 1024, 8));
  Peer peer(relay, dir / "far", {"sx", "-q", "big.bin"});
  f.protocol->SetProtocolType(ptXmodemCRC);
  f.protocol->SetFileName((dir / "near" / "big.bin").string());
  f.protocol->StartReceive();
  TStandardDisplay* d = f.status->Display();
  ASSERT_TRUE(f.Pump([&] { return d->isVisible() && f.protocol->GetBytesTransferred() > 4096; }, 10000));
  d->psCancel->click();
  ASSERT_TRUE(f.Pump([&] { return f.finished; }, 5000));
  EXPECT_EQ(ecCancelRequested, f.finishCode);
  EXPECT_EQ("Cancel requested", d->psStatusMsg->text().toStdString());
  EXPECT_FALSE(d->isVisible());
  EXPECT_NE(0, peer.Wait(10000));
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
