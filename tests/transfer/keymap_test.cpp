// Key maps in the INI record database: loading, saving, the key lookup and the component.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Text.h"
#include "serial/Sioexcept.h"
#include "tests/support/TempDir.h"
#include "transfer/Swkbemu.h"

namespace {

class KeyMapTest : public ::testing::Test {
 protected:
  void SetUp() override { file = (dir / "SWKEYBRD.INI").string(); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void Write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  std::string Read() { return support::ReadFile(file); }
  support::TempDir tmp_{"keymap"};
  const std::filesystem::path& dir = tmp_.path();
  std::string file;
};

const char* TwoMaps =
    "[Index]\r\nVT100=#\r\nWYSE=#\r\n\r\n"
    "[Defaults]\r\n_Entries=2\r\n\r\n"
    "[VT100]\r\nKey1=38,14,\x1b[A\r\nKey2=112,14,\x1bOP\r\nKey3=65,4,ctrl-shift-a\r\n"
    "Key4=27,14,\r\nKey5=9,14,first\r\nKey6=9,14,second\r\nKey7=13,crlf\r\nKey8=#\r\n\r\n"
    "[WYSE]\r\nKey1=38,14,\x0b\r\n";

TKeyEmuCommandLo KeyCommand(bool shift = false, bool ctrl = false) {
  TKeyEmuCommandLo c;
  if (shift) c.KeyboardState[VK_SHIFT] = 0x80;
  if (ctrl) c.KeyboardState[VK_CONTROL] = 0x80;
  return c;
}

TEST_F(KeyMapTest, MissingFileIsCreatedEmpty) {
  TKeyEmulator* kb = nullptr;
  ASSERT_EQ(kbInitKeyEmulator(kb, file), 0);
  EXPECT_EQ(kbNumEmuTypes(kb), 0);
  EXPECT_EQ(kbLoadKeyEmuIndex(kb), ecDatabaseEmpty);
  kbDoneKeyEmulator(kb);
  EXPECT_EQ(IniReadString(file, "Defaults", "_Entries", "?"), "0");
  EXPECT_TRUE(IniSectionKeys(file, "Index").has_value());

  TSioKeyboardEmulator comp;
  comp.SetMapFileName(file);
  comp.SetEnabled(true);
  EXPECT_TRUE(comp.EmulatorNames().empty());
  EXPECT_EQ(comp.GetEmulatorType(), "");
}

TEST_F(KeyMapTest, LoadAndLookUp) {
  Write(TwoMaps);
  TKeyEmulator* kb = nullptr;
  ASSERT_EQ(kbInitKeyEmulator(kb, file), 0);
  EXPECT_EQ(kbNumEmuTypes(kb), 2);
  ASSERT_EQ(kbLoadKeyEmuIndex(kb), 0);
  EXPECT_EQ(kbEmuTypeNames(kb), (std::vector<std::string>{"VT100", "WYSE"}));
  kbSetKeyEmuType(kb, "vt100");  // names compare without case
  ASSERT_EQ(kbLoadKeyEmuMap(kb), 0);
  EXPECT_EQ(kb->Keys[0].KeyCode, 38);
  EXPECT_EQ(kb->Keys[0].ShiftMap, 14);
  EXPECT_EQ(kb->Keys[6].KeyCode, 13);  // no second comma: the whole rest is the text
  EXPECT_EQ(kb->Keys[6].ShiftMap, 0);
  EXPECT_EQ(kb->Keys[6].Value, "crlf");
  EXPECT_EQ(kb->Keys[7].KeyCode, 0);  // "#" reads as empty

  auto c = KeyCommand();
  kbProcessKey(kb, 38, c);  // extended keys need ProcessExtended
  EXPECT_TRUE(c.Extended);
  EXPECT_FALSE(c.KeyMapped);
  kb->ProcessExtended = true;
  kbProcessKey(kb, 38, c);
  EXPECT_TRUE(c.KeyMapped);
  EXPECT_EQ(c.Value, "\x1b[A");
  EXPECT_EQ(c.ShiftMap, 14);

  c = KeyCommand(true, true);  // letters need ProcessAll
  kbProcessKey(kb, 65, c);
  EXPECT_FALSE(c.KeyMapped);
  kb->ProcessAll = true;
  kbProcessKey(kb, 65, c);
  EXPECT_EQ(c.ShiftMap, 4);
  EXPECT_TRUE(c.KeyMapped);
  EXPECT_EQ(c.Value, "ctrl-shift-a");
  c = KeyCommand(true);
  kbProcessKey(kb, 65, c);
  EXPECT_FALSE(c.KeyMapped);

  c = KeyCommand();
  kbProcessKey(kb, 9, c);  // the later of two equal entries wins
  EXPECT_EQ(c.Value, "second");
  c = KeyCommand();
  kbProcessKey(kb, 27, c);  // mapped to nothing
  EXPECT_TRUE(c.KeyMapped);
  EXPECT_EQ(c.Value, "");
  c = KeyCommand();
  c.KeyCode = 99;
  kbProcessKey(kb, VK_SHIFT, c);  // modifier keys alone are ignored
  EXPECT_EQ(c.KeyCode, 99);
  EXPECT_FALSE(c.KeyMapped);
  kbDoneKeyEmulator(kb);
}

TEST_F(KeyMapTest, BadNumberRaisesConversionError) {
  Write("[Index]\r\nX=#\r\n[Defaults]\r\n_Entries=1\r\n[X]\r\nKey1=up,14,x\r\n");
  TKeyEmulator* kb = nullptr;
  ASSERT_EQ(kbInitKeyEmulator(kb, file), 0);
  kbSetKeyEmuType(kb, "X");
  EXPECT_THROW(kbLoadKeyEmuMap(kb), EConvertError);
  kbSetKeyEmuType(kb, "Y");
  EXPECT_EQ(kbLoadKeyEmuMap(kb), ecRecordNotFound);
  kbDoneKeyEmulator(kb);
}

TEST_F(KeyMapTest, SaveAddDeleteAndRename) {
  Write(TwoMaps);
  TKeyEmulator* kb = nullptr;
  ASSERT_EQ(kbInitKeyEmulator(kb, file), 0);
  kbSetKeyEmuType(kb, "WYSE");
  ASSERT_EQ(kbLoadKeyEmuMap(kb), 0);
  kb->Keys[1] = {112, 14, "\x01@x"};
  kb->Keys[2] = {113, 14, "this text is much longer than twenty"};
  ASSERT_EQ(kbUpdKeyEmuRecord(kb), 0);
  EXPECT_EQ(IniReadString(file, "WYSE", "Key2", ""), "112,14,\x01@x");
  EXPECT_EQ(IniReadString(file, "WYSE", "Key3", ""), "113,14,this text is");  // the field's 20
  ASSERT_EQ(kbLoadKeyEmuMap(kb), 0);
  EXPECT_EQ(kb->Keys[1].Value, "\x01@x");

  TIniDatabase* db = kb->Database;
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(db->RecordSize));
  iSetStringField(db, rec.data(), "EMULATOR", "ANSI");
  iSetStringField(db, rec.data(), "Key1", "38,14,up");
  ASSERT_EQ(kbAddKeyEmuRecord(kb, rec.data()), 0);
  EXPECT_EQ(kbAddKeyEmuRecord(kb, rec.data()), ecRecordExists);
  EXPECT_EQ(kbNumEmuTypes(kb), 3);
  EXPECT_EQ(IniReadString(file, "Defaults", "_Entries", ""), "3");

  // updating under a new index value moves the record to a new section
  iSetStringField(db, rec.data(), "EMULATOR", "ANSI-BBS");
  ASSERT_EQ(iUpdIniRecord(db, "ANSI", rec.data()), 0);
  EXPECT_FALSE(iKeyExists(db, "ANSI"));
  EXPECT_TRUE(iKeyExists(db, "ANSI-BBS"));
  EXPECT_EQ(IniReadString(file, "ANSI-BBS", "Key1", ""), "38,14,up");
  EXPECT_FALSE(IniSectionKeys(file, "ANSI").has_value());
  // ... but never onto an existing record, which would lose the old one
  iSetStringField(db, rec.data(), "EMULATOR", "WYSE");
  EXPECT_EQ(iUpdIniRecord(db, "ANSI-BBS", rec.data()), ecRecordExists);
  EXPECT_TRUE(iKeyExists(db, "ANSI-BBS"));

  EXPECT_EQ(kbDelKeyEmuRecord(kb, "ANSI-BBS"), 0);
  EXPECT_EQ(kbDelKeyEmuRecord(kb, "ANSI-BBS"), ecRecordNotFound);
  EXPECT_EQ(kbNumEmuTypes(kb), 2);
  kbDoneKeyEmulator(kb);
}

TEST_F(KeyMapTest, DatabaseRules) {
  TIniDatabase* db = nullptr;
  iInitIniDatabase(db, file);
  EXPECT_EQ(iPrepareIniDatabase(db, nullptr), ecNoFieldsDefined);
  EXPECT_EQ(iAddIniDBStringField(db, std::string(22, 'n'), 5, false), ecKeyTooLong);
  EXPECT_EQ(iAddIniDBStringField(db, "Name", 32, true), ecDataTooLarge);
  ASSERT_EQ(iAddIniDBIntField(db, "Count"), 0);
  EXPECT_EQ(iPrepareIniDatabase(db, nullptr), ecNoIndexKey);
  ASSERT_EQ(iAddIniDBStringField(db, "Name", 10, true), 0);
  ASSERT_EQ(iAddIniDBStringField(db, "Note", 8, false), 0);
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(db->RecordSize));
  EXPECT_EQ(iAddIniRecord(db, rec.data()), ecDatabaseNotPrepared);
  std::vector<std::uint8_t> defs(rec.size());
  std::int32_t seven = 7;
  std::memcpy(defs.data(), &seven, 4);
  iSetStringField(db, defs.data(), "Note", "dflt");
  ASSERT_EQ(iPrepareIniDatabase(db, defs.data()), 0);
  EXPECT_EQ(IniReadString(file, "Defaults", "Count", ""), "7");

  iSetStringField(db, rec.data(), "Name", "one");
  ASSERT_EQ(iAddIniRecord(db, rec.data()), 0);  // Count 0, Note empty
  std::vector<std::uint8_t> got(rec.size(), 0xEE);
  ASSERT_EQ(iGetIniRecord(db, "one", got.data()), 0);
  std::int32_t count;
  std::memcpy(&count, got.data(), 4);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(iGetStringField(db, got.data(), "Note"), "dflt");  // missing: the default
  EXPECT_EQ(iGetStringField(db, got.data(), "Name"), "one");
  iDoneIniDatabase(db);

  // reopening reads count and defaults from the file
  iInitIniDatabase(db, file);
  iAddIniDBIntField(db, "Count");
  iAddIniDBStringField(db, "Name", 10, true);
  iAddIniDBStringField(db, "Note", 8, false);
  ASSERT_EQ(iPrepareIniDatabase(db, nullptr), 0);
  EXPECT_EQ(iNumIniRecs(db), 1);
  EXPECT_EQ(iGetIniIndexRecSize(db), 32);
  std::vector<char> block;
  EXPECT_EQ(iAllocIniIndexRec(db, block, 0), ecDatabaseEmpty);
  ASSERT_EQ(iLoadIniIndex(db, block, 32), 0);
  EXPECT_STREQ(block.data(), "one");
  EXPECT_EQ(block[4], 0);

  std::string other = (dir / "other.ini").string();
  iSetStringField(db, rec.data(), "Note", "n2");
  ASSERT_EQ(iWriteToIni(db, rec.data(), "Sect", other), 0);
  EXPECT_EQ(IniReadString(other, "Sect", "Name", ""), "one");
  std::vector<std::uint8_t> back(rec.size());
  ASSERT_EQ(iReadFromIni(db, back.data(), "Sect", other), 0);
  EXPECT_EQ(iGetStringField(db, back.data(), "Note"), "n2");
  iDoneIniDatabase(db);
}

TEST_F(KeyMapTest, ComponentSelectsFirstMap) {
  Write(TwoMaps);
  TSioKeyboardEmulator comp;
  comp.SetMapFileName(file);
  comp.SetEnabled(true);
  ASSERT_EQ(comp.EmulatorNames().size(), 2u);
  EXPECT_EQ(comp.GetEmulatorType(), "VT100");
  comp.SetProcessExtended(true);
  auto c = KeyCommand();
  ASSERT_NE(comp.KeyEmuProc, nullptr);
  comp.KeyEmuProc(comp.KeyEmuData, 112, c);
  EXPECT_EQ(c.Value, "\x1bOP");
  comp.SetEmulatorType("WYSE");
  c = KeyCommand();
  comp.KeyEmuProc(comp.KeyEmuData, 38, c);
  EXPECT_EQ(c.Value, "\x0b");
  EXPECT_THROW(comp.SetEmulatorType("NONE"), EINI);
  comp.SetEnabled(false);
  EXPECT_EQ(comp.KeyEmuProc, nullptr);
  EXPECT_TRUE(comp.EmulatorNames().empty());

  // a file with exactly one map loads no names and selects none
  Write("[Index]\r\nONLY=#\r\n[Defaults]\r\n_Entries=1\r\n[ONLY]\r\nKey1=38,14,u\r\n");
  comp.SetEnabled(true);
  EXPECT_TRUE(comp.EmulatorNames().empty());
  EXPECT_EQ(comp.GetEmulatorType(), "");
  comp.SetEmulatorType("ONLY");
  comp.SetProcessExtended(true);
  c = KeyCommand();
  comp.KeyEmuProc(comp.KeyEmuData, 38, c);
  EXPECT_EQ(c.Value, "u");
}

// A hand-edited file: each value comes from the first section of its name (case aside) and
// that section's first line of the key; lines outside a section, comments and blanks count
// for nothing, and a value keeps what lies between its blanks.
TEST_F(KeyMapTest, ValuesOfAHandEditedFile) {
  Write("Stray=before any section\n"
        "; [VT100]\r\n"
        "  [ vt100 ]  \r\n"
        "  Key1 =  a b=c \t\r\n"
        "key1=second of the key\r\n"
        "Empty=\r\n"
        "no equals sign\r\n"
        "[VT100]\r\nKey1=later section\r\nKey2=only in the later section\r\n"
        "[Open\nKey3=unclosed header\n"
        "[Last]\nKey4=no line end");
  EXPECT_EQ(IniReadString(file, "VT100", "KEY1", "?"), "a b=c");
  EXPECT_EQ(IniReadString(file, "VT100", "Empty", "?"), "");
  EXPECT_EQ(IniReadString(file, "VT100", "Key2", "?"), "?");
  EXPECT_EQ(IniReadString(file, "VT100", "Stray", "?"), "?");
  EXPECT_EQ(IniReadString(file, "Open", "Key3", "?"), "unclosed header");
  EXPECT_EQ(IniReadString(file, "Last", "Key4", "?"), "no line end");
  EXPECT_EQ(IniReadString(file, "Missing", "Key1", "?"), "?");
  EXPECT_EQ(IniReadString(file + ".none", "VT100", "Key1", "?"), "?");
  EXPECT_EQ(*IniSectionKeys(file, "vt100"), (std::vector<std::string>{"Key1", "key1", "Empty"}));
}

TEST_F(KeyMapTest, BareNameUsesSystemDirectory) {
  std::string old = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  TKeyEmulator* kb = nullptr;
  ASSERT_EQ(kbInitKeyEmulator(kb, "KEYTEST-NOT-HERE.INI"), 0);
  kbDoneKeyEmulator(kb);
  EXPECT_TRUE(std::filesystem::exists(dir / "korvidan" / "KEYTEST-NOT-HERE.INI"));
  if (old.empty())
    unsetenv("XDG_CONFIG_HOME");
  else
    setenv("XDG_CONFIG_HOME", old.c_str(), 1);
}

}  // namespace
