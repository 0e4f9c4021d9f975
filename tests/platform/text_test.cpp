// String list, Windows-1252 conversion and number formatting independent of the locale.
#include "platform/Text.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(StringListTest, EditingAndText) {
  TStringList l;
  EXPECT_EQ(l.Add("b"), 0);
  l.Add("c");
  l.Insert(0, "a");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(l.IndexOf("B"), 1);
  EXPECT_EQ(l.IndexOf("x"), -1);
  l.Delete(1);
  EXPECT_EQ(l[1], "c");
  EXPECT_THROW(l.Delete(2), EStringListError);
  EXPECT_THROW(l.Insert(5, "x"), EStringListError);
  EXPECT_THROW((void)l.Strings(-1), EStringListError);
  l.SetText("one\r\ntwo\nthree\rfour");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l[3], "four");
  l.SetText("x\r\n\r\n");
  EXPECT_EQ(l.Count(), 2);  // an empty line in the middle survives
  l.SetText("");
  EXPECT_EQ(l.Count(), 0);
}

TEST(StringListTest, CommaTextRoundTrip) {
  TStringList l;
  l.Add("plain");
  l.Add("with blank");
  l.Add("say \"hi\"");
  l.Add("");
  l.Add("a,b");
  std::string t = l.CommaText();
  EXPECT_EQ(t, "plain,\"with blank\",\"say \"\"hi\"\"\",\"\",\"a,b\"");
  TStringList m;
  m.SetCommaText(t);
  EXPECT_EQ(m.Items(), l.Items());
  m.SetCommaText("a, b ,c,");
  ASSERT_EQ(m.Count(), 4);
  EXPECT_EQ(m[1], "b");
  EXPECT_EQ(m[3], "");
}

TEST(StringListTest, FilesKeepRawBytes) {
  auto path = std::filesystem::temp_directory_path() / ("sl_" + std::to_string(getpid()) + ".txt");
  TStringList l;
  l.Add(
      std::string("Gr\xFC\xDF"
                  "e \x80"));  // Windows-1252 bytes stay as they are
  l.Add("zwei");
  l.SaveToFile(path.string());
  std::ifstream f(path, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(raw, std::string("Gr\xFC\xDF"
                             "e \x80\r\nzwei\r\n"));
  TStringList r;
  r.LoadFromFile(path.string());
  EXPECT_EQ(r.Items(), l.Items());
  std::filesystem::remove(path);
  EXPECT_THROW(r.LoadFromFile(path.string()), EFOpenError);
  EXPECT_THROW(l.SaveToFile("/nonexistent-dir/x.txt"), EFCreateError);
}

TEST(Cp1252Test, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8 = Cp1252ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1252(utf8), all);
}

TEST(Cp1252Test, UmlautsEuroAndUnmappable) {
  EXPECT_EQ(Cp1252ToUtf8("\xC4\xD6\xDC\xE4\xF6\xFC\xDF"), "ÄÖÜäöüß");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "€");
  EXPECT_EQ(Cp1252ToUtf8("Datenabfrage l\xE4uft"), "Datenabfrage läuft");
  EXPECT_EQ(Utf8ToCp1252("Ö&ffnen"), "\xD6&ffnen");
  EXPECT_EQ(Utf8ToCp1252("5 €"), "5 \x80");
  EXPECT_EQ(Utf8ToCp1252("“Š”"), "\x93\x8A\x94");
  // Characters without a Windows-1252 byte, and broken UTF-8, become '?'.
  EXPECT_EQ(Utf8ToCp1252("Ω≈中😀"), "????");
  EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");  // cut short
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF"
                         "b"),
            "??b");                                // over-long form
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80"), "???");  // surrogate
}

TEST(Cp1252Test, SingleCharactersAndGlyphs) {
  EXPECT_EQ(Cp1252ToUnicode(0x80), U'\u20AC');
  EXPECT_EQ(Cp1252ToUnicode(0x8D), U'\u008D');  // undefined: the C1 control of that value
  EXPECT_EQ(Cp1252ToUnicode(0xE4), U'\u00E4');
  EXPECT_EQ(UnicodeToCp1252(U'\u0178'), '\x9F');
  EXPECT_EQ(UnicodeToCp1252(U'\u03A9'), '?');
  // A font draws nothing for control characters and undefined bytes.
  EXPECT_EQ(Cp1252Glyph('\n'), 0u);
  EXPECT_EQ(Cp1252Glyph(0x7F), 0u);
  EXPECT_EQ(Cp1252Glyph(0x81), 0u);
  EXPECT_EQ(Cp1252Glyph(0x80), U'\u20AC');
  EXPECT_EQ(Cp1252Glyph('A'), U'A');
}

TEST(NumberTest, Integers) {
  EXPECT_EQ(IntToStr(-42), "-42");
  EXPECT_EQ(IntToStr(1234567), "1234567");
  EXPECT_EQ(IntToHex(0x7E01, 4), "7E01");
  EXPECT_EQ(IntToHex(0xA, 4), "000A");
  EXPECT_EQ(StrToInt("3"), 3);
  EXPECT_EQ(StrToInt(" -17"), -17);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_THROW(StrToInt("12a"), EConvertError);
  EXPECT_THROW(StrToInt("1 "), EConvertError);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(StrToIntDef("     ", 15), 15);
  try {
    StrToInt("Sensor");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'Sensor' is not a valid integer value");
  }
}

TEST(NumberTest, Floats) {
  EXPECT_EQ(FloatToStr(7.12), "7.12");
  EXPECT_EQ(FloatToStr(0.5), "0.5");
  EXPECT_EQ(FloatToStr(-3), "-3");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(1e-5), "1E-5");
  EXPECT_EQ(FloatToStr(static_cast<double>(7.12f)), "7.11999988555908");
  EXPECT_EQ(FloatToStrFixed(7.1, 2), "7.10");
  EXPECT_EQ(FloatToStrFixed(-0.001, 2), "0.00");
  EXPECT_EQ(FormatFloat("0.00", 7.1), "7.10");
  EXPECT_EQ(FormatFloat("0.##", 7.1), "7.1");
  EXPECT_EQ(FormatFloat("#,##0.0", 12345.67), "12,345.7");
  EXPECT_EQ(FormatFloat("000", 7), "007");
  EXPECT_EQ(FormatFloat("0.0", -2.26), "-2.3");
  EXPECT_EQ(FormatFloat("0.0", -0.01), "0.0");
  EXPECT_DOUBLE_EQ(StrToFloat("7.12"), 7.12);
  EXPECT_DOUBLE_EQ(StrToFloat(" -1.5e3 "), -1500);
  EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
  EXPECT_THROW(StrToFloat("7,12"), EConvertError);
  EXPECT_THROW(StrToFloat("nan"), EConvertError);
  EXPECT_THROW(StrToFloat(""), EConvertError);
  EXPECT_DOUBLE_EQ(StrToFloatDef("x", 2.5), 2.5);
}

TEST(NumberTest, GermanLocaleChangesNothing) {
  // Build a German locale for this test alone when the system has none installed.
  bool german = setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  std::filesystem::path dir;
  if (!german) {
    dir = std::filesystem::temp_directory_path() / ("loc_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string cmd = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) {
      setenv("LOCPATH", dir.c_str(), 1);
      german = setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    }
  }
  if (!german) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "no German locale can be made here";
  }
  char probe[32];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the process locale really uses a comma now
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  EXPECT_EQ(FloatToStrFixed(1.5, 2), "1.50");
  EXPECT_EQ(FormatFloat("#,##0.00", 1234.5), "1,234.50");
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_THROW(StrToFloat("1,5"), EConvertError);
  EXPECT_EQ(Format("%.2f|%d|%s", 7.126, 42, "x"), "7.13|42|x");
  EXPECT_EQ(Format("%02u.%02u.%04u", 1u, 2u, 2024u), "01.02.2024");
  setlocale(LC_NUMERIC, "C");
  std::filesystem::remove_all(dir);
}

TEST(TextTest, TrimCaseAndCompare) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x "), "  x");
  // Only the given blanks: a control character that is part of a value stays.
  EXPECT_EQ(Trim(" \t38,14,\x0b\r\n", " \t\r\n"), "38,14,\x0b");
  EXPECT_EQ(Trim(" \t ", " \t"), "");
  EXPECT_EQ(UpperCase("abc\xE4"), "ABC\xE4");
  EXPECT_EQ(LowerCase("ABC"), "abc");
  EXPECT_TRUE(SameText("Software\\Zelvanor", "SOFTWARE\\zelvanor"));
  EXPECT_LT(CompareText("a", "B"), 0);
  EXPECT_EQ(Format("%s", std::string(300, 'x').c_str()).size(), 300u);
}

}  // namespace
