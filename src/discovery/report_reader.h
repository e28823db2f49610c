// The discovery report applier (-u): reads a report and flashes what it asks for.
#pragma once

/// Applies the report g_XMLDiscoveryReport; returns the exit status.
int read_discovery_report();
