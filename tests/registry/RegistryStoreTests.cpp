#include "RegistryStore.h"

#include <gtest/gtest.h>

#include <thread>

namespace host {
namespace {

constexpr std::string_view kParams =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters";

TEST(RegistryPaths, SpellingsOfOneKeyAreTheSameKey) {
  RegistryStore store;
  EXPECT_TRUE(store.CreateKey(kParams));
  for (std::string_view spelling : {
           "REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters",
           "\\registry\\machine\\system\\currentcontrolset\\services\\corvb\\PARAMETERS",
           "\\REGISTRY\\\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters\\",
           "\\\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB\\Parameters\\\\",
       }) {
    SCOPED_TRACE(spelling);
    EXPECT_TRUE(store.KeyExists(spelling));
    EXPECT_FALSE(store.CreateKey(spelling));
  }
  EXPECT_FALSE(store.KeyExists("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORV"));
  EXPECT_EQ(RegistryStore::NormalizePath("REGISTRY\\\\Machine\\"), "\\REGISTRY\\Machine");
  EXPECT_EQ(RegistryStore::NormalizePath("\\\\"), "\\");
}

TEST(RegistryPaths, CreateMakesParentsAndKeepsFirstCase) {
  RegistryStore store;
  EXPECT_TRUE(store.CreateKey("\\REGISTRY\\MACHINE\\Software\\Vendor"));
  EXPECT_TRUE(store.KeyExists("\\REGISTRY\\MACHINE\\Software"));
  EXPECT_FALSE(store.CreateKey("\\registry\\machine\\SOFTWARE"));
  EXPECT_TRUE(store.CreateKey("\\registry\\machine\\SOFTWARE\\Other"));
  EXPECT_EQ(store.EnumSubKeys("\\REGISTRY\\MACHINE"), std::vector<std::string>{"Software"});
  EXPECT_EQ(store.EnumSubKeys("\\REGISTRY\\MACHINE\\SOFTWARE"),
            (std::vector<std::string>{"Vendor", "Other"}));
  std::string shown;
  ASSERT_TRUE(store.Snapshot("\\registry\\MACHINE\\software\\other", &shown));
  EXPECT_EQ(shown, "\\REGISTRY\\MACHINE\\Software\\Other");
}

TEST(RegistryNames, CaseFolding) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"Port Name", "PORT NAME", true},
      {"Grüße", "GRÜSSE", false},  // no multi-character folding: ß stays ß
      {"Grüße", "GRÜßE", true},
      {"ÿ", "Ÿ", true},
      {"Ąčę", "ĄČĘ", true},
      {"Ключ", "КЛЮЧ", true},
      {"ёж", "ЁЖ", true},
      {"λόγος", "ΛΌΓΟΣ", true},  // final sigma folds to sigma
      {"ｗｉｄｅ", "ＷＩＤＥ", true},
      {"a", "b", false},
      {"abc", "ab", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + std::string(c.b));
    EXPECT_EQ(RegNamesEqual(c.a, c.b), c.equal);
  }
  // Bytes that are not UTF-8 still fold their ASCII neighbours and compare exactly.
  EXPECT_TRUE(RegNamesEqual("x\xff" "y", "X\xff" "Y"));
  EXPECT_FALSE(RegNamesEqual("\xfe", "\xff"));
}

TEST(RegistryValues, SetGetReplaceDelete) {
  RegistryStore store;
  EXPECT_FALSE(store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30)));
  store.CreateKey(kParams);
  ASSERT_TRUE(store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30)));
  ASSERT_TRUE(store.SetValue(kParams, "Port Name", RegValue::FromUtf8String("CvB1")));
  ASSERT_TRUE(store.SetValue(kParams, "", RegValue::FromUtf8String("default")));

  EXPECT_EQ(store.GetValue(kParams, "maxunitlv")->AsDword(), 30u);
  EXPECT_EQ(store.GetValue(kParams, "")->AsUtf8String(), "default");
  EXPECT_FALSE(store.GetValue(kParams, "Missing"));
  EXPECT_FALSE(store.GetValue("\\REGISTRY\\MACHINE\\Nope", "MaxUnitLv"));

  // Replacing keeps the original name and the place in enumeration order.
  ASSERT_TRUE(store.SetValue(kParams, "MAXUNITLV", RegValue::FromUtf8String("now a string")));
  auto values = store.EnumValues(kParams);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "MaxUnitLv");
  EXPECT_EQ(values[0].value.AsUtf8String(), "now a string");
  EXPECT_EQ(values[1].name, "Port Name");
  EXPECT_EQ(values[2].name, "");

  EXPECT_TRUE(store.DeleteValue(kParams, "port NAME"));
  EXPECT_FALSE(store.DeleteValue(kParams, "port NAME"));
  ASSERT_TRUE(store.SetValue(kParams, "Port Name", RegValue::FromUtf8String("CvB2")));
  values = store.EnumValues(kParams);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[2].name, "Port Name");  // re-created values go last
}

TEST(RegistryKeys, DeleteRemovesWholeSubtreeOnly) {
  RegistryStore store;
  store.CreateKey("\\REGISTRY\\MACHINE\\A\\Param\\Deep\\Deeper");
  store.SetValue("\\REGISTRY\\MACHINE\\A\\Param\\Deep", "v", RegValue::FromDword(1));
  store.CreateKey("\\REGISTRY\\MACHINE\\A\\Parameters");
  store.CreateKey("\\REGISTRY\\MACHINE\\A\\Z");

  EXPECT_TRUE(store.DeleteKey("\\registry\\machine\\a\\PARAM"));
  EXPECT_FALSE(store.KeyExists("\\REGISTRY\\MACHINE\\A\\Param\\Deep\\Deeper"));
  EXPECT_FALSE(store.DeleteKey("\\REGISTRY\\MACHINE\\A\\Param"));
  EXPECT_EQ(store.EnumSubKeys("\\REGISTRY\\MACHINE\\A"),
            (std::vector<std::string>{"Parameters", "Z"}));

  // A re-created key starts empty.
  EXPECT_TRUE(store.CreateKey("\\REGISTRY\\MACHINE\\A\\Param\\Deep"));
  EXPECT_TRUE(store.EnumValues("\\REGISTRY\\MACHINE\\A\\Param\\Deep").empty());

  EXPECT_FALSE(store.DeleteKey("\\"));
  EXPECT_FALSE(store.DeleteKey(""));
  EXPECT_TRUE(store.KeyExists("\\REGISTRY\\MACHINE\\A"));
}

TEST(RegistryFaults, ReadAndOpenFaults) {
  RegistryStore store;
  store.CreateKey(kParams);
  store.SetValue(kParams, "MaxUnitLv", RegValue::FromDword(30));
  constexpr int32_t kStatus = static_cast<int32_t>(0xC000009A);

  store.FailValueReads(kParams, "MaxUnitLv", kStatus);
  store.FailValueReads(kParams, "Absent", 7);
  store.FailKeyOpens("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB", 9);

  const std::string otherSpelling =
      "registry\\machine\\system\\currentcontrolset\\services\\corvb\\parameters\\";
  EXPECT_EQ(store.ReadFault(otherSpelling, "MAXUNITLV"), kStatus);
  EXPECT_EQ(store.ReadFault(kParams, "Absent"), 7);  // a fault need not have a value behind it
  EXPECT_FALSE(store.ReadFault(kParams, "Port Name"));
  EXPECT_FALSE(store.ReadFault(kParams, ""));
  EXPECT_EQ(store.OpenFault("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\corvb"), 9);
  EXPECT_FALSE(store.OpenFault(kParams));  // not inherited by subkeys

  // The store itself still reads and opens: the fault is for the kernel routines to apply.
  EXPECT_EQ(store.GetValue(kParams, "MaxUnitLv")->AsDword(), 30u);
  EXPECT_TRUE(store.KeyExists(kParams));

  // Faults stay tied to the path across a delete and re-create.
  store.DeleteKey(kParams);
  store.CreateKey(kParams);
  EXPECT_EQ(store.ReadFault(kParams, "MaxUnitLv"), kStatus);

  store.ClearFaults();
  EXPECT_FALSE(store.ReadFault(kParams, "MaxUnitLv"));
  EXPECT_FALSE(store.OpenFault("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CORVB"));
  EXPECT_TRUE(store.KeyExists(kParams));

  store.FailKeyOpens(kParams, 1);
  store.Clear();
  EXPECT_FALSE(store.OpenFault(kParams));
  EXPECT_FALSE(store.KeyExists("\\REGISTRY"));
}

TEST(RegistryApply, FailingBatchChangesNothing) {
  RegistryStore store;
  store.CreateKey("\\REGISTRY\\MACHINE\\Keep");
  store.SetValue("\\REGISTRY\\MACHINE\\Keep", "v", RegValue::FromDword(1));
  const auto before = store.Snapshot("\\");

  const std::vector<RegChange> bad = {
      {RegChange::Kind::CreateKey, "\\REGISTRY\\MACHINE\\New", {}, {}},
      {RegChange::Kind::DeleteKey, "\\REGISTRY\\MACHINE\\Keep", {}, {}},
      {RegChange::Kind::SetValue, "\\REGISTRY\\MACHINE\\Keep", "v", RegValue::FromDword(2)},
  };
  EXPECT_FALSE(store.Apply(bad));
  EXPECT_EQ(store.Snapshot("\\"), before);

  const std::vector<RegChange> good = {
      {RegChange::Kind::DeleteKey, "\\REGISTRY\\MACHINE\\Absent", {}, {}},
      {RegChange::Kind::DeleteValue, "\\REGISTRY\\MACHINE\\Keep", "absent", {}},
      {RegChange::Kind::CreateKey, "\\REGISTRY\\MACHINE\\New", {}, {}},
      {RegChange::Kind::SetValue, "\\REGISTRY\\MACHINE\\New", "w", RegValue::FromDword(3)},
  };
  EXPECT_TRUE(store.Apply(good));
  EXPECT_EQ(store.GetValue("\\REGISTRY\\MACHINE\\New", "w")->AsDword(), 3u);
  EXPECT_EQ(store.GetValue("\\REGISTRY\\MACHINE\\Keep", "v")->AsDword(), 1u);
}

TEST(RegistryValueData, EncodingsAndReaders) {
  EXPECT_EQ(RegValue::FromDword(0x11223344).data, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(RegValue::FromUtf8String("A€").data,
            (std::vector<uint8_t>{'A', 0, 0xAC, 0x20, 0, 0}));
  EXPECT_EQ(RegValue::FromMultiSz({u"a", u"bc"}).data,
            (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}));
  EXPECT_EQ(RegValue::FromMultiSz({}).data, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(RegValue::FromQword(0x0102030405060708).AsQword(), 0x0102030405060708u);

  EXPECT_EQ((RegValue{RegType::DwordBigEndian, {0x11, 0x22, 0x33, 0x44}}).AsDword(), 0x11223344u);
  EXPECT_FALSE((RegValue{RegType::Dword, {1, 2, 3}}).AsDword());
  EXPECT_FALSE(RegValue::FromBinary(std::vector<uint8_t>{1, 0, 0, 0}).AsDword());
  EXPECT_FALSE(RegValue::FromDword(1).AsString());

  // Strings read up to the first NUL, or to the end when there is none.
  EXPECT_EQ((RegValue{RegType::Sz, {'a', 0, 0, 0, 'b', 0}}).AsString(), u"a");
  EXPECT_EQ((RegValue{RegType::ExpandSz, {'a', 0, 'b', 0, 'c'}}).AsString(), u"ab");
  EXPECT_EQ((RegValue{RegType::MultiSz, {'a', 0, 0, 0, 'b', 0}}).AsMultiSz(),
            (std::vector<std::u16string>{u"a", u"b"}));
  EXPECT_EQ(RegValue::FromMultiSz({}).AsMultiSz(), std::vector<std::u16string>{});
}

TEST(RegistryUtf, ConversionsAndMalformedInput) {
  const std::string text = "Grüße €𝄞";
  bool ok = false;
  const std::u16string wide = Utf8ToUtf16(text, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(wide, u"Grüße €𝄞");
  EXPECT_EQ(Utf16ToUtf8(wide, &ok), text);
  EXPECT_TRUE(ok);

  for (std::string_view bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    EXPECT_EQ(Utf8ToUtf16(bad, &ok).find(u'\uFFFD'), 0u);
    EXPECT_FALSE(ok);
  }
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800') + u"x", &ok), "\xEF\xBF\xBDx");
  EXPECT_FALSE(ok);
}

TEST(RegistryThreads, ConcurrentWritersAndReaders) {
  RegistryStore store;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      const std::string key = "\\REGISTRY\\MACHINE\\T" + std::to_string(t);
      for (uint32_t i = 0; i < 200; ++i) {
        store.CreateKey(key + "\\K" + std::to_string(i % 7));
        store.SetValue(key, "v", RegValue::FromDword(i));
        store.GetValue(key, "v");
        store.EnumSubKeys("\\REGISTRY\\MACHINE");
        if (i % 11 == 0) store.DeleteKey(key + "\\K3");
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(store.EnumSubKeys("\\REGISTRY\\MACHINE").size(), 4u);
  EXPECT_EQ(store.GetValue("\\REGISTRY\\MACHINE\\T2", "v")->AsDword(), 199u);
}

}  // namespace
}  // namespace host
