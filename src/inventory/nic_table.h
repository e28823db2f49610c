// Building the NIC table from the PCI bus, the firmware tool and the catalog.
#pragma once

/// Builds g_ninfo: lists the adapters, queries each one of the vendor, and
/// attaches its catalog images. 0 when at least one adapter of the vendor
/// was fully read, 1 when none was found, 2 when none could be read.
int build_NIC_list();
