// The upgrade run: the default mode, interactive or unattended (-s, -s -F, -y).
#pragma once

#include "run/settings.h"

/// Runs the upgrade mode with the run's settings and returns its exit status.
int fwupg(const run_settings& settings);
