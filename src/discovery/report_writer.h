// The discovery report writer (-d).
#pragma once

/// Writes the discovery report for this server; returns the exit status.
int discover_HW();
