#include "RegFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace host {
namespace {

constexpr std::string_view kParams =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters";

// A version 5 file with CRLF line ends from LF-separated lines.
std::string RegText(std::string_view body) {
  std::string out = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (char c : body) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Utf16Le(std::string_view utf8, bool bom = true) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t u : Utf8ToUtf16(utf8)) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

RegValue Bytes(RegType type, std::vector<uint8_t> data) { return RegValue{type, std::move(data)}; }

TEST(RegImport, ValueForms) {
  struct Case {
    const char* what;
    std::string_view body;  // lines after "[HKEY_LOCAL_MACHINE\...\Parameters]"
    std::string_view name;
    RegValue expected;
  };
  const Case cases[] = {
      {"string", "\"Port Name\"=\"CvB1\"", "Port Name", RegValue::FromUtf8String("CvB1")},
      {"escapes", R"("p"="C:\\dir\\\"q\"")", "p", RegValue::FromUtf8String(R"(C:\dir\"q")")},
      {"escaped name", R"("a\"b\\c"="x")", "a\"b\\c", RegValue::FromUtf8String("x")},
      {"empty string", "\"e\"=\"\"", "e", RegValue::FromUtf8String("")},
      {"non-ASCII", "\"g\"=\"Grüße\"", "g", RegValue::FromUtf8String("Grüße")},
      {"default value", "@=\"def\"", "", RegValue::FromUtf8String("def")},
      {"default dword", "@=dword:7", "", RegValue::FromDword(7)},
      {"dword", "\"MaxUnitLv\"=dword:0000001e", "MaxUnitLv", RegValue::FromDword(30)},
      {"short dword, upper case", "\"d\"=DWORD:FFFFFFFF", "d", RegValue::FromDword(0xFFFFFFFF)},
      {"spaces and comment", "\"d\" = dword:10 ; sixteen", "d", RegValue::FromDword(16)},
      {"binary", "\"b\"=hex:01,ab,FF", "b", Bytes(RegType::Binary, {0x01, 0xAB, 0xFF})},
      {"empty binary", "\"b\"=hex:", "b", Bytes(RegType::Binary, {})},
      {"one-digit bytes, trailing comma", "\"b\"=hex:1, 2,", "b", Bytes(RegType::Binary, {1, 2})},
      {"expand string", "\"x\"=hex(2):25,00,41,00,25,00,00,00", "x",
       RegValue::FromString(u"%A%", RegType::ExpandSz)},
      {"multi string", "\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00", "m",
       RegValue::FromMultiSz({u"a", u"b"})},
      {"qword", "\"q\"=hex(b):08,07,06,05,04,03,02,01", "q",
       RegValue::FromQword(0x0102030405060708)},
      {"none", "\"n\"=hex(0):", "n", Bytes(RegType::None, {})},
      {"big type code", "\"t\"=hex(12345678):aa", "t", Bytes(static_cast<RegType>(0x12345678), {0xAA})},
      {"continuation lines", "\"c\"=hex:01,02,\\\n  03,04,\\\n\t05", "c",
       Bytes(RegType::Binary, {1, 2, 3, 4, 5})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryStore store;
    const std::string text = RegText(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters]\n" +
        std::string(c.body) + "\n");
    const auto err = ImportRegText(store, text);
    ASSERT_FALSE(err) << err->line << ": " << err->message;
    EXPECT_EQ(store.GetValue(kParams, c.name), c.expected);
    EXPECT_EQ(store.EnumValues(kParams).size(), 1u);
  }
}

TEST(RegImport, RootNames) {
  struct Case {
    std::string_view root;
    std::string_view kernel;
  };
  const Case cases[] = {
      {"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"},
      {"hklm", "\\REGISTRY\\MACHINE"},
      {"HKEY_USERS", "\\REGISTRY\\USER"},
      {"HKU", "\\REGISTRY\\USER"},
      {"HKEY_CURRENT_CONFIG",
       "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
      {"HKEY_CLASSES_ROOT", "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    RegistryStore store;
    ASSERT_FALSE(ImportRegText(store, RegText("[" + std::string(c.root) + "\\Sub\\\\Key\\]\n")));
    EXPECT_TRUE(store.KeyExists(std::string(c.kernel) + "\\Sub\\Key"));
  }
}

TEST(RegImport, Deletes) {
  RegistryStore store;
  store.CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\\Deep");
  store.CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Keep");
  store.SetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Keep", "gone", RegValue::FromDword(1));
  store.SetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Keep", "stays", RegValue::FromDword(2));

  const auto err = ImportRegText(store, RegText("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\vendor\\APP]\n"
                                                "[-HKLM\\SOFTWARE\\Vendor\\NotThere]\n"
                                                "\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Keep]\n"
                                                "\"GONE\"=-\n"
                                                "\"never there\"=-\n"));
  ASSERT_FALSE(err) << err->line << ": " << err->message;
  EXPECT_FALSE(store.KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App"));
  const auto values = store.EnumValues("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Keep");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "stays");
}

TEST(RegImport, Errors) {
  struct Case {
    const char* what;
    std::string text;
    int line;
    std::string_view message;  // part of the message
  };
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n";
  const Case cases[] = {
      {"no header", "[HKLM\\X]\r\n", 1, "first line"},
      {"header after blank lines", "\r\n  \r\nREGEDIT5\r\n", 3, "first line"},
      {"empty file", "", 0, "empty"},
      {"unknown root", RegText(key + "[HKEY_NOWHERE\\X]\n"), 4, "HKEY_NOWHERE"},
      {"current user is not mapped", RegText("[HKEY_CURRENT_USER\\X]\n"), 3, "unknown root"},
      {"value before any key", RegText("\"a\"=dword:1\n"), 3, "outside a key"},
      {"value after a key delete", RegText("[-HKLM\\X]\n\"a\"=dword:1\n"), 4, "outside a key"},
      {"dword too long", RegText(key + "\"a\"=dword:000000001\n"), 4, "1 to 8 hex digits"},
      {"dword not hex", RegText(key + "\"a\"=dword:1g\n"), 4, "1 to 8 hex digits"},
      {"dword empty", RegText(key + "\"a\"=dword:\n"), 4, "1 to 8 hex digits"},
      {"bad hex byte", RegText(key + "\"a\"=hex:01,2g\n"), 4, "'2g'"},
      {"three-digit byte", RegText(key + "\"a\"=hex:123\n"), 4, "'123'"},
      {"empty byte", RegText(key + "\"a\"=hex:01,,02\n"), 4, "bad byte"},
      {"bad hex type", RegText(key + "\"a\"=hex(z):00\n"), 4, "type code"},
      {"bad byte on a continuation line", RegText(key + "\"a\"=hex:01,\\\n  zz\n"), 4, "'zz'"},
      {"line after a continued value",
       RegText(key + "\"a\"=hex:01,\\\n  02\n\"b\"=dword:x\n"), 6, "1 to 8 hex digits"},
      {"file ends in a continued value", RegText(key + "\"a\"=hex:01,\\"), 4, "file ends"},
      {"unterminated string", RegText(key + "\"a\"=\"abc\n"), 4, "no closing quote"},
      {"unterminated name", RegText(key + "\"a=\"abc\"\n"), 4, "expected '='"},
      {"unknown escape", RegText(key + "\"a\"=\"C:\\dir\"\n"), 4, "escape"},
      {"text after string", RegText(key + "\"a\"=\"x\" y\n"), 4, "after the string"},
      {"no equals", RegText(key + "\"a\" dword:1\n"), 4, "expected '='"},
      {"unknown data", RegText(key + "\"a\"=str:1\n"), 4, "unrecognised value data"},
      {"stray line", RegText(key + "garbage\n"), 4, "unrecognised line"},
      {"key without bracket", RegText("[HKLM\\X\n"), 3, "closing ']'"},
      {"delete a root", RegText("[-HKEY_LOCAL_MACHINE\\]\n"), 3, "root key"},
      {"invalid UTF-8", RegText(key + "\"a\"=\"\xC3\"\n"), 4, "UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryStore store;
    const auto err = ImportRegText(store, c.text);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->line, c.line) << err->message;
    EXPECT_NE(err->message.find(c.message), std::string::npos) << err->message;
  }
}

TEST(RegImport, FailedImportChangesNothing) {
  RegistryStore store;
  store.CreateKey(kParams);
  store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30));
  const auto before = store.Snapshot("\\");
  const auto err = ImportRegText(store, RegText("[HKLM\\SOFTWARE\\New]\n"
                                                "\"a\"=dword:1\n"
                                                "[-HKLM\\SYSTEM]\n"
                                                "[HKLM\\SOFTWARE\\New]\n"
                                                "\"b\"=dword:123456789\n"));
  ASSERT_TRUE(err);
  EXPECT_EQ(err->line, 7);
  EXPECT_EQ(store.Snapshot("\\"), before);
}

TEST(RegImport, Encodings) {
  const std::string body =
      "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Ключ]\n\"Grüße\"=\"€\"\n";
  std::string crlf;
  for (char c : body) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string utf16be = "\xFE\xFF";
  for (char16_t u : Utf8ToUtf16(crlf)) {
    utf16be += static_cast<char>(u >> 8);
    utf16be += static_cast<char>(u & 0xFF);
  }
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"UTF-16LE with BOM, CRLF", Utf16Le(crlf)},
      {"UTF-16LE with BOM, LF", Utf16Le(body)},
      {"UTF-16LE without BOM", Utf16Le(crlf, false)},
      {"UTF-16BE with BOM", utf16be},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + crlf},
      {"UTF-8, LF", body},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryStore store;
    const auto err = ImportRegText(store, c.bytes);
    ASSERT_FALSE(err) << err->line << ": " << err->message;
    EXPECT_EQ(store.GetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\КЛЮЧ", "GRÜSSE"), std::nullopt);
    EXPECT_EQ(store.GetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\КЛЮЧ", "GRÜßE"),
              RegValue::FromUtf8String("€"));
  }
  RegistryStore store;
  const auto err = ImportRegText(store, Utf16Le(crlf) + "x");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->line, 0);
}

TEST(RegImport, Regedit4WidensStringBytes) {
  RegistryStore store;
  const auto err = ImportRegText(store,
                                 "REGEDIT4\r\n\r\n[HKLM\\SOFTWARE\\X]\r\n"
                                 "\"e\"=hex(2):25,41,25,00\r\n"
                                 "\"m\"=hex(7):61,00,e9,00,00\r\n"
                                 "\"b\"=hex:61,00\r\n"
                                 "\"s\"=\"caf\xE9\"\r\n");  // 8-bit text, not UTF-8
  ASSERT_FALSE(err) << err->line << ": " << err->message;
  const std::string key = "\\REGISTRY\\MACHINE\\SOFTWARE\\X";
  EXPECT_EQ(store.GetValue(key, "e"), RegValue::FromString(u"%A%", RegType::ExpandSz));
  EXPECT_EQ(store.GetValue(key, "m"), RegValue::FromMultiSz({u"a", u"\u00E9"}));
  EXPECT_EQ(store.GetValue(key, "b"), Bytes(RegType::Binary, {0x61, 0x00}));
  EXPECT_EQ(store.GetValue(key, "s"), RegValue::FromString(u"caf\u00E9"));
}

TEST(RegExport, LayoutOfKeysAndValues) {
  RegistryStore store;
  store.CreateKey(kParams);
  store.SetValue(kParams, "", RegValue::FromUtf8String("d"));
  store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30));
  store.SetValue(kParams, "Port \"Name\"", RegValue::FromUtf8String("C:\\CvB1"));
  store.SetValue(kParams, "Blob", Bytes(RegType::Binary, {0x00, 0xFF}));
  store.SetValue(kParams, "Exp", RegValue::FromString(u"%A%", RegType::ExpandSz));
  store.SetValue(kParams, "NoNul", Bytes(RegType::Sz, {'a', 0}));
  store.SetValue(kParams, "ShortDword", Bytes(RegType::Dword, {1, 2}));
  store.CreateKey(std::string(kParams) + "\\Child");
  store.CreateKey(std::string(kParams) + "\\Another");

  const std::string expected =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters]\r\n"
      "@=\"d\"\r\n"
      "\"MaxUnitLv\"=dword:0000001e\r\n"
      "\"Port \\\"Name\\\"\"=\"C:\\\\CvB1\"\r\n"
      "\"Blob\"=hex:00,ff\r\n"
      "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      "\"NoNul\"=hex(1):61,00\r\n"
      "\"ShortDword\"=hex(4):01,02\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters\\Child]\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters\\Another]\r\n"
      "\r\n";
  EXPECT_EQ(ExportRegText(store, "registry\\machine\\system\\currentcontrolset\\services\\corvb"
                                 "\\parameters",
                          RegTextEncoding::Utf8),
            expected);
  EXPECT_EQ(ExportRegText(store, kParams), Utf16Le(expected));
  EXPECT_EQ(ExportRegText(store, "\\REGISTRY\\MACHINE\\Missing", RegTextEncoding::Utf8),
            "Windows Registry Editor Version 5.00\r\n\r\n");
}

TEST(RegExport, LongHexListsWrapAtEightyColumns) {
  RegistryStore store;
  store.CreateKey("\\REGISTRY\\MACHINE\\X");
  store.SetValue("\\REGISTRY\\MACHINE\\X", "Data", Bytes(RegType::Binary, std::vector<uint8_t>(100, 0xAB)));
  const std::string text = ExportRegText(store, "\\REGISTRY\\MACHINE\\X", RegTextEncoding::Utf8);

  std::vector<std::string> lines;
  for (size_t i = text.find("\"Data\""); i < text.size();) {
    const size_t j = text.find("\r\n", i);
    lines.push_back(text.substr(i, j - i));
    if (lines.back().back() != '\\') break;
    i = j + 2;
  }
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("\"Data\"=hex:ab,", 0), 0u);
  size_t bytes = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    SCOPED_TRACE(lines[k]);
    EXPECT_LE(lines[k].size(), 80u);
    if (k > 0) {
      EXPECT_EQ(lines[k].rfind("  ab", 0), 0u);
    }
    if (k + 1 < lines.size()) {
      EXPECT_EQ(lines[k].substr(lines[k].size() - 2), ",\\");
    }
    for (size_t p = lines[k].find("ab"); p != std::string::npos; p = lines[k].find("ab", p + 2))
      ++bytes;
  }
  EXPECT_EQ(lines.back().substr(lines.back().size() - 3), ",ab");
  EXPECT_EQ(bytes, 100u);
  // Full continuation lines hold 25 bytes.
  EXPECT_EQ(lines[1], "  " + [] {
    std::string s;
    for (int k = 0; k < 25; ++k) s += "ab,";
    return s;
  }() + "\\");
}

TEST(RegExport, RoundTripGivesAnEqualTree) {
  RegistryStore store;
  const std::string base = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB";
  store.CreateKey(base + "\\Parameters\\Deep\\Deeper");
  store.CreateKey(base + "\\Enum");
  store.CreateKey("\\REGISTRY\\USER\\.DEFAULT\\Ключ");
  const std::string p = base + "\\Parameters";
  store.SetValue(base, "", RegValue::FromUtf8String("default"));
  store.SetValue(p, "MaxUnitLv", RegValue::FromDword(30));
  store.SetValue(p, "Port Name", RegValue::FromUtf8String("CvB1"));
  store.SetValue(p, "a\"b\\c", RegValue::FromUtf8String("q\"\\\\"));
  store.SetValue(p, "Grüße", RegValue::FromUtf8String("€ 𝄞"));
  store.SetValue(p, "Empty", RegValue::FromUtf8String(""));
  store.SetValue(p, "Lines", RegValue::FromUtf8String("one\r\ntwo"));
  store.SetValue(p, "Nuls", Bytes(RegType::Sz, {'a', 0, 0, 0, 'b', 0, 0, 0}));
  store.SetValue(p, "Odd", Bytes(RegType::Sz, {'a', 0, 'b'}));
  store.SetValue(p, "Lone", Bytes(RegType::Sz, {0x00, 0xD8, 0, 0}));
  store.SetValue(p, "Exp", RegValue::FromString(u"%SystemRoot%", RegType::ExpandSz));
  store.SetValue(p, "Multi", RegValue::FromMultiSz({u"x", u"yz"}));
  store.SetValue(p, "Q", RegValue::FromQword(~0ull));
  store.SetValue(p, "Big", RegValue::FromDword(0xDEADBEEF));
  store.SetValue(p, "BE", Bytes(RegType::DwordBigEndian, {1, 2, 3, 4}));
  store.SetValue(p, "None", Bytes(RegType::None, {}));
  store.SetValue(p, "Link", Bytes(RegType::Link, {'a', 0}));
  store.SetValue(p, "Code", Bytes(static_cast<RegType>(0xFFFFFFFF), {7}));
  std::vector<uint8_t> big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  store.SetValue(p, std::string(90, 'n'), Bytes(RegType::Binary, big));
  store.SetValue(p + "\\Deep", "", Bytes(RegType::Binary, {}));

  struct Case {
    std::string root;
    RegTextEncoding enc;
  };
  const Case cases[] = {
      {base, RegTextEncoding::Utf16Le},
      {base, RegTextEncoding::Utf8},
      {"\\", RegTextEncoding::Utf8},
      {"\\REGISTRY\\USER", RegTextEncoding::Utf16Le},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    RegistryStore copy;
    const auto err = ImportRegText(copy, ExportRegText(store, c.root, c.enc));
    ASSERT_FALSE(err) << err->line << ": " << err->message;
    std::string shownA, shownB;
    EXPECT_EQ(copy.Snapshot(c.root, &shownB), store.Snapshot(c.root, &shownA));
    EXPECT_EQ(shownA, shownB);
  }
}

TEST(RegFiles, WriteReadAndMissingFile) {
  RegistryStore store;
  store.CreateKey(kParams);
  store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30));
  const std::string path = testing::TempDir() + "/registry_roundtrip.reg";
  ASSERT_TRUE(ExportRegFile(store, "\\REGISTRY\\MACHINE", path));
  RegistryStore copy;
  EXPECT_FALSE(ImportRegFile(copy, path));
  EXPECT_EQ(copy.GetValue(kParams, "MaxUnitLv"), RegValue::FromDword(30));
  std::remove(path.c_str());

  const auto err = ImportRegFile(copy, path);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->line, 0);
  EXPECT_NE(err->message.find(path), std::string::npos);
  EXPECT_FALSE(ExportRegFile(store, "\\", testing::TempDir() + "/no/such/dir/x.reg"));
}

}  // namespace
}  // namespace host
