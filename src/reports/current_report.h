// The current firmware report (-c): installed and available versions per adapter.
#pragma once

/// Prints the report for every adapter of the vendor; returns the exit status.
int show_current();
