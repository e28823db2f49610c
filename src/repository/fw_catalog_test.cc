// Tests of the catalog reader: which elements are entries, which entries fit an adapter, faults.
#include "repository/fw_catalog.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using Lines = std::vector<std::string>;

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<NICFWData>\n";
const std::string kPsid = "MT_0000000008";
// The identity attributes of a ConnectX-5 (15B3:1017, PSID MT_0000000008) in the documented order.
const std::string kIds = R"(venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020")";

TEST(CatalogMatching, Table) {
  const std::string entry = "<Image " + kIds + " rom=\"2.3.0\"/>";
  const std::string boards = R"(<Group kind="cx5" venid="ignored"><Image rom="2.4.1" )" + kIds + "/>" +
                             R"(<Image venid="15B3" devid="1015" subvenid="15B3" PSID="MT_2420110034" )"
                             R"(subdevid="0003" rom="7.7.7"/>)" + entry + entry + "</Group>";
  const std::string long_psid = std::string(40, 'P');
  struct Case {
    const char* what;
    std::string elements;
    std::string psid;
    Lines matches;  // "rom/fwFile/name/subvenid-subdevid" of each
  } cases[] = {
      {"any attribute order; each match has its own rom, file and name",
       "<Image name=\"A\" " + kIds + R"( rom="1.0.0" fwFile="a.bin"/>)" +
           R"(<Image fwFile="b.bin" rom="2.0.0" subdevid="0020" PSID="MT_0000000008" subvenid="15B3" )"
           R"(devid="1017" venid="15B3" name="B"/>)" +
           R"(<Image venid="15B3" devid="1017" subvenid="15B3" subdevid="0020" PSID="MT_0000000008" rom="3.0.0"/>)" +
           R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT&#95;0000000008" subdevid="0020"/>)",
       kPsid, {"1.0.0/a.bin/A/15B3-0020", "2.0.0/b.bin/B/15B3-0020", "3.0.0///15B3-0020", "///15B3-0020"}},
      {"the subsystem IDs are not compared; a match has the adapter's",
       R"(<Image venid="15B3" devid="1017" subvenid="1590" PSID="MT_0000000008" subdevid="00FF"/>)", kPsid,
       {"///15B3-0020"}},
      {"an element without PSID, subvenid or subdevid is none, and lends nothing to its neighbours",
       "<Image name=\"B\" " + kIds + R"( rom="1.0.0" fwFile="b.bin"/>)" +
           R"(<Image name="A" venid="15B3" devid="1017" subvenid="15B3" subdevid="0020" rom="9.0.0" fwFile="x"/>)"
           R"(<Image venid="15B3" devid="1017" PSID="MT_0000000008" subdevid="0020" rom="8.0.0"/>)"
           R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" rom="7.0.0"/>)"
           R"(<Image venid="15B3" devid="1015" subvenid="15B3" PSID="MT_2420110034" rom="6.0.0" fwFile="y" )"
           R"(subdevid="0003"/>)",
       kPsid, {"1.0.0/b.bin/B/15B3-0020"}},
      {"case, width and attribute names are exact",
       R"(<Image venid="15b3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="1"/>)"
       R"(<Image venid="15B" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="2"/>)"
       R"(<Image venid="015B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" subdevid="0020" rom="3"/>)"
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="mt_0000000008" subdevid="0020" rom="4"/>)"
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008 " subdevid="0020" rom="5"/>)"
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" psid="MT_0000000008" subdevid="0020" rom="6"/>)"
       R"(<Image xmlns:x="urn:x" venid="15B3" devid="1017" subvenid="15B3" x:PSID="MT_0000000008" )"
       R"(subdevid="0020" rom="7"/>)",
       kPsid, {}},
      {"every match in document order, nested ones and duplicates too", boards, kPsid,
       {"2.4.1///15B3-0020", "2.3.0///15B3-0020", "2.3.0///15B3-0020"}},
      {"an adapter without PSID matches nothing",
       R"(<Image venid="15B3" devid="1017" subvenid="15B3" PSID="" subdevid="0020"/>)", "", {}},
      {"long PSIDs are compared whole",
       "<Image venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"" + long_psid + "2\" subdevid=\"0020\"/>" +
           "<Image venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"" + long_psid + "1\" subdevid=\"0020\" "
           "rom=\"2.0.0\"/>",
       long_psid + "1", {"2.0.0///15B3-0020"}},
  };
  for (const Case& c : cases) {
    fw_catalog catalog;
    EXPECT_EQ(parse_fw_catalog_text(kHead + c.elements + "</NICFWData>\n", &catalog), catalog_status::ok)
        << c.what << ": " << catalog.error;
    Lines found;
    for (const XMLFW_INFO& e : read_NIC_FW_xml_file(catalog, {{0x15B3, 0x1017, 0x15B3, 0x20}, c.psid})) {
      EXPECT_EQ(e.pxmlVenId + e.pxmlDevId + e.pxmlPSID, "15B31017" + c.psid) << c.what;
      found.push_back(e.pxmlRom + "/" + e.pxmlFwImage + "/" + e.pxmlName + "/" + e.pxmlSubVenId + "-" +
                      e.pxmlSubDevId);
    }
    EXPECT_EQ(found, c.matches) << c.what;
  }
}

TEST(CatalogReading, AFaultEndsTheCatalogAndEveryEntryBeforeItStands) {
  const std::pair<int, const char*> cases[] = {  // entries, then what follows them
      {3000, "<Image venid=\"15B3"},               // a long catalog cut inside a tag
      {2, "</NICFWData>\n<Other venid=\"x\"/>"}, {40, "</Image>"}, {0, ""}, {1, "not xml at all"},
      {1, R"(<a venid="15B3" venid="15B3"/>)"},   {1, R"(<a venid="15B3"></b>)"},
      {1, R"(<a PSID="&undefined;"/>)"},          {1, "<a>\xff\xfe</a>"},
  };
  for (const auto& [entries, tail] : cases) {
    std::string xml = kHead;
    for (int i = 0; i < entries; ++i) xml += "<Image " + kIds + " rom=\"1.0.0\"></Image>\n";
    fw_catalog catalog;
    EXPECT_EQ(parse_fw_catalog_text(xml + tail, &catalog), catalog_status::malformed) << tail;
    EXPECT_EQ(catalog.entries.size(), static_cast<size_t>(entries)) << tail;
    EXPECT_NE(catalog.error.find("parser error"), std::string::npos) << tail << ": " << catalog.error;
  }
  // A missing file or a directory is no catalog at all.
  const std::string dir = std::filesystem::temp_directory_path().string();
  fw_catalog catalog;
  EXPECT_EQ(load_fw_catalog(dir + "/fwkit-no-such-catalog.xml", &catalog), catalog_status::unreadable);
  EXPECT_EQ(load_fw_catalog(dir, &catalog), catalog_status::unreadable);
}

}  // namespace
