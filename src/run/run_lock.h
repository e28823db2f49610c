// The machine-wide lock that lets only one burning run touch the adapters at a time.
#pragma once

/// Takes the burn lock for the rest of the process. When another run holds
/// it (or it cannot be taken), reports a FWUPG_ERROR line on standard error
/// and returns false: the caller must not burn.
bool take_burn_lock();
