// Definitions of the process-wide run control state.
#include "run/run_state.h"

int g_iFlag = 0;
int silent = 0;
std::string g_XMLDiscoveryReport;
const char* const g_XMLDiscoveryReportDefault = "nicdiscovery.xml";
burn_counts g_burns;

void count_burn(burn_outcome outcome) {
  switch (outcome) {
    case burn_outcome::none: break;
    case burn_outcome::success: ++g_burns.success; break;
    case burn_outcome::failed: ++g_burns.failed; break;
    case burn_outcome::not_supported: ++g_burns.not_supported; break;
    case burn_outcome::reset_pending: ++g_burns.reset_pending; break;
  }
}
