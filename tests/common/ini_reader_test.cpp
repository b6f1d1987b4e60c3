// INI reader: line reading, paragraphs, key matching, typed values, tokens
// and the small string routines.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/ini_reader.h"

namespace {

using ::testing::ElementsAreArray;

// An INI text in a temporary file, rewound.
class IniText {
 public:
  explicit IniText(const std::string& text) : f_(std::tmpfile()) {
    std::fwrite(text.data(), 1, text.size(), f_);
    std::rewind(f_);
  }
  ~IniText() { std::fclose(f_); }
  FILE* get() const { return f_; }

 private:
  FILE* f_;
};

std::vector<std::string> AllLines(const std::string& text, int size) {
  IniText ini(text);
  std::vector<std::string> lines;
  std::vector<char> buf(size > 0 ? size : 1);
  for (int guard = 0; guard < 100 && IniReadLine(ini.get(), buf.data(), size, nullptr); ++guard) {
    lines.emplace_back(buf.data());
  }
  return lines;
}

TEST(IniReadLine, Cases) {
  struct Case {
    const char* name;
    std::string text;
    int size;
    std::vector<std::string> lines;
  };
  const std::string long300(300, 'a');
  const Case cases[] = {
      {"plain", "a\nb\n", 281, {"a", "b"}},
      {"crlf", "Key: v\r\nNext\r\n", 281, {"Key: v", "Next"}},
      {"last line without line end", "a\nlast", 281, {"a", "last"}},
      {"empty lines", "\n\nx\n", 281, {"", "", "x"}},
      {"trailing blanks and tabs", "v  \t \n", 281, {"v"}},
      {"control characters become blanks",
       std::string("a\tb\x01"
                   "c\x7f"
                   "d\n"),
       281,
       {"a b c d"}},
      {"NUL inside a line", std::string("ab\0cd\n", 6), 281, {"ab cd"}},
      {"300 characters read as 280, next read on the next line",
       long300 + "\nnext\n",
       281,
       {std::string(280, 'a'), "next"}},
      {"tiny buffer", "abcdef\ngh\n", 3, {"ab", "gh"}},
      {"high bytes kept", "caf\xc3\xa9\n", 281, {"caf\xc3\xa9"}},
      {"empty file", "", 281, {}},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(AllLines(c.text, c.size), ElementsAreArray(c.lines)) << c.name;
  }
}

TEST(IniReadLine, ReportsLineOffsetAndEndOfFile) {
  IniText ini("first\nsecond\n");
  char buf[kIniLineSize];
  long at = -1;
  ASSERT_EQ(IniReadLine(ini.get(), buf, sizeof buf, &at), 1);
  EXPECT_EQ(at, 0);
  ASSERT_EQ(IniReadLine(ini.get(), buf, sizeof buf, &at), 1);
  EXPECT_EQ(at, 6);
  EXPECT_EQ(IniReadLine(ini.get(), buf, sizeof buf, &at), 0);
  EXPECT_STREQ(buf, "");
}

TEST(IniGetValue, Cases) {
  struct Case {
    const char* line;
    const char* value;  // null: none
  };
  const Case cases[] = {
      {"Key: value", "value"}, {"Key=value", "value"}, {"Key:\t  x y", "x y"},
      {"Key:", nullptr},       {"Key:   ", nullptr},   {"NoSeparator", nullptr},
      {"a=b:c", "b:c"},        {"a:b=c", "b=c"},       {"Path: E:\\FAX", "E:\\FAX"},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    const char* v = IniGetValue(c.line);
    if (c.value) {
      ASSERT_NE(v, nullptr) << c.line;
      EXPECT_STREQ(v, c.value) << c.line;
    } else {
      EXPECT_EQ(v, nullptr) << c.line;
    }
  }
}

TEST(IniLineKinds, Cases) {
  struct Case {
    const char* line;
    int paragraph;
    int entry;
  };
  const Case cases[] = {
      {"[SERVER]", 1, 1}, {"Key: v", 0, 1}, {"", 0, 0}, {" Key: v", 0, 0}, {";Key: v", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IniIsParagraph(c.line), c.paragraph) << c.line;
    EXPECT_EQ(IniIsEntryLine(c.line), c.entry) << c.line;
  }
}

const char kSample[] =
    "; settings\n"
    "[SERVER]\n"
    "SystemArea: E:\\FAX\\SYSTEM\n"
    " Indented: not an entry\n"
    ";Commented: no\n"
    "LOGLEVEL:5\n"
    "Empty:\n"
    "Flag: yes\n"
    "#Mark: stop here\n"
    "After: mark\n"
    "[OPTIONS]\n"
    "LogLevel: 4\n"
    "[options-2]\n";

TEST(IniFindParagraph, FindsByPrefixWithoutCaseAndRestoresOnMiss) {
  IniText ini(kSample);
  char buf[kIniLineSize];
  long pos = 0;
  ASSERT_EQ(IniFindParagraph(ini.get(), "[options", buf, sizeof buf, &pos), 1);
  EXPECT_STREQ(buf, "[OPTIONS]");
  EXPECT_EQ(pos, static_cast<long>(std::strstr(kSample, "LogLevel: 4") - kSample));

  // A miss leaves the position where it was and empties the buffer.
  const long before = std::ftell(ini.get());
  EXPECT_EQ(IniFindParagraph(ini.get(), "[SERVER]", buf, sizeof buf, &pos), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(std::ftell(ini.get()), before);

  // Without a name, any paragraph line.
  EXPECT_EQ(IniFindParagraph(ini.get(), nullptr, buf, sizeof buf, &pos), 1);
  EXPECT_STREQ(buf, "[options-2]");
}

TEST(IniFindEntry, KeyMatchingCases) {
  struct Case {
    const char* key;
    char stop;
    int found;
    const char* line;
  };
  const Case cases[] = {
      {"SystemArea:", 0, 1, "SystemArea: E:\\FAX\\SYSTEM"},
      {"systemarea:", 0, 1, "SystemArea: E:\\FAX\\SYSTEM"},
      {"LogLevel:", 0, 1, "LOGLEVEL:5"},  // over the key's length only
      {"LogLevel: ", 0, 0, ""},           // the blank is part of the key
      {"Indented:", 0, 0, ""},            // starts with a blank: not an entry
      {";Commented:", 0, 0, ""},
      {"After:", 0, 1, "After: mark"},
      {"After:", '#', 0, ""},  // the stop character ends the search
      {"Flag:", '#', 1, "Flag: yes"},
      {"LogLevel: ", 0, 0, ""},                        // "[OPTIONS]" ends the paragraph
      {nullptr, 0, 1, "SystemArea: E:\\FAX\\SYSTEM"},  // no key: the first entry
  };
  IniText ini(kSample);
  char buf[kIniLineSize];
  long para = 0;
  ASSERT_EQ(IniFindParagraph(ini.get(), "[SERVER]", buf, sizeof buf, &para), 1);
  for (const Case& c : cases) {
    long pos = -1;
    EXPECT_EQ(IniFindEntryEx(ini.get(), c.key, buf, sizeof buf, para, &pos, c.stop), c.found)
        << (c.key ? c.key : "(none)");
    EXPECT_STREQ(buf, c.line) << (c.key ? c.key : "(none)");
    if (c.found) {
      EXPECT_EQ(pos, static_cast<long>(std::strstr(kSample, c.line) - kSample));
    }
  }
}

TEST(IniFindEntry, MissRestoresPositionAndBadStartFails) {
  IniText ini(kSample);
  char buf[kIniLineSize];
  long para = 0;
  ASSERT_EQ(IniFindParagraph(ini.get(), "[SERVER]", buf, sizeof buf, &para), 1);
  long pos = 0;
  EXPECT_EQ(IniFindEntry(ini.get(), "Missing:", buf, sizeof buf, 0, &pos), 0);
  EXPECT_EQ(std::ftell(ini.get()), para);
  EXPECT_EQ(IniFindEntry(ini.get(), "Missing:", buf, sizeof buf, -5, &pos), 0);
}

TEST(IniGetTyped, Cases) {
  const char text[] =
      "[S]\n"
      "Short: 42\n"
      "Neg: -3\n"
      "Digits: 12abc\n"
      "Letters: abc\n"
      "Big: 70000\n"
      "Max: 65535\n"
      "Empty:\n"
      "Long: 4294967295\n"
      "LongBig: 4294967296\n"
      "Huge: 99999999999999999999999999\n"
      "B1: Yes\nB2: off\nB3: TRUE\nB4: 0\nB5: maybe\nB6:\nB7: y\nB8: N\n"
      "Str: some value here\n";
  IniText ini(text);
  char buf[kIniLineSize];
  long para = 0;
  ASSERT_EQ(IniFindParagraph(ini.get(), "[S]", buf, sizeof buf, &para), 1);

  struct ShortCase {
    const char* key;
    int found;
    std::uint16_t value;
  };
  const ShortCase shorts[] = {
      {"Short:", 1, 42},  {"Neg:", 1, 65533},  {"Digits:", 1, 12},    {"Letters:", 1, 0}, {"Big:", 0, 7777},
      {"Max:", 1, 65535}, {"Empty:", 0, 7777}, {"Missing:", 0, 7777}, {"Huge:", 0, 7777},
  };
  for (const ShortCase& c : shorts) {
    std::uint16_t v = 7777;
    EXPECT_EQ(IniGetShort(ini.get(), c.key, &v, para), c.found) << c.key;
    EXPECT_EQ(v, c.value) << c.key;
  }
  std::int16_t s = 0;
  EXPECT_EQ(IniGetShort(ini.get(), "Neg:", &s, para), 1);
  EXPECT_EQ(s, -3);

  struct LongCase {
    const char* key;
    int found;
    std::uint32_t value;
  };
  const LongCase longs[] = {
      {"Long:", 1, 4294967295u},
      {"LongBig:", 0, 5},
      {"Neg:", 1, 4294967293u},
      {"Huge:", 0, 5},
  };
  for (const LongCase& c : longs) {
    std::uint32_t v = 5;
    EXPECT_EQ(IniGetLong(ini.get(), c.key, &v, para), c.found) << c.key;
    EXPECT_EQ(v, c.value) << c.key;
  }

  struct BoolCase {
    const char* key;
    int found;
    int value;
  };
  const BoolCase bools[] = {
      {"B1:", 1, 1}, {"B2:", 1, 0}, {"B3:", 1, 1}, {"B4:", 1, 0}, {"B5:", 0, 9},
      {"B6:", 1, 1}, {"B7:", 1, 1}, {"B8:", 1, 0}, {"B9:", 0, 9},
  };
  for (const BoolCase& c : bools) {
    int v = 9;
    EXPECT_EQ(IniGetBool(ini.get(), c.key, &v, para), c.found) << c.key;
    EXPECT_EQ(v, c.value) << c.key;
  }

  struct StringCase {
    const char* key;
    int size;
    int found;
    const char* value;
  };
  const StringCase strings[] = {
      {"Str:", 281, 1, "some value here"}, {"Str:", 5, 1, "some"}, {"Str:", 1, 1, ""}, {"Empty:", 281, 1, ""},
      {"Missing:", 281, 0, "untouched"},
  };
  for (const StringCase& c : strings) {
    char out[281] = "untouched";
    EXPECT_EQ(IniGetString(ini.get(), c.key, out, c.size, para), c.found) << c.key << c.size;
    EXPECT_STREQ(out, c.value) << c.key << c.size;
  }
}

TEST(IniGetString, LongLineIsCutAndValueBounded) {
  // A 1000-character value: the line is read as 280 characters.
  IniText ini("[S]\nKey: " + std::string(1000, 'v') + "\nNext: 1\n");
  char buf[kIniLineSize];
  long para = 0;
  ASSERT_EQ(IniFindParagraph(ini.get(), "[S]", buf, sizeof buf, &para), 1);
  char value[400];
  ASSERT_EQ(IniGetString(ini.get(), "Key:", value, sizeof value, para), 1);
  EXPECT_EQ(std::strlen(value), 280u - 5u);
  std::uint16_t next = 0;
  EXPECT_EQ(IniGetShort(ini.get(), "Next:", &next, para), 1);
  EXPECT_EQ(next, 1);
}

TEST(IniNextToken, Cases) {
  struct Case {
    const char* text;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"a,b,c", {"a", "b", "c"}},
      {"a , b", {"a", "b"}},
      {"one two", {"one", "two"}},
      {"\"quoted, text\",x", {"\"quoted, text\"", "x"}},
      {"\"unterminated", {"\"unterminated"}},
      {",x", {"", "x"}},
      {"last,", {"last"}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    const char* p = c.text;
    for (int guard = 0; p && guard < 20; ++guard) {
      int len = -1;
      const char* next = nullptr;
      const char* tok = IniNextToken(p, &len, &next);
      got.emplace_back(tok, static_cast<std::size_t>(len));
      p = next;
    }
    EXPECT_THAT(got, ElementsAreArray(c.tokens)) << c.text;
  }
}

TEST(SmallRoutines, SafeStrncpy) {
  char out[6];
  std::memset(out, 'x', sizeof out);
  SafeStrncpy(out, "abcdefgh", sizeof out);
  EXPECT_STREQ(out, "abcde");
  SafeStrncpy(out, "ab", sizeof out);
  EXPECT_STREQ(out, "ab");
  SafeStrncpy(out, nullptr, sizeof out);
  EXPECT_STREQ(out, "ab");
  SafeStrncpy(out, "zz", 0);
  EXPECT_STREQ(out, "ab");
}

TEST(SmallRoutines, TrimFileNameAndBackslash) {
  struct TrimCase {
    const char* in;
    const char* out;
  };
  for (const TrimCase& c : {TrimCase{"  a b \t\r\n", "a b"}, TrimCase{"", ""}, TrimCase{"   ", ""}}) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s", c.in);
    EXPECT_STREQ(StrTrim(buf), c.out);
  }
  struct NameCase {
    const char* path;
    const char* name;
  };
  for (const NameCase& c : {NameCase{"E:\\FAX\\K-DB\\SERVER.LOG", "SERVER.LOG"}, NameCase{"C:X.LOG", "X.LOG"},
                            NameCase{"/var/log/x.log", "x.log"}, NameCase{"PLAIN", "PLAIN"}, NameCase{"dir\\", ""}}) {
    EXPECT_STREQ(GetFileNamePart(c.path), c.name) << c.path;
  }
  struct SlashCase {
    const char* in;
    std::size_t size;
    int ok;
    const char* out;
  };
  for (const SlashCase& c :
       {SlashCase{"E:\\FAX", 16, 1, "E:\\FAX\\"}, SlashCase{"E:\\FAX\\", 16, 1, "E:\\FAX\\"}, SlashCase{"", 16, 1, ""},
        SlashCase{"/srv/", 16, 1, "/srv/"}, SlashCase{"abc", 4, 0, "abc"}, SlashCase{"abc", 5, 1, "abc\\"}}) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s", c.in);
    EXPECT_EQ(AddBackslash(buf, c.size), c.ok) << c.in;
    EXPECT_STREQ(buf, c.out) << c.in;
  }
}

}  // namespace
