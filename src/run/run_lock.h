// The machine-wide lock that lets only one burning run touch the adapters at a time.
#pragma once

/// Takes the burn lock /run/fwkit.lock for the rest of the process. When
/// another run holds it, or it cannot be used (a link, not a private file of
/// ours), reports a FWUPG_ERROR line on standard error and returns false:
/// the caller must not burn.
bool take_burn_lock();

/// The locked descriptor (-1 before the lock is taken). A burning child
/// keeps it open, so the lock lasts as long as any burn it covers, even
/// when this process dies first.
int burn_lock_fd();

/// For the runs that only query (-c, -d): true when no burning run holds the
/// lock. When one does, reports the same FWUPG_ERROR line as take_burn_lock
/// on standard error and returns false: the caller must not query adapters,
/// as a flash being written answers nothing worth reporting. The lock is
/// only tested, never kept, so a burn starting at the same moment is not
/// refused for it.
bool burn_lock_free();
