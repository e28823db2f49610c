// Applying a discovery report (-u): each device it lists is skipped, refused with a reason, or burned.
#pragma once

/// Applies the report g_XMLDiscoveryReport; returns the exit status.
int read_discovery_report();
