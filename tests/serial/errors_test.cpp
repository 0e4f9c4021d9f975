// Error codes, exception classes, CheckException / XlatException and error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

// Raises Code through CheckException and expects exactly class T with the given text.
template <class T>
void ExpectRaises(int code, const char* text) {
  SCOPED_TRACE(code);
  try {
    CheckException<TSioBaseComponent>(nullptr, code);
    ADD_FAILURE() << "nothing raised";
  } catch (const T& e) {
    EXPECT_EQ(typeid(e), typeid(T)) << typeid(e).name();
    EXPECT_EQ(e.Message, text);
    EXPECT_EQ(e.ErrorCode, code);
    EXPECT_EQ(XlatException(e), code);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong class " << typeid(e).name();
  }
}

TEST(CheckException, EachFamilyRaisesItsClassWithItsText) {
  ExpectRaises<EBadArgument>(-1002, "Bad argument passed to function");
  ExpectRaises<EGotQuitMsg>(-1003, "Got quit message");
  ExpectRaises<EInternal>(-1006, "Internal error creating window class");
  ExpectRaises<EInternal>(-7003, "No fields defined in database");
  ExpectRaises<EInternal>(-7012, "iPrepareIniDatabase not called");
  ExpectRaises<EBadId>(-2001, "ie_BadId - Specified comport doesn't exist");
  ExpectRaises<ENoPortSelected>(-2011, "The ComNumber property of the TSioComPort has not been set");
  ExpectRaises<ENotOpenedByTapi>(-2012, "Comport was not opened by Tapi");
  ExpectRaises<EPutBlockFail>(-3004, "Failed to put entire block");
  ExpectRaises<EBaseAddressNotSet>(-3010, "Base address not set");
  ExpectRaises<EModemNotResponding>(-4006, "Modem is not responding");
  ExpectRaises<ETriggerTooLong>(-5002, "Data trigger too long");
  ExpectRaises<EBadTriggerHandle>(-5003, "Bad trigger handle");
  ExpectRaises<EDatabaseFull>(-7010, "Maximum database records (999) reached");
  ExpectRaises<EBadFieldForIndex>(-7014, "Bad field index in INI component");
  ExpectRaises<EFaxBadFormat>(-8001, "File is not an FXF file");
  ExpectRaises<EInvalidPageNumber>(-8053, "Invalid page number specified for fax");
  ExpectRaises<EFaxBadModemResult>(-8061, "Bad response from modem");
  ExpectRaises<EFaxPageError>(-8070, "Fax failed at page end");
  ExpectRaises<ETapiAllocated>(-13801, "Already allocated");
  ExpectRaises<ETapiBadDeviceID>(-13802, "Bad device ID");
  ExpectRaises<ETapiCallUnavail>(-13805, "Call unavailable");
  ExpectRaises<ETapiNoMultipleInstance>(-13886, "No multiple instance");
  ExpectRaises<ETapiBusy>(-13928, "TAPI already open, dialing or answering");
  ExpectRaises<ETapiLoadFail>(-13931, "Failed to find/load TAPI.DLL");
  ExpectRaises<ETapiWaveFail>(-13936, "TAPI wave file error");
  ExpectRaises<ETapiTranslateFail>(-13942, "Unable to translate address");
  ExpectRaises<ERasLoadFail>(-13980, "Failed to find/load RASAPI32.DLL");
}

TEST(CheckException, ProtocolCodesRaiseTheFamilyClassItself) {
  ExpectRaises<EProtocol>(-6006, "Fatal time out");
  ExpectRaises<EProtocol>(-6008, "Too many errors during protocol");
  ExpectRaises<EProtocol>(-6009, "Block sequence error in Xmodem");
}

TEST(CheckException, EveryTelephonyResultHasItsOwnClass) {
  int count = 0;
#define CHECK_TAPI(name, value)                           \
  try {                                                   \
    RaiseSioException(value);                             \
  } catch (const E##name& e) {                            \
    EXPECT_EQ(typeid(e), typeid(E##name)) << #name;       \
    EXPECT_EQ(e.ErrorCode, value);                        \
    EXPECT_FALSE(e.Message.empty()) << #name;             \
    EXPECT_NE(e.Message, "Sio exception") << #name;       \
    ++count;                                              \
  } catch (...) {                                         \
    ADD_FAILURE() << #name << " not raised as its class"; \
  }
  SIO_TAPI_RESULT_CLASSES(CHECK_TAPI)
#undef CHECK_TAPI
  EXPECT_EQ(count, 84);
  // the two results without a class
  for (int code : {-13804, -13849}) {
    try {
      RaiseSioException(code);
    } catch (const ETapi&) {
      ADD_FAILURE() << code;
    } catch (const ESIOException& e) {
      EXPECT_EQ(e.Message, "Sio exception");
    }
  }
}

TEST(CheckException, SystemCodesRaiseTheIoAndMemoryExceptions) {
  try {
    CheckExceptionCode(-2);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_EQ(e.Message, "File not found");
    EXPECT_EQ(XlatException(e), -2);
  }
  try {
    CheckExceptionCode(-101);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 101);
    EXPECT_EQ(e.Message, "Disk is full");
  }
  try {
    CheckExceptionCode(-162);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "General failure");
  }
  EXPECT_THROW(CheckExceptionCode(-8), EOutOfMemory);
}

TEST(CheckException, CodesWithoutAClassKeepTheirCode) {
  for (int code : {-1, -1001, -3002, -5001, -6001, -6005, -6015, -7009, -8050, -8074, -8092, -9002, -10061,
                   -13934, -13940, -13945, -20000}) {
    SCOPED_TRACE(code);
    try {
      CheckExceptionCode(code);
      ADD_FAILURE();
    } catch (const std::exception& e) {
      ASSERT_EQ(typeid(e), typeid(ESIOException));
      const auto& sio = static_cast<const ESIOException&>(e);
      EXPECT_EQ(sio.Message, "Sio exception");
      // a failure must never come back as success
      EXPECT_EQ(sio.ErrorCode, code);
      EXPECT_EQ(XlatException(e), code);
    }
  }
}

TEST(CheckException, PassesSuccessPositiveAndLoadingCodes) {
  EXPECT_EQ(CheckExceptionCode(0), 0);
  EXPECT_EQ(CheckExceptionCode(4801), 4801);
  TSioBaseComponent component;
  EXPECT_EQ(CheckException(&component, 7), 7);
  EXPECT_THROW(CheckException(&component, -5003), EBadTriggerHandle);
  component.ComponentState |= csLoading;
  EXPECT_EQ(CheckException(&component, -5003), -5003);
  EXPECT_EQ(CheckException(&component, -2), -2);
  TSioBaseWinControl control;
  control.ComponentState = csLoading;
  EXPECT_EQ(CheckException(&control, -1002), -1002);
}

TEST(XlatException, MapsEveryKindOfException) {
  EXPECT_EQ(XlatException(EInOutError("x", 5)), -5);
  EXPECT_EQ(XlatException(EOutOfMemory()), -8);
  EXPECT_EQ(XlatException(std::bad_alloc()), -8);
  EXPECT_EQ(XlatException(std::runtime_error("x")), -9999);
  EXPECT_EQ(XlatException(Exception("plain")), -9999);
  EXPECT_EQ(XlatException(ESIOException("message only")), 0);
  EXPECT_EQ(XlatException(ETapiReinit(-13882)), -13882);
  try {
    CheckExceptionCode(-5003);
  } catch (...) {
    EXPECT_EQ(XlatException(std::current_exception()), -5003);
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(XlatException(std::current_exception()), -9999);
  }
}

TEST(ESIOException, ConstructorsAndMapping) {
  ESIOException fromCode(-4002, true);
  EXPECT_EQ(fromCode.ErrorCode, -4002);
  EXPECT_EQ(fromCode.Message, "Modem is busy elsewhere");
  EXPECT_STREQ(fromCode.what(), "Modem is busy elsewhere");
  ESIOException fromText("MMIO Write Error");
  EXPECT_EQ(fromText.ErrorCode, 0);
  EXPECT_EQ(fromText.Message, "MMIO Write Error");
  EXPECT_EQ(ESIOException::MapCodeToStringID(-13980), 13980);
  EXPECT_EQ(ESIOException::MapCodeToStringID(4801), 4801);
}

TEST(SioLoadStr, TextsOfErrorsAndStatusIds) {
  EXPECT_EQ(SioLoadStr(-2), "File not found");
  EXPECT_EQ(SioLoadStr(2), "File not found");
  EXPECT_EQ(SioLoadStr(-100), "Attempt to read beyond end of file");
  EXPECT_EQ(SioLoadStr(-105), "File/device not open for output");
  EXPECT_EQ(SioLoadStr(-150), "Disk is write-protected");
  EXPECT_EQ(SioLoadStr(-161), "Device read error");
  EXPECT_EQ(ErrorMsg(-5001), "No more trigger slots");
  EXPECT_EQ(ErrorMsg(-5506), "Packet too long");
  EXPECT_EQ(ErrorMsg(-6012), "Cant write file");
  EXPECT_EQ(ErrorMsg(-8074), "Remote fax did not answer");
  EXPECT_EQ(SioLoadStr(9002), "Error loading Winsock DLL");
  EXPECT_EQ(SioLoadStr(-10061), "The attempt to connect was forcibly refused");
  EXPECT_EQ(SioLoadStr(-11001), "Host not found");
  EXPECT_EQ(SioLoadStr(0), "OK");
  EXPECT_EQ(SioLoadStr(4707), "File skipped ");
  EXPECT_EQ(SioLoadStr(4723), "B+ host is resuming");
  EXPECT_EQ(SioLoadStr(4801), "Initializing modem for fax processing");
  EXPECT_EQ(SioLoadStr(4843), "Finished");
  EXPECT_EQ(SioLoadStr(13501), "Line is idle");
  EXPECT_EQ(SioLoadStr(13515), "Call disconnected (%s)");
  EXPECT_EQ(SioLoadStr(13557), "Removed");
  EXPECT_EQ(SioLoadStr(13600), "Waiting for retry in %d seconds");
  EXPECT_EQ(SioLoadStr(13657), "No Answer by Remote");
  EXPECT_EQ(SioLoadStr(13670), "Cancelled");
  EXPECT_EQ(SioLoadStr(13937), "Caller ID Blocked");
  EXPECT_EQ(SioLoadStr(15001), "No event");
  EXPECT_EQ(SioLoadStr(15020), "User");
  EXPECT_EQ(SioLoadStr(15101), "ReadCom");
  EXPECT_EQ(SioLoadStr(15129), "Sent Term");
  EXPECT_EQ(SioLoadStr(15130), "tfNone");
  EXPECT_EQ(SioLoadStr(15131), "tfGetEntry");
  EXPECT_EQ(SioLoadStr(15501), "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(SioLoadStr(15608), "DCD ");
}

TEST(SioLoadStr, UnknownCodesFallBackToTheSystemText) {
  // 1 has no table entry but is a system error number
  EXPECT_EQ(SioLoadStr(-1), std::strerror(1));
  EXPECT_EQ(SioLoadStr(-20000), "");
  EXPECT_EQ(SioLoadStrUtf8(-20000), "");
  // the code is taken as a 16-bit value: 65536 + 2 is 2
  EXPECT_EQ(SioLoadStr(65538), "File not found");
  EXPECT_EQ(SioSingleLine("Access\r\ndenied.  \t Try\x01"
                          "again"),
            "Access denied. Try again");
  EXPECT_EQ(SioSingleLine("   "), " ");
}

TEST(SioLoadZ, WritesAtMost79CharactersAndANul) {
  char buffer[80];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(SioLoadZ(buffer, -2011), buffer);
  EXPECT_STREQ(buffer, "The ComNumber property of the TSioComPort has not been set");
  SioLoadZ(buffer, -20000);
  EXPECT_STREQ(buffer, "");
}

TEST(SioErrorFromErrno, MapsSystemErrorsToLibraryCodes) {
  EXPECT_EQ(SioErrorFromErrno(0), 0);
  EXPECT_EQ(SioErrorFromErrno(ENOENT), -2);
  EXPECT_EQ(SioErrorFromErrno(ENOTDIR), -3);
  EXPECT_EQ(SioErrorFromErrno(EMFILE), -4);
  EXPECT_EQ(SioErrorFromErrno(ENFILE), -4);
  EXPECT_EQ(SioErrorFromErrno(EACCES), -5);
  EXPECT_EQ(SioErrorFromErrno(EPERM), -5);
  EXPECT_EQ(SioErrorFromErrno(EBADF), -6);
  EXPECT_EQ(SioErrorFromErrno(ENOMEM), -8);
  EXPECT_EQ(SioErrorFromErrno(ENOSPC), -101);
  EXPECT_EQ(SioErrorFromErrno(EROFS), -150);
  EXPECT_EQ(SioErrorFromErrno(EIO), -161);
  EXPECT_EQ(SioErrorFromErrno(EIO, true), -160);
  EXPECT_EQ(SioErrorFromErrno(12345), -162);
  // every mapped code has a text of the system family
  for (int err : {ENOENT, ENOTDIR, EMFILE, EACCES, EBADF, ENOMEM, ENOSPC, EROFS, ENODEV, ESPIPE, EIO, EPIPE})
    EXPECT_FALSE(SioLoadStr(SioErrorFromErrno(err)).empty()) << err;
  EXPECT_EQ(SioLoadStr(SioErrorFromErrno(EIO)), "Device read error");
}

}  // namespace
