// The action a discovery report recommends for an adapter's firmware item.
#pragma once

#include <string_view>

#include "inventory/nic_info.h"

/// Action texts of a firmware item, as the report spells them.
inline constexpr const char* kActionUpgrade = "upgrade";
inline constexpr const char* kActionRewrite = "rewrite";
inline constexpr const char* kActionDowngrade = "downgrade";
inline constexpr const char* kActionNothing = "Nothing";

/// The recommended action for the firmware item of type `pFwtype` of `nic`:
/// "upgrade" when a catalog image is newer than the running firmware,
/// "rewrite" when none is newer but one equals it, "downgrade" when all are
/// older, "Nothing" without catalog images. Items that are not "ROM" items of
/// a recognised adapter get no action (""). Looks at nothing but the record.
const char* recommend_XML_FW_action(std::string_view pFwtype, const nic_info& nic);
