// Applying a discovery report (-u): each device it lists is skipped, refused with a reason, or burned.
#pragma once

#include "run/settings.h"

/// Applies the report g_XMLDiscoveryReport with the run's settings; returns
/// the exit status.
int read_discovery_report(const run_settings& settings);
