// PCI enumeration with libpci, address texts, and the identity numbers from sysfs.
#include "inventory/pci_enum.h"

extern "C" {
#include <pci/pci.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "run/console.h"
#include "run/error_report.h"
#include "run/file_io.h"
#include "run/outside_text.h"
#include "run/text_format.h"

namespace {

constexpr const char* kSysfsDevices = "/sys/bus/pci/devices";
// VMD puts adapters in domains from 0x10000 on; "%04x" prints them in full.
constexpr uint32_t kMaxDomain = 0xFFFFFFFF;
constexpr size_t kVendorNameMax = 49;
constexpr uint16_t kVendorMellanox = 0x15B3;
// The device ids a chip shows in flash recovery mode.
constexpr uint16_t kRecoveryDeviceIds[] = {0x01F6, 0x01F8, 0x01FF, 0x0209, 0x020B, 0x020D,
                                           0x020F, 0x0210, 0x0211, 0x0212, 0x0213, 0x0214,
                                           0x0216, 0x0218, 0x021C, 0x021E, 0x0220};

struct pci_access_deleter {
  void operator()(pci_access* access) const { pci_cleanup(access); }
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A field of 1 to `max_digits` hex digits and nothing else, at most `max`.
bool hex_field(std::string_view field, size_t max_digits, uint32_t max, uint32_t* value) {
  if (field.empty() || field.size() > max_digits) return false;
  uint32_t number = 0;
  for (char c : field) {
    int digit = hex_digit(c);
    if (digit < 0) return false;
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  if (number > max) return false;
  *value = number;
  return true;
}

// The kernel links each SR-IOV virtual function to its physical function.
bool has_physfn_link(const pci_address& address) {
  const std::string path =
      strprintf("%s/%s/physfn", kSysfsDevices, pci_address_text(address).c_str());
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Where no such link can exist (a function passed into a guest), the PCI ID
// database's name of the device tells ("... [ConnectX-5 Virtual Function]").
bool is_virtual_function(pci_access* access, const pci_function& function) {
  if (has_physfn_link(function.address)) return true;
  char name[1024] = {};
  const char* looked_up =
      pci_lookup_name(access, name, sizeof name, PCI_LOOKUP_DEVICE | PCI_LOOKUP_NO_NUMBERS,
                      function.vendor_id, function.device_id);
  return looked_up && contains_ignoring_case(looked_up, "Virtual Function");
}

bool is_accepted_class(uint16_t device_class) {
  return std::find(std::begin(class_code), std::end(class_code), device_class) !=
         std::end(class_code);
}

}  // namespace

std::string pci_address_text(const pci_address& address) {
  return strprintf("%04x:%02x:%02x.%d", address.domain, address.bus, address.slot,
                   static_cast<int>(address.func));
}

const char* parse_pci_address(std::string_view text, pci_address* address) {
  constexpr const char* kForm = "Invalid input. Either colon or dot missing!";
  size_t first_colon = text.find(':');
  if (first_colon == std::string_view::npos) return kForm;
  size_t last_colon = text.rfind(':');
  pci_address parsed;
  std::string_view bus_field;
  if (first_colon == last_colon) {
    bus_field = text.substr(0, first_colon);
  } else {
    if (!hex_field(text.substr(0, first_colon), 8, kMaxDomain, &parsed.domain))
      return "Invalid domain number";
    bus_field = text.substr(first_colon + 1, last_colon - first_colon - 1);
  }
  if (!hex_field(bus_field, 2, 0xFF, &parsed.bus)) return "Invalid bus number";
  size_t dot = text.find('.', last_colon);
  if (dot == std::string_view::npos) return kForm;
  if (!hex_field(text.substr(last_colon + 1, dot - last_colon - 1), 2, 0x1F, &parsed.slot))
    return "Invalid slot number";
  if (!hex_field(text.substr(dot + 1), 1, 7, &parsed.func)) return "Invalid function number";
  *address = parsed;
  return nullptr;
}

bool is_flash_recovery(uint16_t vendor_id, uint16_t device_id) {
  return vendor_id == kVendorMellanox &&
         std::find(std::begin(kRecoveryDeviceIds), std::end(kRecoveryDeviceIds), device_id) !=
             std::end(kRecoveryDeviceIds);
}

std::vector<pci_function> select_recovery(std::vector<pci_function> functions) {
  std::erase_if(functions, [](const pci_function& function) {
    return !is_flash_recovery(function.vendor_id, function.device_id);
  });
  std::sort(functions.begin(), functions.end(),
            [](const pci_function& a, const pci_function& b) { return a.address < b.address; });
  return functions;
}

std::string recovery_chip_name(std::string_view database_name) {
  std::string_view name = database_name;
  const size_t open = name.rfind('[');
  const size_t close = name.rfind(']');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open)
    name = name.substr(open + 1, close - open - 1);
  constexpr std::string_view kSuffix = "Flash Recovery";
  if (name.size() >= kSuffix.size() &&
      contains_ignoring_case(name.substr(name.size() - kSuffix.size()), kSuffix))
    name.remove_suffix(kSuffix.size());
  while (!name.empty() && (name.back() == ' ' || name.back() == ','))
    name.remove_suffix(1);
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  return clean_outside_text(name.substr(0, kVendorNameMax), kVendorNameMax);
}

std::vector<pci_function> select_candidates(std::vector<pci_function> functions) {
  std::erase_if(functions, [](const pci_function& function) {
    return function.virtual_function || !is_accepted_class(function.device_class) ||
           is_flash_recovery(function.vendor_id, function.device_id);
  });
  std::sort(functions.begin(), functions.end(),
            [](const pci_function& a, const pci_function& b) { return a.address < b.address; });
  // After the sort the first function of each device is its lowest accepted one.
  std::vector<pci_function> candidates;
  for (const pci_function& function : functions) {
    if (!candidates.empty()) {
      const pci_address& previous = candidates.back().address;
      if (previous.domain == function.address.domain && previous.bus == function.address.bus &&
          previous.slot == function.address.slot)
        continue;
    }
    candidates.push_back(function);
  }
  return candidates;
}

namespace {

std::vector<pci_function> scan_functions(pci_access* access) {
  pci_scan_bus(access);
  std::vector<pci_function> functions;
  for (pci_dev* dev = access->devices; dev; dev = dev->next) {
    // Domains that libpci cannot tell are negative; they are none of ours.
    if (dev->domain < 0) continue;
    pci_fill_info(dev, PCI_FILL_IDENT | PCI_FILL_CLASS);
    pci_function function;
    function.address.domain = static_cast<uint32_t>(dev->domain);
    function.address.bus = dev->bus;
    function.address.slot = dev->dev;
    function.address.func = dev->func;
    function.device_class = dev->device_class;
    function.vendor_id = dev->vendor_id;
    function.device_id = dev->device_id;
    if (is_accepted_class(function.device_class) &&
        !is_flash_recovery(function.vendor_id, function.device_id))
      function.virtual_function = is_virtual_function(access, function);
    functions.push_back(function);
  }
  return functions;
}

std::vector<recovery_function> name_recovery(pci_access* access,
                                             std::vector<pci_function> functions) {
  std::vector<recovery_function> recovering;
  for (const pci_function& function : select_recovery(std::move(functions))) {
    char name[1024] = {};
    const char* looked_up = pci_lookup_name(access, name, sizeof name, PCI_LOOKUP_DEVICE,
                                            function.vendor_id, function.device_id);
    recovering.push_back({function.address, pci_address_text(function.address),
                          function.device_id, recovery_chip_name(looked_up ? looked_up : "")});
  }
  return recovering;
}

}  // namespace

int get_interface_list(std::vector<pci_interface>* interfaces,
                       std::vector<recovery_function>* recovering) {
  interfaces->clear();
  std::unique_ptr<pci_access, pci_access_deleter> access(pci_alloc());
  pci_init(access.get());
  std::vector<pci_function> functions = scan_functions(access.get());
  if (recovering) *recovering = name_recovery(access.get(), functions);

  for (const pci_function& candidate : select_candidates(std::move(functions))) {
    char name[1024] = {};
    const char* looked_up = pci_lookup_name(access.get(), name, sizeof name, PCI_LOOKUP_VENDOR,
                                            candidate.vendor_id, candidate.device_id);
    pci_interface entry;
    entry.address = candidate.address;
    entry.text = pci_address_text(candidate.address);
    entry.vendor_name = std::string(looked_up ? looked_up : "").substr(0, kVendorNameMax);
    interfaces->push_back(std::move(entry));
  }

  if (interfaces->empty()) {
    write_console("NO Interface Found\n");
    return 1;
  }
  return 0;
}

std::vector<recovery_function> get_recovery_functions() {
  // Without it libpci would fall back to /proc/bus/pci, or end the process
  // when that is missing too.
  struct stat info;
  if (stat(kSysfsDevices, &info) != 0) return {};
  std::unique_ptr<pci_access, pci_access_deleter> access(pci_alloc());
  pci_init(access.get());
  return name_recovery(access.get(), scan_functions(access.get()));
}

int parse_sysfs_hex(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r')))
    ++pos;
  if (text.size() - pos > 2 && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
      hex_digit(text[pos + 2]) >= 0)
    pos += 2;
  uint32_t value = 0;
  for (; pos < text.size() && hex_digit(text[pos]) >= 0; ++pos)
    value = value * 16 + static_cast<uint32_t>(hex_digit(text[pos]));
  return static_cast<int>(value);
}

int get_pci_info(const std::string& address, pci_ids* ids) {
  pci_address parsed;
  if (address.empty() || parse_pci_address(address, &parsed)) return 1;
  // The path is made of our own formatting of the numbers, never of the text.
  const std::string device = pci_address_text(parsed);
  int values[4] = {};
  const char* const files[4] = {"vendor", "device", "subsystem_vendor", "subsystem_device"};
  for (int i = 0; i < 4; ++i) {
    std::string path = strprintf("%s/%s/%s", kSysfsDevices, device.c_str(), files[i]);
    std::string text;
    if (!read_file_text(path, &text, 64)) {
      report_internal_error(strprintf("ERROR: could not open %s (errno=%d), ", path.c_str(), errno));
      return 1;
    }
    values[i] = parse_sysfs_hex(text);
  }
  ids->ven_id = values[0];
  ids->dev_id = values[1];
  ids->sub_ven_id = values[2];
  ids->sub_dev_id = values[3];
  return 0;
}
