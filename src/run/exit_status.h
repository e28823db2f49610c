// Exit statuses of fwkit, one name for each value the process can end with.
#pragma once

/// The process exit statuses. Which situations lead to which status is
/// decided by the mode that runs; these are the values themselves.
enum exit_status {
  kExitOk = 0,         ///< the run did what was asked (or had nothing to do)
  kExitFailure = 1,    ///< usage error, log/catalog unreadable, no adapter, nothing to do in -s
  kExitErrors = 2,     ///< a burn or report failed, or no adapter could be read
  kExitCancelled = 3,  ///< the operator quit (or interrupted) an upgrade run
};
