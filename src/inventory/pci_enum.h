// PCI enumeration: the candidate network and InfiniBand adapters and their sysfs identity numbers.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "repository/pci_ids.h"

/// A PCI function's address. Ordered by domain, bus, device, function.
struct pci_address {
  uint32_t domain = 0;
  uint32_t bus = 0;
  uint32_t slot = 0;
  uint32_t func = 0;
  auto operator<=>(const pci_address&) const = default;
};

/// The address text "%04x:%02x:%02x.%d", the adapter's identity everywhere.
std::string pci_address_text(const pci_address& address);

/// Reads an address text "dddd:bb:ss.f" (or "bb:ss.f", domain 0), each field
/// hexadecimal digits only: domain of up to 8 digits, bus up to ff, slot up to 1f,
/// function 0 to 7. Returns null on success, else what is wrong ("Invalid
/// bus number", ...); `address` is set only on success.
const char* parse_pci_address(std::string_view text, pci_address* address);

/// The accepted PCI classes (base class and sub-class): InfiniBand serial bus,
/// Ethernet, other network, InfiniBand network.
inline constexpr uint16_t class_code[4] = {0x0C06, 0x0200, 0x0280, 0x0207};

/// True for a function of vendor 0x15B3 in flash recovery mode: its firmware
/// is broken and the chip shows one of its recovery device ids (ConnectX-3
/// to ConnectX-8, Connect-IB, BlueField to BlueField-4), whatever its class.
bool is_flash_recovery(uint16_t vendor_id, uint16_t device_id);

/// One PCI function as a bus scan reports it.
struct pci_function {
  pci_address address;
  uint16_t device_class = 0;
  uint16_t vendor_id = 0;
  uint16_t device_id = 0;
  bool virtual_function = false;  ///< an SR-IOV virtual function: its firmware is its parent's
};

/// The candidate adapters among the functions of a bus scan: functions of an
/// accepted class in any PCI domain that are no virtual function and not in
/// flash recovery mode, one per
/// PCI device (its lowest such function), in ascending address order. No
/// limit on their number.
std::vector<pci_function> select_candidates(std::vector<pci_function> functions);

/// One candidate adapter of the server.
struct pci_interface {
  pci_address address;
  std::string text;         ///< the address text
  std::string vendor_name;  ///< from the PCI ID database, at most 49 characters
};

/// The functions of a bus scan in flash recovery mode, every one of them, in
/// ascending address order.
std::vector<pci_function> select_recovery(std::vector<pci_function> functions);

/// A function in flash recovery mode.
struct recovery_function {
  pci_address address;
  std::string text;  ///< the address text
  uint16_t device_id = 0;
  std::string chip;  ///< "ConnectX-5", from the PCI ID database (recovery_chip_name)
};

/// The chip that the PCI ID database's name of a recovery device names: the
/// text in its last brackets (else the whole name) without a trailing "Flash
/// Recovery" ("MT28800 Family [ConnectX-5 Flash Recovery]" gives
/// "ConnectX-5"), cleaned as outside text, at most 49 characters.
std::string recovery_chip_name(std::string_view database_name);

/// Walks the PCI bus with libpci and lists the candidate adapters, leaving
/// out virtual functions: those with a "physfn" link in sysfs and, where no
/// such link exists (a function passed into a guest), those whose device the
/// PCI ID database names a virtual function. 0 when at
/// least one was found; 1 when none was, after writing "NO Interface Found\n"
/// to standard output whatever the mode. When `recovering` is given, it gets
/// the functions in flash recovery mode of the same scan.
int get_interface_list(std::vector<pci_interface>* interfaces,
                       std::vector<recovery_function>* recovering = nullptr);

/// Walks the PCI bus for the functions in flash recovery mode alone (a run
/// that reads no adapter list). None when the system shows no PCI bus
/// in sysfs.
std::vector<recovery_function> get_recovery_functions();

/// Reads the identity numbers of the function at `address` from sysfs. 0
/// with `ids` set; 1 with `ids` untouched when the address is not one or a
/// file cannot be opened (the latter reported on standard error).
int get_pci_info(const std::string& address, pci_ids* ids);

/// Reads a sysfs number ("0x15b3\n") as the "%x" conversion does: blanks, an
/// optional 0x, hex digits; 0 when there are none.
int parse_sysfs_hex(std::string_view text);
