#include "ini_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "feedtap_test_util.h"

using feedtap_test::TempDir;
using feedtap_test::WriteFile;

namespace {

TEST(IniParser, KeysValuesCommentsAndSections) {
  TempDir dir;
  WriteFile(dir / "a.ini",
            "# leading comment\n"
            "\n"
            "[general]\n"
            "MCPORT   =   3000 # the feed's port\n"
            "MCADDR=239.1.1.1#cut here\n"
            "LOCALIP=\n"
            "  CSVOUT\t= 1\r\n"
            "=orphan\n"
            "no equals sign here\n"
            "PROMISC = 0\n"
            "[ general ]\n"
            "MCADDR = 10.0.0.1\n"
            "[general]\n"
            "MCPORT = 4000\n"
            "EXTRA = spaced value  \n"
            "[other]\n"
            "MCPORT = 5000\n");
  IniParser ini;
  ASSERT_TRUE(ini.Read(dir / "a.ini"));
  const IniParser::Section* g = ini.FindSection("general");
  ASSERT_NE(g, nullptr);
  EXPECT_STREQ(g->Name(), "general");
  // Comment cut, blanks around "=" dropped; the later [general] merges in but
  // a repeated key keeps its first value.
  EXPECT_STREQ(g->GetValue("MCPORT"), "3000");
  EXPECT_STREQ(g->GetValue("MCADDR"), "239.1.1.1");
  EXPECT_STREQ(g->GetValue("CSVOUT"), "1");
  EXPECT_STREQ(g->GetValue("PROMISC"), "0");
  EXPECT_STREQ(g->GetValue("EXTRA"), "spaced value");
  // An empty value leaves the key absent; absent reads as "", never null.
  EXPECT_STREQ(g->GetValue("LOCALIP"), "");
  EXPECT_STREQ(g->GetValue("no equals sign here"), "");
  EXPECT_STREQ(g->GetValue(""), "");

  // Blanks inside the brackets belong to the name.
  const IniParser::Section* spaced = ini.FindSection(" general ");
  ASSERT_NE(spaced, nullptr);
  EXPECT_NE(spaced, g);
  EXPECT_STREQ(spaced->GetValue("MCADDR"), "10.0.0.1");
  ASSERT_NE(ini.FindSection("other"), nullptr);
  EXPECT_STREQ(ini.FindSection("other")->GetValue("MCPORT"), "5000");
  EXPECT_EQ(ini.FindSection("General"), nullptr);
}

TEST(IniParser, ReadFailures) {
  TempDir dir;
  IniParser missing;
  EXPECT_FALSE(missing.Read(dir / "does_not_exist.ini"));

  WriteFile(dir / "early.ini", "# fine\nMCADDR=239.1.1.1\n[general]\nMCPORT=1\n");
  IniParser early;
  EXPECT_FALSE(early.Read(dir / "early.ini"));

  // "[]" is no header, so it is a line before any section.
  WriteFile(dir / "empty_hdr.ini", "[]\n[general]\nMCPORT=1\n");
  IniParser emptyHdr;
  EXPECT_FALSE(emptyHdr.Read(dir / "empty_hdr.ini"));

  // Comments, blank lines and "=" lines may precede the first header.
  WriteFile(dir / "ok.ini", "  # c\n\n   \n= x\n[general]\nMCPORT=1\n");
  IniParser ok;
  EXPECT_TRUE(ok.Read(dir / "ok.ini"));
  EXPECT_STREQ(ok.FindSection("general")->GetValue("MCPORT"), "1");
}

TEST(IniParser, OverlongLineIsCutNotSplit) {
  TempDir dir;
  // The part beyond the line buffer must not come back as a line of its own.
  std::string text = "[general]\nA=";
  text.append(IniParser::MAX_LINE_LENGTH + 10, 'x');
  text += "C=3\nB=2\n";
  WriteFile(dir / "long.ini", text);
  IniParser ini;
  ASSERT_TRUE(ini.Read(dir / "long.ini"));
  const IniParser::Section* g = ini.FindSection("general");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(std::strlen(g->GetValue("A")), static_cast<size_t>(IniParser::MAX_LINE_LENGTH - 3));
  EXPECT_STREQ(g->GetValue("C"), "");
  EXPECT_STREQ(g->GetValue("B"), "2");
}

}  // namespace
