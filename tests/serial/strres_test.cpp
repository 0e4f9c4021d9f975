// String tables: the STR0 reader, its faults, encodings and the built tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/Resources.h"
#include "platform/Text.h"
#include "serial/SioStrRes.h"

namespace {

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

std::vector<std::uint8_t> MakeTable(const std::map<int, std::u16string>& texts) {
  std::vector<std::uint8_t> b{'S', 'T', 'R', '0'};
  Put32(b, static_cast<std::uint32_t>(texts.size()));
  std::uint32_t ofs = static_cast<std::uint32_t>(8 + 12 * texts.size());
  for (const auto& [id, text] : texts) {
    Put32(b, static_cast<std::uint32_t>(id));
    Put32(b, ofs);
    Put32(b, static_cast<std::uint32_t>(text.size()));
    ofs += static_cast<std::uint32_t>(2 * text.size());
  }
  for (const auto& entry : texts)
    for (char16_t u : entry.second) {
      b.push_back(static_cast<std::uint8_t>(u & 0xFF));
      b.push_back(static_cast<std::uint8_t>(u >> 8));
    }
  return b;
}

std::string OpenError(const TSioResourceModule& module, const char* name) {
  try {
    TSioStringResource table(&module, name);
  } catch (const ESioStringResourceError& e) {
    return e.Message;
  }
  return "opened";
}

TEST(StringResource, LooksUpTextsByBinarySearch) {
  std::map<int, std::u16string> texts;
  for (int id = -30; id < 3000; id += 7)
    texts[id] = u"T" + std::u16string(1, static_cast<char16_t>(u'a' + (id + 30) % 26));
  TSioResourceModule module;
  module.Add("TABLE", MakeTable(texts));
  TSioStringResource table(&module, "TABLE");
  for (int id = -40; id < 3010; ++id) {
    auto it = texts.find(id);
    std::string expected = it == texts.end() ? "" : Utf16ToAnsi(it->second);
    ASSERT_EQ(table.GetString(id), expected) << id;
  }
}

TEST(StringResource, SingleAndEmptyTables) {
  TSioResourceModule module;
  module.Add("ONE", MakeTable({{7, u"seven"}}));
  module.Add("NONE", MakeTable({}));
  TSioStringResource one(&module, "ONE");
  EXPECT_EQ(one.GetString(7), "seven");
  EXPECT_EQ(one.GetString(6), "");
  EXPECT_EQ(one.GetString(8), "");
  TSioStringResource none(&module, "NONE");
  EXPECT_EQ(none.GetString(0), "");
}

TEST(StringResource, ConvertsToAnsiAndWideBuffers) {
  TSioResourceModule module;
  module.Add("T", MakeTable({{1, u"Hello World"}, {2, u"Größe €5 中"}, {3, u""}}));
  TSioStringResource table(&module, "T");
  EXPECT_EQ(table.GetString(2),
            "Gr\xF6\xDF"
            "e \x80"
            "5 ?");
  EXPECT_EQ(table.GetUtf8(2), "Größe €5 中");

  char buf[6];
  EXPECT_STREQ(table.GetAsciiZ(1, buf, sizeof buf), "Hello");
  char big[40];
  EXPECT_STREQ(table.GetAsciiZ(1, big, sizeof big), "Hello World");
  std::memset(big, 'x', sizeof big);
  EXPECT_STREQ(table.GetAsciiZ(99, big, sizeof big), "");
  EXPECT_STREQ(table.GetAsciiZ(3, big, sizeof big), "");
  char one[1];
  EXPECT_STREQ(table.GetAsciiZ(1, one, 1), "");

  char16_t wide[4];
  table.GetWideChar(1, wide, 4);
  EXPECT_EQ(std::u16string(wide), u"Hel");
  char16_t wideBig[20];
  table.GetWideChar(2, wideBig, 20);
  EXPECT_EQ(std::u16string(wideBig), u"Größe €5 中");
  table.GetWideChar(42, wideBig, 20);
  EXPECT_EQ(std::u16string(wideBig), u"");
}

TEST(StringResource, InvalidTablesFailToOpen) {
  TSioResourceModule module;
  auto good = MakeTable({{1, u"abc"}, {2, u"def"}});
  auto badSignature = good;
  badSignature[3] = '1';
  module.Add("SIG", badSignature);
  module.Add("SHORT", std::vector<std::uint8_t>{'S', 'T', 'R'});
  auto cutIndex = good;
  cutIndex.resize(8 + 12);  // count says 2, one index record present
  module.Add("INDEX", cutIndex);
  auto cutText = good;
  cutText.pop_back();
  module.Add("TEXT", cutText);
  auto hugeCount = good;
  hugeCount[7] = 0xFF;
  module.Add("COUNT", hugeCount);

  EXPECT_EQ(OpenError(module, "SIG"), "Invalid SIOString resource");
  EXPECT_EQ(OpenError(module, "SHORT"), "Invalid SIOString resource");
  EXPECT_EQ(OpenError(module, "INDEX"), "Invalid SIOString resource");
  EXPECT_EQ(OpenError(module, "TEXT"), "Invalid SIOString resource");
  EXPECT_EQ(OpenError(module, "COUNT"), "Invalid SIOString resource");
  EXPECT_EQ(OpenError(module, "NO_SUCH_TABLE"), "String resource not found: NO_SUCH_TABLE");
  EXPECT_EQ(OpenError(module, std::string(300, 'N').c_str()),
            "String resource not found: " + std::string(255, 'N'));
}

TEST(StringResource, FallsBackToTheProgramAndChangesTables) {
  TSioResourceModule module;
  module.Add("MINE", MakeTable({{1, u"mine"}}));
  // not in the module: the program's own table is used
  TSioStringResource table(&module, "SIOSRMGR_STRINGS");
  EXPECT_EQ(table.GetString(2), "Cannot lock resource");
  table.ChangeResource(&module, "MINE");
  EXPECT_EQ(table.GetString(1), "mine");
  table.ChangeResource(&module, "");
  EXPECT_FALSE(table.IsOpen());
  EXPECT_EQ(table.GetString(1), "");
  char buf[8];
  EXPECT_STREQ(table.GetAsciiZ(1, buf, sizeof buf), "");
  EXPECT_THROW(table.ChangeResource(nullptr, "NO_SUCH_TABLE"), ESioStringResourceError);
  EXPECT_FALSE(table.IsOpen());
}

TEST(StringResource, TheReaderOwnMessages) {
  EXPECT_EQ(SioResStrings().GetString(1), "String not found: %d");
  EXPECT_EQ(SioResStrings().GetString(2), "Cannot lock resource");
  EXPECT_EQ(SioResStrings().GetString(3), "String resource not found: %s");
  EXPECT_EQ(SioResStrings().GetString(4), "Unable to open string resource: %s");
  EXPECT_EQ(SioResStrings().GetString(5), "Invalid SIOString resource");
  EXPECT_EQ(SioResStrings().GetString(6), "");
}

TEST(StringResource, ProgramErrorTableIsWellFormed) {
  auto res = FindResource("SIO_ERROR_STRINGS_ENGLISH");
  ASSERT_TRUE(res);
  ASSERT_GE(res->size(), 8u);
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(res->data()), 4), "STR0");
  auto get32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>((*res)[at] | ((*res)[at + 1] << 8) | ((*res)[at + 2] << 16) |
                                      (static_cast<std::uint32_t>((*res)[at + 3]) << 24));
  };
  std::uint32_t count = get32(4);
  EXPECT_GT(count, 800u);
  std::int64_t previous = INT64_MIN;
  for (std::uint32_t k = 0; k < count; ++k) {
    auto id = static_cast<std::int32_t>(get32(8 + 12 * k));
    ASSERT_GT(id, previous) << "ids must ascend";
    previous = id;
    ASSERT_LE(get32(8 + 12 * k + 4) + 2ull * get32(8 + 12 * k + 8), res->size());
  }
  // every dispatch-log sub-type 1..251 has a label, and there are no more
  TSioStringResource table(nullptr, "SIO_ERROR_STRINGS_ENGLISH");
  for (int n = 1; n <= 251; ++n) EXPECT_FALSE(table.GetString(sidDispatchSubTypeBase + n).empty()) << n;
  EXPECT_EQ(table.GetString(sidDispatchSubTypeBase), "");
  EXPECT_EQ(table.GetString(sidDispatchSubTypeBase + 252), "");
  EXPECT_EQ(table.GetString(sidDispatchSubTypeBase + 79), "rfNone");
  EXPECT_EQ(table.GetString(sidDispatchSubTypeBase + 251), "rkDone");
  for (int option = 0; option <= 42; ++option)
    EXPECT_FALSE(table.GetString(sidTelnetOptionBase + option).empty());
}

TEST(Encodings, AnsiAndUtf8RoundTrip) {
  std::string ansi;
  for (int c = 1; c < 256; ++c) ansi += static_cast<char>(c);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(ansi)), ansi);
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "€");
  EXPECT_EQ(Utf8ToCp1252("Ä€\xF0\x9F\x98\x80"), "\xC4\x80?");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToAnsi(u"\U0001F600"), "?");
}

// The build tool refuses sources that would make an unusable table.
TEST(StringTableTool, RejectsBrokenSources) {
  std::string tool = std::string(KORVIDAN_BINARY_DIR) + "/resources/strings/strgen";
  std::string dir = ::testing::TempDir();
  auto run = [&](const std::string& text) {
    std::string src = dir + "/strgen_src.txt", out = dir + "/strgen_out.str0";
    std::ofstream(src, std::ios::binary) << text;
    std::string cmd = "'" + tool + "' '" + src + "' '" + out + "' 2>/dev/null";
    return std::system(cmd.c_str());
  };
  EXPECT_EQ(run("# comment\n\n2 \"b\"\n1 \"a \"quoted\" text\"\n"), 0);
  std::ifstream in(dir + "/strgen_out.str0", std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  TSioResourceModule module;
  module.Add("BUILT", bytes);
  TSioStringResource table(&module, "BUILT");
  EXPECT_EQ(table.GetString(1), "a \"quoted\" text");
  EXPECT_EQ(table.GetString(2), "b");
  EXPECT_NE(run("1 \"a\"\n1 \"b\"\n"), 0);  // id twice
  EXPECT_NE(run("x1 \"a\"\n"), 0);          // bad id
  EXPECT_NE(run("1 a\n"), 0);               // unquoted
  EXPECT_NE(run("1 \"\xC3\"\n"), 0);        // broken UTF-8
}

}  // namespace
