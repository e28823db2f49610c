// The upgrade run: the default mode, interactive or unattended (-s, -s -F, -y).
#pragma once

/// Runs the upgrade mode and returns its exit status.
int fwupg();
