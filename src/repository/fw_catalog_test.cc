// Tests of the catalog reader: which elements are entries, which entries fit an adapter, faults.
#include "repository/fw_catalog.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

// A ConnectX-5 as the build sees it.
adapter_identity cx5() {
  adapter_identity a;
  a.ven_id = 0x15B3;
  a.dev_id = 0x1017;
  a.sub_ven_id = 0x15B3;
  a.sub_dev_id = 0x0020;
  a.psid = "MT_0000000008";
  return a;
}

std::string catalog_of(const std::string& elements) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<NICFWData>\n" + elements + "</NICFWData>\n";
}

std::vector<XMLFW_INFO> matches_in(const std::string& xml, const adapter_identity& adapter,
                                   size_t capacity = 100) {
  fw_catalog catalog;
  EXPECT_EQ(parse_fw_catalog_text(xml, &catalog), catalog_status::ok) << catalog.error;
  return read_NIC_FW_xml_file(catalog, adapter, capacity);
}

std::vector<std::string> roms(const std::vector<XMLFW_INFO>& entries) {
  std::vector<std::string> out;
  for (const XMLFW_INFO& e : entries) out.push_back(e.pxmlRom);
  return out;
}

TEST(CatalogMatching, IdentityFieldsDecideByExactText) {
  struct Case {
    const char* what;
    const char* element;
    bool matches;
  } cases[] = {
      {"documented order",
       R"(<Image name="CX5" venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="16.28.2006" fwFile="a.bin"/>)",
       true},
      {"lower-case venid",
       R"(<Image venid="15b3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.1.1"/>)",
       false},
      {"three-digit venid",
       R"(<Image venid="15B" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.1.1"/>)",
       false},
      {"five-digit venid",
       R"(<Image venid="015B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.1.1"/>)",
       false},
      {"lower-case hex in devid",
       R"(<Image venid="15B3" devid="101a" subvenid="15B3" PSID="MT_0000000008" subdevid="0020"/>)",
       false},
      {"PSID in other case",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="mt_0000000008" subdevid="0020"/>)",
       false},
      {"PSID with a trailing blank",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008 " subdevid="0020"/>)",
       false},
      {"other subsystem IDs are not compared",
       R"(<Image venid="15B3" devid="1017" subvenid="1590" PSID="MT_0000000008" subdevid="00FF"/>)",
       true},
      {"reversed attribute order",
       R"(<Image fwFile="a.bin" rom="1.2.3" subdevid="0020" PSID="MT_0000000008" subvenid="15B3" devid="1017" venid="15B3" name="CX5"/>)",
       true},
      {"PSID after subdevid",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" subdevid="0020" PSID="MT_0000000008"/>)",
       true},
      {"no subdevid",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" rom="1.1.1"/>)",
       false},
      {"no subvenid",
       R"(<Image venid="15B3" devid="1017" PSID="MT_0000000008" subdevid="0020"/>)",
       false},
      {"attribute names compared with case",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" psid="MT_0000000008" subdevid="0020"/>)",
       false},
      {"attribute on a namespace prefix",
       R"(<Image xmlns:x="urn:x" venid="15B3" devid="1017" subvenid="15B3" x:PSID="MT_0000000008" subdevid="0020"/>)",
       false},
      {"character reference in the PSID",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT&#95;0000000008" subdevid="0020"/>)",
       true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matches_in(catalog_of(c.element), cx5()).size(), c.matches ? 1u : 0u) << c.what;
  }
}

TEST(CatalogMatching, MatchCarriesItsOwnFieldsAndTheAdaptersSubsystemIds) {
  auto found = matches_in(
      catalog_of(R"(<Image name="ConnectX-5 EN" venid="15B3" devid="1017" subvenid="1590" )"
                 R"(PSID="MT_0000000008" subdevid="00FF" rom="16.28.2006" fwFile="cx5.bin"/>)"),
      cx5());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pxmlName, "ConnectX-5 EN");
  EXPECT_EQ(found[0].pxmlVenId, "15B3");
  EXPECT_EQ(found[0].pxmlDevId, "1017");
  EXPECT_EQ(found[0].pxmlSubVenId, "15B3");
  EXPECT_EQ(found[0].pxmlSubDevId, "0020");
  EXPECT_EQ(found[0].pxmlPSID, "MT_0000000008");
  EXPECT_EQ(found[0].pxmlRom, "16.28.2006");
  EXPECT_EQ(found[0].pxmlFwImage, "cx5.bin");
}

TEST(CatalogMatching, NothingCarriesOverFromOneElementToTheNext) {
  // The first element names the board's PSID; the second has none and must
  // not borrow it. The third does not match, and its rom and fwFile must not
  // land on the first.
  auto found = matches_in(
      catalog_of(
          R"(<Image name="A" venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.0.0" fwFile="a.bin"/>)"
          R"(<Image name="B" venid="15B3" devid="1017" subvenid="15B3" subdevid="0020" rom="9.0.0" fwFile="b.bin"/>)"
          R"(<Image venid="15B3" devid="1015" subvenid="15B3" PSID="MT_2420110034" rom="8.0.0" fwFile="wrong.bin" subdevid="0003"/>)"),
      cx5());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pxmlName, "A");
  EXPECT_EQ(found[0].pxmlRom, "1.0.0");
  EXPECT_EQ(found[0].pxmlFwImage, "a.bin");
}

TEST(CatalogMatching, AbsentNameRomAndFileStayEmpty) {
  auto found = matches_in(
      catalog_of(R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020"/>)"),
      cx5());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pxmlName, "");
  EXPECT_EQ(found[0].pxmlRom, "");
  EXPECT_EQ(found[0].pxmlFwImage, "");
}

TEST(CatalogMatching, AllImagesOfABoardInDocumentOrderUpToTheCapacity) {
  std::string xml = catalog_of(
      R"(<Group kind="cx5" venid="ignored">)"
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="2.4.1"/>)"
      R"(<Image venid="15B3" devid="1015" subvenid="15B3" PSID="MT_2420110034" subdevid="0003" rom="7.7.7"/>)"
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="2.3.0"/>)"
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="2.3.5"/>)"
      R"(</Group>)");
  using R = std::vector<std::string>;
  EXPECT_EQ(roms(matches_in(xml, cx5())), (R{"2.4.1", "2.3.0", "2.3.5"}));
  EXPECT_EQ(roms(matches_in(xml, cx5(), 1)), (R{"2.4.1"}));
  EXPECT_EQ(roms(matches_in(xml, cx5(), 0)), R{});
}

TEST(CatalogMatching, DuplicatedEntriesAreEachReturned) {
  std::string element =
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.2.3" fwFile="a.bin"/>)";
  EXPECT_EQ(matches_in(catalog_of(element + element), cx5()).size(), 2u);
}

TEST(CatalogMatching, AnAdapterWithoutPsidMatchesNothing) {
  adapter_identity unknown = cx5();
  unknown.psid.clear();
  EXPECT_TRUE(matches_in(catalog_of(R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="" subdevid="0020"/>)"),
                         unknown)
                  .empty());
}

TEST(CatalogMatching, LongPsidsAreComparedWhole) {
  adapter_identity board = cx5();
  board.psid = std::string(40, 'P') + "1";
  std::string other = std::string(40, 'P') + "2";
  std::string xml = catalog_of(
      "<Image venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"" + other + "\" subdevid=\"0020\" rom=\"1.0.0\"/>"
      "<Image venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"" + board.psid + "\" subdevid=\"0020\" rom=\"2.0.0\"/>");
  EXPECT_EQ(roms(matches_in(xml, board)), std::vector<std::string>{"2.0.0"});
}

TEST(CatalogReading, ABrokenCatalogKeepsTheEntriesBeforeTheFault) {
  std::string xml = catalog_of(
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.0.0"/>)"
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="2.0.0"/>)"
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_00)");
  fw_catalog catalog;
  EXPECT_EQ(parse_fw_catalog_text(xml, &catalog), catalog_status::malformed);
  EXPECT_EQ(roms(read_NIC_FW_xml_file(catalog, cx5(), 100)), (std::vector<std::string>{"1.0.0", "2.0.0"}));
  EXPECT_NE(catalog.error.find("parser error"), std::string::npos) << catalog.error;
}

TEST(CatalogReading, EveryEntryRightUpToTheFaultStands) {
  const std::string entry =
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1.0.0"></Image>)"
      "\n";
  struct Case {
    const char* what;
    int entries;
    std::string tail;
  } cases[] = {
      {"a long catalog cut inside a tag", 3000, "<Image venid=\"15B3"},
      {"a second root element", 2, "</NICFWData>\n<Other venid=\"x\"/>"},
      {"a stray end tag", 40, "</Image>"},
  };
  for (const Case& c : cases) {
    std::string xml = "<?xml version=\"1.0\"?>\n<NICFWData>\n";
    for (int i = 0; i < c.entries; ++i) xml += entry;
    xml += c.tail;
    fw_catalog catalog;
    EXPECT_EQ(parse_fw_catalog_text(xml, &catalog), catalog_status::malformed) << c.what;
    EXPECT_EQ(read_NIC_FW_xml_file(catalog, cx5(), 100000).size(), static_cast<size_t>(c.entries))
        << c.what;
  }
}

TEST(CatalogReading, FaultsOfEveryKindAreMalformedNotFatal) {
  const char* broken[] = {
      "",
      "not xml at all",
      R"(<a venid="15B3" venid="15B3"/>)",                // duplicated attribute
      R"(<a venid="15B3"></b>)",                           // mismatched end tag
      R"(<a PSID="&undefined;"/>)",                        // unknown entity
      "<a>\xff\xfe</a>",                                   // not UTF-8
  };
  for (const char* text : broken) {
    fw_catalog catalog;
    EXPECT_EQ(parse_fw_catalog_text(text, &catalog), catalog_status::malformed) << text;
    EXPECT_FALSE(catalog.error.empty()) << text;
  }
}

TEST(CatalogReading, HugeAttributeValuesAreHeldWhole) {
  std::string name(1 << 20, 'N');
  auto found = matches_in(
      catalog_of("<Image name=\"" + name +
                 R"(" venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020"/>)"),
      cx5());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pxmlName.size(), name.size());
}

class CatalogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/fwkit_catalog_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::remove((dir_ + "/NICFWData.xml").c_str());
    rmdir(dir_.c_str());
  }
  static int open_descriptors() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
      while (readdir(d)) ++count;
      closedir(d);
    }
    return count;
  }
  std::string dir_;
};

TEST_F(CatalogFile, ReadsAFileAndLeavesNoDescriptorOpen) {
  std::string path = dir_ + "/NICFWData.xml";
  std::ofstream(path) << catalog_of(
      R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="16.28.2006"/>)");
  int before = open_descriptors();
  for (int i = 0; i < 50; ++i) {
    fw_catalog catalog;
    ASSERT_EQ(load_fw_catalog(path, &catalog), catalog_status::ok);
    ASSERT_EQ(catalog.entries.size(), 1u);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(CatalogFile, MissingOrDirectoryIsUnreadable) {
  fw_catalog catalog;
  EXPECT_EQ(load_fw_catalog(dir_ + "/NICFWData.xml", &catalog), catalog_status::unreadable);
  EXPECT_EQ(load_fw_catalog(dir_, &catalog), catalog_status::unreadable);
  EXPECT_TRUE(catalog.entries.empty());
}

}  // namespace
