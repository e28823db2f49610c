// Benchmarks of the catalog: reading 10,000 entries once, and matching adapters against them.
#include <benchmark/benchmark.h>

#include "repository/fw_catalog.h"
#include "run/text_format.h"

namespace {

std::string generated_catalog(int entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<NICFWData>\n";
  for (int i = 0; i < entries; ++i) {
    xml += strprintf(
        "  <Image name=\"Board %d\" venid=\"15B3\" devid=\"%04X\" subvenid=\"15B3\" "
        "PSID=\"MT_%010d\" subdevid=\"%04X\" rom=\"16.%d.%d\" fwFile=\"board_%d.bin\"/>\n",
        i, 0x1000 + i % 64, i % 500, i % 65536, i % 40, i % 3000, i);
  }
  return xml + "</NICFWData>\n";
}

void BM_ParseCatalog(benchmark::State& state) {
  const std::string xml = generated_catalog(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    fw_catalog catalog;
    parse_fw_catalog_text(xml, &catalog);
    benchmark::DoNotOptimize(catalog.entries.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_ParseCatalog)->Arg(10000)->Unit(benchmark::kMillisecond);

// One run's catalog work: one read, then one lookup per adapter.
void BM_MatchAdapters(benchmark::State& state) {
  fw_catalog catalog;
  parse_fw_catalog_text(generated_catalog(10000), &catalog);
  const int adapters = static_cast<int>(state.range(0));
  for (auto _ : state) {
    size_t found = 0;
    for (int a = 0; a < adapters; ++a) {
      adapter_identity id;
      id.ven_id = 0x15B3;
      id.dev_id = 0x1000 + a % 64;
      id.psid = strprintf("MT_%010d", a % 500);
      found += read_NIC_FW_xml_file(catalog, id).size();
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_MatchAdapters)->Arg(64)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace
